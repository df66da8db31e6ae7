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

// A write whose header announces a payload too short for the fixed part, or
// longer than any write may be: the fixed part first, then its data.
HandlerResult write_in_parts(Request& request) {
  auto access = read_access(request);
  if (!access) return std::unexpected(access.error());
  std::span<std::uint8_t> data = request.connection.scratch(access->count);
  if (auto r = read_payload(request, data); !r) return r;
  return write_access(request, *access, data);
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
  const std::uint64_t announced = request.connection.unread_payload();
  if (announced < RegionAccess::kSize || announced > RegionAccess::kSize + kMaxDataTransfer) {
    return write_in_parts(request);
  }
  // The whole payload in one read, as its header announced it: a stream of
  // posted writes then costs two reads per write, not three. Checks and data
  // come out of it as they would from a read in parts.
  std::span<std::uint8_t> bytes = request.connection.scratch(announced);
  auto got = request.connection.read_up_to(bytes);
  if (!got) return std::unexpected(Error::stream_read(got.error()));
  if (*got < RegionAccess::kSize) return std::unexpected(Error::stream_read(unexpected_eof()));
  auto access = check_access(request, *RegionAccess::decode(bytes.first<RegionAccess::kSize>()));
  if (!access) return std::unexpected(access.error());

  const std::size_t needed = RegionAccess::kSize + access->count;
  if (*got < needed) {
    if (*got < announced) return std::unexpected(Error::stream_read(unexpected_eof()));
    // A count beyond what the header announced: its data is taken from what
    // follows, as a read in parts would.
    bytes = request.connection.scratch(needed);
    if (auto r = read_payload(request, bytes.subspan(*got)); !r) return r;
  }
  return write_access(request, *access, bytes.subspan(RegionAccess::kSize, access->count));
}

}  // namespace vfio_user
