#include "client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "vfio_user/wire.h"

namespace vfio_user_client {

namespace wire = vfio_user::wire;
using vfio_user::RegionAccess;

namespace {

std::string errno_text(const char* what) { return fmt::format("{}: {}", what, std::strerror(errno)); }

// Bounds what a reply may announce, so a broken server cannot make the
// client reserve gigabytes.
constexpr std::uint32_t kMaxReply = 64u << 20;

// A RegionRead or RegionWrite message up to its data: header and access.
constexpr std::size_t kAccessMessageSize = vfio_user::kHeaderSize + RegionAccess::kSize;

// Returns the access a reply of kAccessMessageSize bytes or more echoes.
RegionAccess echoed_access(std::span<const std::uint8_t, kAccessMessageSize> message) {
  return *RegionAccess::decode(message.subspan<vfio_user::kHeaderSize>());
}

std::expected<void, std::string> read_fully(int fd, std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    ssize_t r = ::recv(fd, p, n, 0);
    if (r == 0) return std::unexpected("connection closed by the server");
    if (r < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno_text("receive"));
    }
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return {};
}

}  // namespace

std::expected<Client, std::string> Client::connect(const std::string& path, int timeout_ms) {
  vfio_user::UniqueFd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock) return std::unexpected(errno_text("socket"));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return std::unexpected("socket path too long");
  std::memcpy(addr.sun_path, path.data(), path.size());
  if (::connect(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    return std::unexpected(errno_text(("connect to " + path).c_str()));
  }
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  ::setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(sock.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return Client(std::move(sock));
}

std::vector<std::uint8_t> Client::frame(std::uint16_t id, std::uint16_t command, std::span<const std::uint8_t> payload,
                                        std::uint32_t flags, std::optional<std::uint32_t> message_size) {
  std::vector<std::uint8_t> out(vfio_user::kHeaderSize + payload.size());
  auto size = message_size.value_or(static_cast<std::uint32_t>(out.size()));
  MessageHeader{id, command, size, flags, 0}.encode(out.data());
  std::copy(payload.begin(), payload.end(), out.begin() + vfio_user::kHeaderSize);
  return out;
}

std::expected<void, std::string> Client::send(std::span<const std::uint8_t> bytes, std::span<const int> fds) {
  std::size_t done = 0;
  while (done < bytes.size() || (done == 0 && bytes.empty())) {
    iovec iov{const_cast<std::uint8_t*>(bytes.data()) + done, bytes.size() - done};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    std::vector<char> control;
    if (done == 0 && !fds.empty()) {
      control.resize(CMSG_SPACE(sizeof(int) * fds.size()));
      msg.msg_control = control.data();
      msg.msg_controllen = control.size();
      cmsghdr* c = CMSG_FIRSTHDR(&msg);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
      std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    }
    ssize_t n = ::sendmsg(socket_.get(), &msg, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno_text("send"));
    }
    done += static_cast<std::size_t>(n);
    if (bytes.empty()) break;
  }
  return {};
}

std::expected<Reply, std::string> Client::receive() {
  Reply reply;
  std::uint8_t header[vfio_user::kHeaderSize];
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 16)];
  iovec iov{header, sizeof header};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = ::recvmsg(socket_.get(), &msg, MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  if (n == 0) return std::unexpected("connection closed by the server");
  if (n < 0) return std::unexpected(errno_text("receive"));
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      reply.fds.push(vfio_user::UniqueFd(fd));
    }
  }
  if (auto r = read_fully(socket_.get(), header + n, sizeof header - static_cast<std::size_t>(n)); !r) {
    return std::unexpected(r.error());
  }
  reply.header = MessageHeader::decode(header);
  if (reply.header.message_size < vfio_user::kHeaderSize || reply.header.message_size > kMaxReply) {
    return std::unexpected(fmt::format("reply announces {} bytes", reply.header.message_size));
  }
  reply.payload.resize(reply.header.message_size - vfio_user::kHeaderSize);
  if (auto r = read_fully(socket_.get(), reply.payload.data(), reply.payload.size()); !r) {
    return std::unexpected(r.error());
  }
  return reply;
}

bool Client::wait_closed() {
  std::uint8_t byte;
  for (;;) {
    ssize_t n = ::recv(socket_.get(), &byte, 1, 0);
    if (n == 0) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno == ECONNRESET;
  }
}

std::expected<Reply, std::string> Client::call(Command command, std::span<const std::uint8_t> payload,
                                               std::uint32_t flags, std::span<const int> fds) {
  const std::uint16_t id = next_id_++;
  auto bytes = frame(id, static_cast<std::uint16_t>(command), payload, flags);
  if (auto s = send(bytes, fds); !s) return std::unexpected(s.error());
  auto reply = receive();
  if (!reply) return reply;
  if (reply->header.message_id != id || reply->header.command != static_cast<std::uint16_t>(command)) {
    return std::unexpected(fmt::format("reply to message {} command {} came as message {} command {}", id,
                                       static_cast<unsigned>(command), reply->header.message_id,
                                       reply->header.command));
  }
  if (reply->is_error()) {
    return std::unexpected(fmt::format("{} failed with error {}", vfio_user::command_name(command),
                                       reply->header.error));
  }
  return reply;
}

