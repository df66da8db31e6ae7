#include "session.h"

#include <linux/vfio.h>
#include <poll.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>

#include "vfio_user/limits.h"

namespace zephon_probe {

namespace {

// The probe takes as much in one message as the server it was built with.
constexpr std::uint32_t kOwnMaxTransfer = vfio_user::kMaxDataTransfer;
constexpr std::uint32_t kAllOnes = 0xFFFFFFFF;
constexpr int kPostedGraceMs = 200;

// Returns the capabilities the probe announces in its handshake.
std::string client_capabilities() {
  return fmt::format(R"({{"capabilities":{{"max_msg_fds":8,"max_data_xfer_size":{}}}}})", kOwnMaxTransfer);
}

std::expected<ServerVersion, std::string> parse_version(const vfio_user_client::Reply& reply) {
  if (reply.payload.size() < 4) return std::unexpected("Version reply too short");
  ServerVersion v;
  v.major = static_cast<std::uint16_t>(reply.payload[0] | reply.payload[1] << 8);
  v.minor = static_cast<std::uint16_t>(reply.payload[2] | reply.payload[3] << 8);
  auto text_begin = reply.payload.begin() + 4;
  v.capabilities.assign(text_begin, std::find(text_begin, reply.payload.end(), std::uint8_t{0}));
  return v;
}

// The server's announced transfer limit bounds our requests as much as our
// own; a text we cannot read leaves the protocol's default in force.
std::uint32_t agreed_max_transfer(const std::string& capabilities) {
  const auto json = nlohmann::json::parse(capabilities, nullptr, /*allow_exceptions=*/false);
  std::uint32_t server = kOwnMaxTransfer;
  if (json.is_object() && json.contains("capabilities")) {
    const auto& caps = json["capabilities"];
    if (caps.is_object() && caps.contains("max_data_xfer_size") && caps["max_data_xfer_size"].is_number_unsigned()) {
      const auto value = caps["max_data_xfer_size"].get<std::uint64_t>();
      if (value > 0) server = static_cast<std::uint32_t>(std::min<std::uint64_t>(value, kOwnMaxTransfer));
    }
  }
  return std::min(server, kOwnMaxTransfer);
}

std::uint32_t word_at(const ConfigSnapshot& s, std::uint32_t offset) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | s.bytes[offset + static_cast<std::uint32_t>(i)];
  return v;
}

}  // namespace

std::expected<Session, std::string> Session::open(const std::string& socket) {
  auto client = vfio_user_client::Client::connect(socket);
  if (!client) return std::unexpected(client.error());
  auto reply = client->version(client_capabilities(), 0, 1);
  if (!reply) return std::unexpected(fmt::format("handshake: {}", reply.error()));
  auto version = parse_version(*reply);
  if (!version) return std::unexpected(version.error());
  const std::uint32_t max_transfer = agreed_max_transfer(version->capabilities);
  return Session(std::move(*client), std::move(*version), max_transfer);
}

template <typename T>
std::expected<T, std::string> Session::settle(std::expected<T, std::string> result) {
  const bool refused_posted = !result && posted_unconfirmed_ && result.error().starts_with("reply to message");
  posted_unconfirmed_ = false;
  if (!refused_posted) return result;
  // Reading the owed reply lets the server finish writing it before we
  // hang up, instead of failing on a closed connection.
  (void)client_.receive();
  return std::unexpected(fmt::format("{} (the server refused an earlier write-posted)", result.error()));
}

std::expected<DeviceReport, std::string> Session::info() { return settle(query_device()); }

std::expected<std::vector<std::uint8_t>, std::string> Session::read(std::uint32_t region, std::uint64_t offset,
                                                                    std::uint32_t count) {
  return settle(read_chunks(region, offset, count));
}

std::expected<void, std::string> Session::write(std::uint32_t region, std::uint64_t offset, std::uint32_t value,
                                                bool posted) {
  if (posted) {
    posted_unconfirmed_ = true;
    return client_.write32(region, offset, value, true);
  }
  return settle(client_.write32(region, offset, value));
}

std::expected<void, std::string> Session::reset() { return settle(client_.reset()); }

std::expected<std::pair<std::uint64_t, std::vector<std::uint8_t>>, std::string> Session::read_rom() {
  return settle(query_rom());
}

std::expected<void, std::string> Session::finish() {
  std::expected<void, std::string> result;
  if (posted_unconfirmed_) {
    // Nothing else will come after a posted write, so a refusal can only
    // be waited for; hanging up at once would also make the server fail
    // to write it.
    pollfd p{.fd = client_.fd(), .events = POLLIN, .revents = 0};
    if (::poll(&p, 1, kPostedGraceMs) == 1 && (p.revents & POLLIN) != 0) {
      auto reply = client_.receive();
      if (reply && reply->is_error()) {
        result = std::unexpected(fmt::format("the server refused the last write-posted (error {})",
                                             reply->header.error));
      }
    }
  }
  client_.close();
  return result;
}

