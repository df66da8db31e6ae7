// RegionRead and RegionWrite: the data path, one backend call per request.
#include <algorithm>

#include "handlers.h"

namespace vfio_user {

namespace {

constexpr std::size_t kFixedPart = 16;

struct RegionAccess {
  std::uint64_t offset;
  std::uint32_t index;
  std::uint32_t count;
};

// Returns the access named by the fixed part, checked against the region
// table and the transfer bound before anything is reserved for its data.
std::expected<RegionAccess, Error> read_access(Request& request, std::uint8_t (&fixed)[kFixedPart]) {
  if (auto r = read_payload(request, fixed); !r) return std::unexpected(r.error());
  RegionAccess access{wire::load64(fixed), wire::load32(fixed + 8), wire::load32(fixed + 12)};
  if (access.index >= request.device.regions.size()) return std::unexpected(Error::invalid_input());
  // A count up to 4 GiB would otherwise be reserved per request.
  if (access.count > kMaxDataTransfer) return std::unexpected(Error::invalid_input());
  return access;
}

}  // namespace

HandlerResult handle_region_read(Request& request) {
  if (auto r = refuse_no_reply(request, Command::RegionRead); !r) return r;
  std::uint8_t fixed[kFixedPart];
  auto access = read_access(request, fixed);
  if (!access) return std::unexpected(access.error());

  // Header, echo and data share one buffer so the reply is one write.
  std::span<std::uint8_t> reply = request.connection.scratch(kHeaderSize + kFixedPart + access->count);
  std::span<std::uint8_t> data = reply.subspan(kHeaderSize + kFixedPart);
  if (auto r = request.backend.region_read(access->index, access->offset, data); !r) {
    return std::unexpected(Error::backend(r.error()));
  }
  encode_reply_header(request.header, static_cast<std::uint32_t>(reply.size()), reply.data());
  std::copy(std::begin(fixed), std::end(fixed), reply.begin() + kHeaderSize);
  if (auto w = request.connection.write(reply); !w) return std::unexpected(Error::stream_write(w.error()));
  return {};
}

HandlerResult handle_region_write(Request& request) {
  std::uint8_t fixed[kFixedPart];
  auto access = read_access(request, fixed);
  if (!access) return std::unexpected(access.error());

  std::span<std::uint8_t> data = request.connection.scratch(access->count);
  if (auto r = read_payload(request, data); !r) return r;
  if (auto r = request.backend.region_write(access->index, access->offset, data); !r) {
    return std::unexpected(Error::backend(r.error()));
  }
  std::uint8_t reply[kHeaderSize + kFixedPart];
  encode_reply_header(request.header, sizeof reply, reply);
  std::copy(std::begin(fixed), std::end(fixed), reply + kHeaderSize);
  return write_reply(request, reply);
}

}  // namespace vfio_user