std::expected<Reply, std::string> Client::version(std::string_view capabilities_json, std::uint16_t major,
                                                  std::uint16_t minor) {
  std::vector<std::uint8_t> payload(4 + capabilities_json.size() + 1);
  wire::store16(payload.data(), major);
  wire::store16(payload.data() + 2, minor);
  std::memcpy(payload.data() + 4, capabilities_json.data(), capabilities_json.size());
  return call(Command::Version, payload);
}

// Returns the reply's payload decoded, or a text naming the command whose
// reply was too short.
template <typename Payload>
std::expected<Payload, std::string> decode_reply(const Reply& reply, Command command) {
  auto p = Payload::decode(reply.payload);
  if (!p) return std::unexpected(fmt::format("short {} reply", vfio_user::command_name(command)));
  return *p;
}

std::expected<DeviceInfo, std::string> Client::device_info() {
  auto r = call(Command::DeviceGetInfo, DeviceInfo{}.encode());
  if (!r) return std::unexpected(r.error());
  return decode_reply<DeviceInfo>(*r, Command::DeviceGetInfo);
}

std::expected<RegionInfo, std::string> Client::region_info(std::uint32_t index, std::uint32_t argsz) {
  auto r = call(Command::DeviceGetRegionInfo, RegionInfo{.argsz = argsz, .flags = 0, .index = index, .cap_offset = 0,
                                                         .size = 0, .offset = 0}
                                                  .encode());
  if (!r) return std::unexpected(r.error());
  return decode_reply<RegionInfo>(*r, Command::DeviceGetRegionInfo);
}

std::expected<IrqInfo, std::string> Client::irq_info(std::uint32_t index) {
  auto r = call(Command::GetIrqInfo, IrqInfo{.argsz = IrqInfo::kSize, .flags = 0, .index = index, .count = 0}.encode());
  if (!r) return std::unexpected(r.error());
  return decode_reply<IrqInfo>(*r, Command::GetIrqInfo);
}

std::expected<std::vector<std::uint8_t>, std::string> Client::region_read(std::uint32_t region, std::uint64_t offset,
                                                                          std::uint32_t count) {
  auto r = call(Command::RegionRead, RegionAccess{.offset = offset, .region = region, .count = count}.encode());
  if (!r) return std::unexpected(r.error());
  if (r->payload.size() != RegionAccess::kSize + count) return std::unexpected("RegionRead reply of the wrong size");
  return std::vector<std::uint8_t>(r->payload.begin() + RegionAccess::kSize, r->payload.end());
}

std::expected<void, std::string> Client::region_write(std::uint32_t region, std::uint64_t offset,
                                                      std::span<const std::uint8_t> data, bool posted) {
  std::vector<std::uint8_t> payload(RegionAccess::kSize + data.size());
  RegionAccess{.offset = offset, .region = region, .count = static_cast<std::uint32_t>(data.size())}.encode(
      std::span(payload).first<RegionAccess::kSize>());
  std::copy(data.begin(), data.end(), payload.begin() + RegionAccess::kSize);
  if (posted) {
    return send(frame(next_id_++, static_cast<std::uint16_t>(Command::RegionWrite), payload,
                      vfio_user::FLAG_NO_REPLY));
  }
  auto r = call(Command::RegionWrite, payload);
  if (!r) return std::unexpected(r.error());
  return {};
}

std::expected<std::uint32_t, std::string> Client::read32(std::uint32_t region, std::uint64_t offset) {
  auto r = region_read(region, offset, 4);
  if (!r) return std::unexpected(r.error());
  return wire::load32(r->data());
}

std::expected<void, std::string> Client::write32(std::uint32_t region, std::uint64_t offset, std::uint32_t value,
                                                 bool posted) {
  std::uint8_t data[4];
  wire::store32(data, value);
  return region_write(region, offset, data, posted);
}

std::expected<void, std::string> Client::reset() {
  auto r = call(Command::DeviceReset, {});
  if (!r) return std::unexpected(r.error());
  return {};
}

std::expected<void, std::string> Client::send_pieces(iovec* pieces, std::size_t count) {
  while (count > 0) {
    msghdr msg{};
    msg.msg_iov = pieces;
    msg.msg_iovlen = count;
    ssize_t n = ::sendmsg(socket_.get(), &msg, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno_text("send"));
    }
    auto left = static_cast<std::size_t>(n);
    while (count > 0 && left >= pieces->iov_len) {
      left -= pieces->iov_len;
      ++pieces;
      --count;
    }
    if (count > 0) {
      pieces->iov_base = static_cast<std::uint8_t*>(pieces->iov_base) + left;
      pieces->iov_len -= left;
    }
  }
  return {};
}

