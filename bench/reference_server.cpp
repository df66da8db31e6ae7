// reference_server SOCKET: the least a vfio-user server could do for the
// requests the benchmark sends, and so the yardstick zephon is measured
// against on the same machine in the same run.
//
// It accepts one connection and, for each request, does one read and one
// write: it reads as much as the socket holds into one buffer (a whole
// request, when the client waits for each reply; several when a client
// streams posted writes) and answers each complete request with one write of
// a correct reply built in place: RegionRead gets the 32-byte echo header and
// count data bytes (a pattern laid once at start, never copied per request),
// RegionWrite the 32-byte echo header
// unless it asked for no reply; anything else gets a 16-byte error reply. No
// logging, no device model, no checks beyond what framing needs. It exits
// when the client closes the connection, or after a minute without a byte.
//
// reference_server SOCKET --framed: the least a server could do that reads
// requests part by part, the way the protocol frames them, and logs like
// zephon: the header received with recvmsg (descriptors may come with it),
// then the fixed part, then a write's data, each read on its own, one fixed
// log line on standard error for every access to region 2, and the reply in
// one write. Nothing else: no device model, no formatting, no clock. zephon
// receives a request whole in one recvmsg instead, so the difference shows
// what reading in parts costs as much as what zephon's own work does.
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "vfio_user/command.h"
#include "vfio_user/limits.h"
#include "vfio_user/message.h"
#include "vfio_user/payloads.h"
#include "vfio_user/unique_fd.h"
#include "socket_transport.h"

