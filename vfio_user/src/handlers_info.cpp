// DeviceGetInfo, DeviceGetRegionInfo and GetIrqInfo: answered from the tables
// the server was built with; the device model is not consulted.
#include <linux/vfio.h>

#include <vector>

#include "handlers.h"

namespace vfio_user {

namespace {

constexpr std::uint32_t kRegionInfoSize = 32;
constexpr std::uint32_t kSparseCapHeaderSize = 16;
constexpr std::uint32_t kSparseAreaSize = 16;

void encode_region_info(const vfio_region_info& info, std::uint8_t* p) {
  wire::store32(p, info.argsz);
  wire::store32(p + 4, info.flags);
  wire::store32(p + 8, info.index);
  wire::store32(p + 12, info.cap_offset);
  wire::store64(p + 16, info.size);
  wire::store64(p + 24, info.offset);
}

}  // namespace

HandlerResult handle_device_get_info(Request& request) {
  if (auto r = refuse_no_reply(request, Command::DeviceGetInfo); !r) return r;
  std::uint8_t payload[16];
  if (auto r = read_payload(request, payload); !r) return r;

  std::uint8_t reply[kHeaderSize + 16];
  encode_reply_header(request.header, sizeof reply, reply);
  std::uint32_t flags = VFIO_DEVICE_FLAGS_PCI | (request.device.reset_supported ? VFIO_DEVICE_FLAGS_RESET : 0);
  wire::store32(reply + 16, 16);
  wire::store32(reply + 20, flags);
  wire::store32(reply + 24, static_cast<std::uint32_t>(request.device.regions.size()));
  wire::store32(reply + 28, static_cast<std::uint32_t>(request.device.interrupts.size()));
  return write_reply(request, reply);
}

HandlerResult handle_device_get_region_info(Request& request) {
  if (auto r = refuse_no_reply(request, Command::DeviceGetRegionInfo); !r) return r;
  std::uint8_t payload[kRegionInfoSize];
  if (auto r = read_payload(request, payload); !r) return r;
  const std::uint32_t argsz = wire::load32(payload);
  const std::uint32_t index = wire::load32(payload + 8);
  if (index >= request.device.regions.size()) return std::unexpected(Error::invalid_input());
  const ServerRegion& region = request.device.regions[index];

  if (region.sparse_areas.empty()) {
    std::uint8_t reply[kHeaderSize + kRegionInfoSize];
    encode_reply_header(request.header, sizeof reply, reply);
    encode_region_info(region.region_info, reply + kHeaderSize);
    return write_reply(request, reply);
  }

  // The capability's size is bounded by the table the server was built with,
  // not by anything the client sent.
  const auto cap_len =
      static_cast<std::uint32_t>(kSparseCapHeaderSize + kSparseAreaSize * region.sparse_areas.size());
  vfio_region_info info = region.region_info;
  info.argsz = kRegionInfoSize + cap_len;
  info.flags |= VFIO_REGION_INFO_FLAG_CAPS;
  info.cap_offset = kRegionInfoSize;
  const bool full = argsz >= kRegionInfoSize + cap_len;

  std::vector<std::uint8_t> reply(kHeaderSize + kRegionInfoSize + (full ? cap_len : 0));
  encode_reply_header(request.header, static_cast<std::uint32_t>(reply.size()), reply.data());
  encode_region_info(info, reply.data() + kHeaderSize);
  if (!full) return write_reply(request, reply);

  std::uint8_t* cap = reply.data() + kHeaderSize + kRegionInfoSize;
  wire::store16(cap, VFIO_REGION_INFO_CAP_SPARSE_MMAP);
  wire::store16(cap + 2, 1);
  wire::store32(cap + 4, 0);
  wire::store32(cap + 8, static_cast<std::uint32_t>(region.sparse_areas.size()));
  wire::store32(cap + 12, 0);
  std::uint8_t* area = cap + kSparseCapHeaderSize;
  for (const auto& a : region.sparse_areas) {
    wire::store64(area, a.offset);
    wire::store64(area + 8, a.size);
    area += kSparseAreaSize;
  }
  if (!region.region_fd) return write_reply(request, reply);
  const int fd = *region.region_fd;
  auto sent = request.connection.send_with_fds(reply, std::span<const int>(&fd, 1));
  if (!sent) return std::unexpected(Error::send_with_fd(sent.error()));
  return {};
}

HandlerResult handle_get_irq_info(Request& request) {
  if (auto r = refuse_no_reply(request, Command::GetIrqInfo); !r) return r;
  std::uint8_t payload[16];
  if (auto r = read_payload(request, payload); !r) return r;
  const std::uint32_t index = wire::load32(payload + 8);
  if (index >= request.device.interrupts.size()) return std::unexpected(Error::invalid_input());
  const InterruptEntry& entry = request.device.interrupts[index];

  std::uint8_t reply[kHeaderSize + 16];
  encode_reply_header(request.header, sizeof reply, reply);
  wire::store32(reply + 16, 16);
  wire::store32(reply + 20, entry.flags);
  wire::store32(reply + 24, entry.index);
  wire::store32(reply + 28, entry.count);
  return write_reply(request, reply);
}

}  // namespace vfio_user
