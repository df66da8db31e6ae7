// RegionRead and RegionWrite: the data path, one backend call per request.
#include "handler_payloads.h"
#include "handlers.h"
#include "vfio_user/limits.h"

namespace vfio_user {

namespace {

// Returns the access if the region table has its region and its count is
// within the transfer bound, checked before anything is reserved for its data.
std::expected<RegionAccess, Error> check_access(const Request& request, RegionAccess access) {
  if (access.region >= request.device.regions.size()) return std::unexpected(Error::invalid_input());
  // A count up to 4 GiB would otherwise be reserved per request.
  if (access.count > kMaxDataTransfer) return std::unexpected(Error::invalid_input());
  return access;
}

// Returns the access named by the fixed part, read alone and checked.
std::expected<RegionAccess, Error> read_access(Request& request) {
  auto access = read_payload_as<RegionAccess>(request);
  if (!access) return access;
  return check_access(request, *access);
}

// Returns success once data went to the backend and the reply (if asked for)
// went out.
HandlerResult write_access(Request& request, const RegionAccess& access, std::span<const std::uint8_t> data) {
  if (auto r = request.backend.region_write(access.region, access.offset, data); !r) {
    return std::unexpected(Error::backend(r.error()));
  }
  std::array<std::uint8_t, kHeaderSize + RegionAccess::kSize> reply;
  encode_reply_header(request.header, reply.size(), reply.data());
  access.encode(std::span(reply).subspan<kHeaderSize>());
  return write_reply(request, reply);
}

}  // namespace

HandlerResult handle_region_read(Request& request) {
  if (auto r = refuse_no_reply(request, Command::RegionRead); !r) return r;
  auto access = read_access(request);
  if (!access) return std::unexpected(access.error());

  // Header, echo and data share one buffer so the reply is one write.
  std::span<std::uint8_t> reply = request.connection.scratch(kHeaderSize + RegionAccess::kSize + access->count);
  std::span<std::uint8_t> data = reply.subspan(kHeaderSize + RegionAccess::kSize);
  if (auto r = request.backend.region_read(access->region, access->offset, data); !r) {
    return std::unexpected(Error::backend(r.error()));
  }
  encode_reply_header(request.header, static_cast<std::uint32_t>(reply.size()), reply.data());
  access->encode(reply.subspan<kHeaderSize, RegionAccess::kSize>());
  if (auto w = request.connection.write(reply); !w) return std::unexpected(Error::stream_write(w.error()));
  return {};
}

HandlerResult handle_region_write(Request& request) {
  // Only the fields are read: what the header announced beyond them is
  // skipped after the reply, so a client that announces more than it sends
  // still gets its answer.
  auto access = read_access(request);
  if (!access) return std::unexpected(access.error());
  std::span<std::uint8_t> data = request.connection.scratch(access->count);
  if (auto r = read_payload(request, data); !r) return r;
  return write_access(request, *access, data);
}

}  // namespace vfio_user