namespace {

using vfio_user::kHeaderSize;
using vfio_user::MessageHeader;
using vfio_user::UniqueFd;
using vfio_user::RegionAccess;

// The largest data transfer zephon advertises, so both servers take the same
// requests.
constexpr std::size_t kMaxData = vfio_user::kMaxDataTransfer;
constexpr std::size_t kFixedPart = RegionAccess::kSize;
constexpr int kAcceptTimeoutMs = 30'000;
constexpr int kIdleTimeoutS = 60;

std::uint8_t g_in[2 * kMaxData];
// The data part is written once before serving: left untouched, its pages
// would all be the kernel's one zero page, which a send reads from cache far
// faster than a server's real memory (about 1.6 us less per 64 KiB here).
std::uint8_t g_out[kHeaderSize + kFixedPart + kMaxData];

int fail(std::string_view what) {
  fmt::print(stderr, "reference_server: {}: {}\n", what, std::strerror(errno));
  return 1;
}

// Returns false when not every byte could be written.
bool write_all(int fd, const std::uint8_t* p, std::size_t n) { return vfio_user::write_all(fd, {p, n}).has_value(); }

// Returns false when the reply could not be written.
bool answer(int fd, const MessageHeader& request, const std::uint8_t* payload, std::size_t payload_size) {
  const auto command = static_cast<vfio_user::Command>(request.command);
  const auto access = RegionAccess::decode({payload, payload_size});
  if (command == vfio_user::Command::RegionRead && access && access->count <= kMaxData) {
    const auto size = static_cast<std::uint32_t>(kHeaderSize + kFixedPart + access->count);
    vfio_user::encode_reply_header(request, size, g_out);
    std::memcpy(g_out + kHeaderSize, payload, kFixedPart);
    return write_all(fd, g_out, size);
  }
  if (command == vfio_user::Command::RegionWrite && access) {
    if (request.no_reply()) return true;
    std::uint8_t reply[kHeaderSize + kFixedPart];
    vfio_user::encode_reply_header(request, sizeof reply, reply);
    std::memcpy(reply + kHeaderSize, payload, kFixedPart);
    return write_all(fd, reply, sizeof reply);
  }
  auto reply = vfio_user::error_reply(request, EINVAL);
  return write_all(fd, reply.data(), reply.size());
}

// A line of the length of zephon's register lines without colour.
constexpr std::string_view kLogLine = "2026-01-01T00:00:00.000000Z DEBUG zephon: Write regs[0x0004] (0x10) = 0x12345678\n";
constexpr std::uint32_t kLoggedRegion = 2;

// Each step is the library's own transport call, as zephon makes it.
int serve_framed(int fd, int log_fd) {
  for (;;) {
    std::uint8_t header_bytes[kHeaderSize] = {};
    vfio_user::FdList fds;  // closed before the next request, as zephon does
    auto received = vfio_user::receive_with_fds(fd, header_bytes, vfio_user::MAX_RECEIVED_FDS, fds);
    if (!received) {
      errno = received.error();
      return fail("recvmsg");
    }
    if (*received == 0) return 0;
    // The benchmark's client sends whole messages; a short header would be
    // a broken client.
    if (*received < kHeaderSize) {
      fmt::print(stderr, "reference_server: header of {} bytes\n", *received);
      return 1;
    }
    const MessageHeader header = MessageHeader::decode(header_bytes);
    const auto command = static_cast<vfio_user::Command>(header.command);
    if (command != vfio_user::Command::RegionRead && command != vfio_user::Command::RegionWrite) {
      auto reply = vfio_user::error_reply(header, EINVAL);
      if (!write_all(fd, reply.data(), reply.size())) return fail("write");
      continue;
    }
    std::uint8_t fixed[kFixedPart];
    if (!vfio_user::read_exact(fd, fixed)) return fail("read");
    const RegionAccess access = *RegionAccess::decode(fixed);  // fixed holds all of it
    const std::uint32_t count = access.count;
    if (count > kMaxData) {
      fmt::print(stderr, "reference_server: transfer of {} bytes\n", count);
      return 1;
    }
    if (command == vfio_user::Command::RegionWrite && !vfio_user::read_exact(fd, {g_in, count})) return fail("read");
    if (access.region == kLoggedRegion) {
      ssize_t ignored = ::write(log_fd, kLogLine.data(), kLogLine.size());
      (void)ignored;
    }
    if (!answer(fd, header, fixed, sizeof fixed)) return fail("write");
  }
}

int serve(int fd) {
  std::size_t begin = 0;  // first byte of g_in not yet handled
  std::size_t end = 0;    // one past the last byte read
  for (;;) {
    while (end - begin >= kHeaderSize) {
      const MessageHeader header = MessageHeader::decode(g_in + begin);
      const std::size_t size = header.message_size < kHeaderSize ? kHeaderSize : header.message_size;
      if (size > sizeof g_in) {
        fmt::print(stderr, "reference_server: request of {} bytes\n", size);
        return 1;
      }
      if (end - begin < size) break;
      if (!answer(fd, header, g_in + begin + kHeaderSize, size - kHeaderSize)) return fail("write");
      begin += size;
    }
    if (begin == end) {
      begin = end = 0;
    } else if (end == sizeof g_in || sizeof g_in - begin < kHeaderSize + kFixedPart + kMaxData) {
      // Only a request cut by the buffer's end moves, and rarely.
      std::memmove(g_in, g_in + begin, end - begin);
      end -= begin;
      begin = 0;
    }
    ssize_t n = ::read(fd, g_in + end, sizeof g_in - end);
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("read");
    }
    end += static_cast<std::size_t>(n);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool framed = argc == 3 && std::string_view(argv[2]) == "--framed";
  if (argc != 2 && !framed) {
    fmt::print(stderr, "usage: reference_server SOCKET [--framed]\n");
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  for (std::size_t i = kHeaderSize + kFixedPart; i < sizeof g_out; ++i) g_out[i] = static_cast<std::uint8_t>(i * 7 + 1);
  const std::string_view path = argv[1];
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener) return fail("socket");
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    fmt::print(stderr, "reference_server: socket path too long\n");
    return 2;
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return fail("bind");
  if (::listen(listener.get(), 1) != 0) return fail("listen");

  pollfd waiting{listener.get(), POLLIN, 0};
  int ready = ::poll(&waiting, 1, kAcceptTimeoutMs);
  if (ready == 0) {
    ::unlink(argv[1]);
    fmt::print(stderr, "reference_server: no client came within {} s\n", kAcceptTimeoutMs / 1000);
    return 1;
  }
  UniqueFd connection(ready == 1 ? ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC) : -1);
  ::unlink(argv[1]);
  if (!connection) return fail("accept");
  timeval idle{kIdleTimeoutS, 0};
  ::setsockopt(connection.get(), SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
  ::setsockopt(connection.get(), SOL_SOCKET, SO_SNDTIMEO, &idle, sizeof idle);
  return framed ? serve_framed(connection.get(), 2) : serve(connection.get());
}
