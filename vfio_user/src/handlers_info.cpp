// DeviceGetInfo, DeviceGetRegionInfo and GetIrqInfo: answered from the tables
// the server was built with; the device model is not consulted.
#include <linux/vfio.h>

#include <vector>

#include "handler_payloads.h"
#include "handlers.h"

namespace vfio_user {

namespace {

// Returns success after writing the header and one fixed payload.
template <typename Payload>
HandlerResult write_payload_reply(Request& request, const Payload& payload) {
  std::array<std::uint8_t, kHeaderSize + Payload::kSize> reply;
  encode_reply_header(request.header, reply.size(), reply.data());
  payload.encode(std::span(reply).template subspan<kHeaderSize>());
  return write_reply(request, reply);
}

}  // namespace

HandlerResult handle_device_get_info(Request& request) {
  if (auto r = refuse_no_reply(request, Command::DeviceGetInfo); !r) return r;
  // The request's fields are not looked at, only read.
  if (auto r = read_payload_as<DeviceInfo>(request); !r) return std::unexpected(r.error());
  const std::uint32_t flags = VFIO_DEVICE_FLAGS_PCI | (request.device.reset_supported ? VFIO_DEVICE_FLAGS_RESET : 0);
  const DeviceInfo info{.argsz = DeviceInfo::kSize,
                        .flags = flags,
                        .num_regions = static_cast<std::uint32_t>(request.device.regions.size()),
                        .num_irqs = static_cast<std::uint32_t>(request.device.interrupts.size())};
  return write_payload_reply(request, info);
}

HandlerResult handle_device_get_region_info(Request& request) {
  if (auto r = refuse_no_reply(request, Command::DeviceGetRegionInfo); !r) return r;
  auto asked = read_payload_as<RegionInfo>(request);
  if (!asked) return std::unexpected(asked.error());
  if (asked->index >= request.device.regions.size()) return std::unexpected(Error::invalid_input());
  const ServerRegion& region = request.device.regions[asked->index];

  if (region.sparse_areas.empty()) return write_payload_reply(request, RegionInfo::of(region.region_info));

  // The capability's size is bounded by the table the server was built with,
  // not by anything the client sent.
  const SparseMmapCapability cap{.areas = region.sparse_areas};
  const auto cap_len = static_cast<std::uint32_t>(cap.size());
  RegionInfo info = RegionInfo::of(region.region_info);
  info.argsz = RegionInfo::kSize + cap_len;
  info.flags |= VFIO_REGION_INFO_FLAG_CAPS;
  info.cap_offset = RegionInfo::kSize;
  const bool full = asked->argsz >= RegionInfo::kSize + cap_len;
  if (!full) return write_payload_reply(request, info);

  std::vector<std::uint8_t> reply(kHeaderSize + RegionInfo::kSize + cap_len);
  encode_reply_header(request.header, static_cast<std::uint32_t>(reply.size()), reply.data());
  info.encode(std::span(reply).subspan(kHeaderSize).first<RegionInfo::kSize>());
  if (!cap.encode(std::span(reply).subspan(kHeaderSize + RegionInfo::kSize))) {
    return std::unexpected(Error::stream_write(IoError::category(IoError::Kind::WriteZero)));
  }
  if (!region.region_fd) return write_reply(request, reply);
  const int fd = *region.region_fd;
  auto sent = request.connection.send_with_fds(reply, std::span<const int>(&fd, 1));
  if (!sent) return std::unexpected(Error::send_with_fd(sent.error()));
  return {};
}

HandlerResult handle_get_irq_info(Request& request) {
  if (auto r = refuse_no_reply(request, Command::GetIrqInfo); !r) return r;
  auto asked = read_payload_as<IrqInfo>(request);
  if (!asked) return std::unexpected(asked.error());
  if (asked->index >= request.device.interrupts.size()) return std::unexpected(Error::invalid_input());
  const InterruptEntry& entry = request.device.interrupts[asked->index];
  return write_payload_reply(
      request, IrqInfo{.argsz = IrqInfo::kSize, .flags = entry.flags, .index = entry.index, .count = entry.count});
}

}  // namespace vfio_user