std::expected<DeviceReport, std::string> Session::query_device() {
  DeviceReport report;
  auto device = client_.device_info();
  if (!device) return std::unexpected(device.error());
  report.device = *device;
  for (std::uint32_t i = 0; i < device->num_regions; ++i) {
    auto region = client_.region_info(i);
    if (!region) return std::unexpected(fmt::format("region {}: {}", i, region.error()));
    report.regions.push_back(*region);
  }
  for (std::uint32_t i = 0; i < device->num_irqs; ++i) {
    auto irq = client_.irq_info(i);
    if (!irq) return std::unexpected(fmt::format("interrupt {}: {}", i, irq.error()));
    report.irqs.push_back(*irq);
  }
  if ((device->flags & VFIO_DEVICE_FLAGS_PCI) == 0) {
    report.config_note = "not a PCI device";
  } else if (report.regions.size() <= VFIO_PCI_CONFIG_REGION_INDEX) {
    report.config_note = "no configuration region";
  } else if (report.regions[VFIO_PCI_CONFIG_REGION_INDEX].size < 0x40) {
    report.config_note = "configuration region smaller than a PCI header";
  } else {
    auto config = snapshot_config(report.regions[VFIO_PCI_CONFIG_REGION_INDEX]);
    if (!config) return std::unexpected(fmt::format("configuration space: {}", config.error()));
    report.config = *config;
  }
  return report;
}

std::expected<ConfigSnapshot, std::string> Session::snapshot_config(const vfio_user_client::RegionInfo& region) {
  ConfigSnapshot s;
  const auto length = static_cast<std::uint32_t>(std::min<std::uint64_t>(region.size, kConfigHeaderBytes));
  auto bytes = read_chunks(VFIO_PCI_CONFIG_REGION_INDEX, 0, length);
  if (!bytes) return std::unexpected(bytes.error());
  std::ranges::copy(*bytes, s.bytes.begin());
  // A read-only space cannot be sized; the decoder then reports the sizes
  // as unknown.
  if ((region.flags & VFIO_REGION_INFO_FLAG_WRITE) == 0) return s;

  const std::uint8_t header_type = s.bytes[0x0E];
  for (std::size_t i = 0; i < bar_count(header_type); ++i) {
    const auto offset = static_cast<std::uint32_t>(kFirstBarOffset + 4 * i);
    auto all_ones = size_register(offset, word_at(s, offset));
    if (!all_ones) return std::unexpected(all_ones.error());
    s.bar_all_ones[i] = *all_ones;
  }
  if (auto offset = rom_offset(header_type)) {
    auto all_ones = size_register(*offset, word_at(s, *offset));
    if (!all_ones) return std::unexpected(all_ones.error());
    s.rom_all_ones = *all_ones;
  }
  return s;
}

std::expected<std::uint32_t, std::string> Session::size_register(std::uint32_t offset, std::uint32_t saved) {
  const std::uint32_t region = VFIO_PCI_CONFIG_REGION_INDEX;
  if (auto w = client_.write32(region, offset, kAllOnes); !w) {
    return std::unexpected(fmt::format("sizing {:#x}: {}", offset, w.error()));
  }
  auto read_back = client_.read32(region, offset);
  // The saved value goes back even when the read failed, so a failed probe
  // does not leave the BAR holding all ones.
  auto restored = client_.write32(region, offset, saved);
  if (!read_back) return std::unexpected(fmt::format("sizing {:#x}: {}", offset, read_back.error()));
  if (!restored) return std::unexpected(fmt::format("restoring {:#x}: {}", offset, restored.error()));
  return *read_back;
}

std::expected<std::vector<std::uint8_t>, std::string> Session::read_chunks(std::uint32_t region,
                                                                           std::uint64_t offset,
                                                                           std::uint32_t count) {
  std::vector<std::uint8_t> out;
  out.reserve(count);
  do {
    const std::uint32_t chunk = std::min<std::uint32_t>(count - static_cast<std::uint32_t>(out.size()), max_transfer_);
    auto part = client_.region_read(region, offset + out.size(), chunk);
    if (!part) return std::unexpected(part.error());
    out.insert(out.end(), part->begin(), part->end());
  } while (out.size() < count);
  return out;
}

std::expected<std::pair<std::uint64_t, std::vector<std::uint8_t>>, std::string> Session::query_rom() {
  auto region = client_.region_info(VFIO_PCI_ROM_REGION_INDEX);
  if (!region) return std::unexpected(fmt::format("ROM region: {}", region.error()));
  // A ROM BAR decodes at most kMaxRomSize; anything announcing more is not
  // a ROM worth holding in memory.
  if (region->size > vfio_user::kMaxRomSize) {
    return std::unexpected(fmt::format("ROM region of {:#x} bytes is too large to read", region->size));
  }
  if (region->size == 0) return std::pair{std::uint64_t{0}, std::vector<std::uint8_t>{}};
  auto bytes = read_chunks(VFIO_PCI_ROM_REGION_INDEX, 0, static_cast<std::uint32_t>(region->size));
  if (!bytes) return std::unexpected(bytes.error());
  return std::pair{region->size, std::move(*bytes)};
}

}  // namespace zephon_probe
