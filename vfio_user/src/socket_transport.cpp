#include "socket_transport.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vfio_user {

namespace {

// Returns what one recvmsg received, as receive_message does, but EINTR
// when a signal came first.
std::expected<Received, int> receive_once(int socket, std::span<std::uint8_t> buf, std::size_t capacity,
                                          FdList& fds, int recv_flags) {
  // Room for exactly `capacity` descriptors, so that one more is reported by
  // the kernel as truncated control data.
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * MAX_RECEIVED_FDS)];
  capacity = std::min(capacity, MAX_RECEIVED_FDS);
  iovec iov{buf.data(), buf.size()};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = CMSG_SPACE(sizeof(int) * capacity);
  const ssize_t n = ::recvmsg(socket, &msg, MSG_CMSG_CLOEXEC | recv_flags);
  if (n < 0) return std::unexpected(errno);

  // Every descriptor that arrived is owned from here on, even those beyond
  // what a request may carry, so that a refusal closes them all.
  bool too_many = (msg.msg_flags & MSG_CTRUNC) != 0;
  std::size_t taken = 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    const unsigned char* data = CMSG_DATA(c);
    for (std::size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, data + i * sizeof(int), sizeof fd);
      UniqueFd owned(fd);
      if (taken < capacity && fds.push(std::move(owned))) {
        ++taken;
      } else {
        too_many = true;
      }
    }
  }
  if (too_many) {
    // Only what this receive added: the caller's earlier descriptors stay.
    while (taken > 0) {
      (void)fds.take(fds.size() - 1);
      --taken;
    }
  }
  return Received{static_cast<std::size_t>(n), too_many};
}

// Returns whether the socket has input (or its end) by deadline, or an
// error number, from one ppoll with the time left: the wait for when the
// deadline alarm cannot be had.
std::expected<bool, int> poll_until(int socket, std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::max<std::chrono::nanoseconds>(deadline - std::chrono::steady_clock::now(), std::chrono::nanoseconds(0));
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
  const timespec limit{.tv_sec = static_cast<time_t>(seconds.count()),
                       .tv_nsec = static_cast<long>((left - seconds).count())};
  pollfd ready{.fd = socket, .events = POLLIN, .revents = 0};
  const int n = ::ppoll(&ready, 1, &limit, nullptr);
  if (n < 0) return std::unexpected(errno);
  return n == 1;
}

}  // namespace

std::expected<Received, int> receive_message(int socket, std::span<std::uint8_t> buf, std::size_t capacity,
                                             FdList& fds, int recv_flags) {
  for (;;) {
    auto got = receive_once(socket, buf, capacity, fds, recv_flags);
    if (got || got.error() != EINTR) return got;
  }
}

std::expected<std::size_t, int> receive_with_fds(int socket, std::span<std::uint8_t> buf, std::size_t capacity,
                                                 FdList& fds, int recv_flags) {
  auto got = receive_message(socket, buf, capacity, fds, recv_flags);
  if (!got) return std::unexpected(got.error());
  if (got->too_many_fds) return std::unexpected(ENOBUFS);
  return got->size;
}

std::expected<std::size_t, int> send_with_fds(int socket, std::span<const iovec> pieces, std::span<const int> fds) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * MAX_RECEIVED_FDS)] = {};
  if (fds.size() > MAX_RECEIVED_FDS) return std::unexpected(EINVAL);
  msghdr msg{};
  msg.msg_iov = const_cast<iovec*>(pieces.data());
  msg.msg_iovlen = pieces.size();
  if (!fds.empty()) {
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
  }
  ssize_t n;
  do {
    n = ::sendmsg(socket, &msg, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return std::unexpected(errno);
  return static_cast<std::size_t>(n);
}

std::expected<Received, int> SocketTransport::receive(std::span<std::uint8_t> buf, FdList& fds, Wait wait) {
  return receive_message(socket_, buf, MAX_RECEIVED_FDS, fds, wait == Wait::No ? MSG_DONTWAIT : 0);
}

std::expected<std::size_t, int> SocketTransport::read(std::span<std::uint8_t> buf, Wait wait) {
  // recv with a per-call flag rather than a non-blocking socket: a try that
  // finds data costs what a plain read does.
  const int flags = wait == Wait::No ? MSG_DONTWAIT : 0;
  ssize_t n;
  do {
    n = ::recv(socket_, buf.data(), buf.size(), flags);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return std::unexpected(errno);
  return static_cast<std::size_t>(n);
}

std::expected<std::size_t, int> SocketTransport::send(std::span<const iovec> pieces, std::span<const int> fds) {
  // One piece without descriptors is the common reply: send() spares the
  // kernel the copying in of a message header and an iovec array.
  if (pieces.size() == 1 && fds.empty()) {
    ssize_t n;
    do {
      n = ::send(socket_, pieces[0].iov_base, pieces[0].iov_len, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return std::unexpected(errno);
    return static_cast<std::size_t>(n);
  }
  return send_with_fds(socket_, pieces, fds);
}

std::expected<Received, int> SocketTransport::receive_by(std::span<std::uint8_t> buf, FdList& fds,
                                                      std::chrono::steady_clock::time_point deadline) {
  if (!alarm_.begin_wait(deadline)) {
    auto ready = poll_until(socket_, deadline);
    if (!ready) return std::unexpected(ready.error());
    if (!*ready) return std::unexpected(ETIME);
    return receive(buf, fds, Wait::Yes);
  }
  // Looked at only now: a deadline that passes from here on fires the
  // timer during the wait. One that has passed already still lets a
  // request that is there go first.
  const bool passed = std::chrono::steady_clock::now() >= deadline;
  auto got = receive_once(socket_, buf, MAX_RECEIVED_FDS, fds, passed ? MSG_DONTWAIT : 0);
  const bool fired = alarm_.end_wait();
  if (!got && ((passed && got.error() == EAGAIN) || (fired && got.error() == EINTR))) return std::unexpected(ETIME);
  return got;
}

std::expected<void, IoError> read_exact(int socket, std::span<std::uint8_t> buf) {
  SocketTransport transport(socket);
  return read_exact(transport, buf);
}

std::expected<void, IoError> write_all(int socket, std::span<const std::uint8_t> bytes) {
  SocketTransport transport(socket);
  iovec piece{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
  return write_all(transport, std::span<iovec>(&piece, 1));
}

}  // namespace vfio_user