std::expected<void, std::string> Client::receive_into(std::uint16_t id, Command command, iovec* pieces,
                                                      std::size_t count) {
  constexpr std::size_t kMaxPieces = 4;
  if (count == 0 || count > kMaxPieces || pieces[0].iov_len < vfio_user::kHeaderSize) {
    return std::unexpected("receive_into needs 1 to 4 pieces, the first a header long");
  }
  std::size_t want = 0;
  for (std::size_t i = 0; i < count; ++i) want += pieces[i].iov_len;
  std::size_t got = 0;
  bool checked = false;
  while (got < want) {
    // Never more than the expected reply is asked for, so a receive cannot
    // take bytes of a later message.
    iovec left[kMaxPieces];
    std::size_t n_left = 0;
    std::size_t skip = got;
    for (std::size_t i = 0; i < count; ++i) {
      if (skip >= pieces[i].iov_len) {
        skip -= pieces[i].iov_len;
        continue;
      }
      left[n_left++] = iovec{static_cast<std::uint8_t*>(pieces[i].iov_base) + skip, pieces[i].iov_len - skip};
      skip = 0;
    }
    msghdr msg{};
    msg.msg_iov = left;
    msg.msg_iovlen = n_left;
    ssize_t n = ::recvmsg(socket_.get(), &msg, 0);
    if (n == 0) return std::unexpected("connection closed by the server");
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno_text("receive"));
    }
    got += static_cast<std::size_t>(n);
    if (!checked && got >= vfio_user::kHeaderSize) {
      checked = true;
      const auto header = MessageHeader::decode(static_cast<const std::uint8_t*>(pieces[0].iov_base));
      if (header.message_id != id || header.command != static_cast<std::uint16_t>(command)) {
        return std::unexpected(fmt::format("reply to message {} command {} came as message {} command {}", id,
                                           static_cast<unsigned>(command), header.message_id, header.command));
      }
      // An error reply is the header alone, so nothing of it is left unread.
      if ((header.flags & vfio_user::FLAG_ERROR) != 0) {
        return std::unexpected(fmt::format("{} failed with error {}", vfio_user::command_name(command),
                                           header.error));
      }
      if (header.message_size != want) {
        return std::unexpected(fmt::format("reply announces {} bytes, {} expected", header.message_size, want));
      }
    }
  }
  return {};
}

std::expected<void, std::string> Client::region_read_into(std::uint32_t region, std::uint64_t offset,
                                                          std::span<std::uint8_t> data) {
  const std::uint16_t id = next_id_++;
  const RegionAccess access{.offset = offset, .region = region, .count = static_cast<std::uint32_t>(data.size())};
  std::uint8_t request[kAccessMessageSize];
  MessageHeader{id, static_cast<std::uint16_t>(Command::RegionRead), sizeof request, 0, 0}.encode(request);
  access.encode(std::span(request).subspan<vfio_user::kHeaderSize>());
  iovec out{request, sizeof request};
  if (auto s = send_pieces(&out, 1); !s) return s;
  std::uint8_t head[kAccessMessageSize];
  iovec in[2] = {{head, sizeof head}, {data.data(), data.size()}};
  if (auto r = receive_into(id, Command::RegionRead, in, data.empty() ? 1 : 2); !r) return r;
  if (echoed_access(head) != access) return std::unexpected("RegionRead reply echoes another access");
  return {};
}

std::expected<void, std::string> Client::region_write_from(std::uint32_t region, std::uint64_t offset,
                                                           std::span<const std::uint8_t> data, bool posted) {
  const std::uint16_t id = next_id_++;
  const RegionAccess access{.offset = offset, .region = region, .count = static_cast<std::uint32_t>(data.size())};
  std::uint8_t request[kAccessMessageSize];
  const auto size = static_cast<std::uint32_t>(sizeof request + data.size());
  MessageHeader{id, static_cast<std::uint16_t>(Command::RegionWrite), size, posted ? vfio_user::FLAG_NO_REPLY : 0, 0}
      .encode(request);
  access.encode(std::span(request).subspan<vfio_user::kHeaderSize>());
  iovec out[2] = {{request, sizeof request}, {const_cast<std::uint8_t*>(data.data()), data.size()}};
  if (auto s = send_pieces(out, data.empty() ? 1 : 2); !s) return s;
  if (posted) return {};
  std::uint8_t reply[kAccessMessageSize];
  iovec in{reply, sizeof reply};
  if (auto r = receive_into(id, Command::RegionWrite, &in, 1); !r) return r;
  if (echoed_access(reply) != access) return std::unexpected("RegionWrite reply echoes another access");
  return {};
}

}  // namespace vfio_user_client
