#include "transport.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vfio_user {

namespace {

const IoError kUnexpectedEof = IoError::message(IoError::Kind::UnexpectedEof, "failed to fill whole buffer");
const IoError kWriteZero = IoError::message(IoError::Kind::WriteZero, "failed to write whole buffer");

}  // namespace

std::expected<std::size_t, int> receive_with_fds(int socket, std::span<std::uint8_t> buf, std::size_t capacity,
                                                 FdList& fds) {
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
  ssize_t n;
  do {
    n = ::recvmsg(socket, &msg, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return std::unexpected(errno);

  // Every descriptor that arrived is owned from here on, even those beyond
  // what the request may carry, so that a refusal closes them all.
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
    fds.clear();
    return std::unexpected(ENOBUFS);
  }
  return static_cast<std::size_t>(n);
}

std::expected<std::size_t, int> send_with_fds(int socket, std::span<const std::uint8_t> bytes,
                                              std::span<const int> fds) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * MAX_RECEIVED_FDS)] = {};
  if (fds.size() > MAX_RECEIVED_FDS) return std::unexpected(EINVAL);
  iovec iov{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
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

std::expected<void, IoError> read_exact(int fd, std::span<std::uint8_t> buf) {
  std::size_t done = 0;
  while (done < buf.size()) {
    ssize_t n = ::read(fd, buf.data() + done, buf.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0) {
      return std::unexpected(kUnexpectedEof);
    } else if (errno != EINTR) {
      return std::unexpected(IoError::os(errno));
    }
  }
  return {};
}

std::expected<void, IoError> write_all(int fd, std::span<const std::uint8_t> bytes) {
  // A plain write: every reply but the handshake's is one piece, and write
  // skips the copying in and checking of an iovec array that writev does.
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::os(errno));
    }
    if (n == 0) return std::unexpected(kWriteZero);
    done += static_cast<std::size_t>(n);
  }
  return {};
}

std::expected<void, IoError> write_all_vectored(int fd, std::span<iovec> pieces) {
  while (!pieces.empty()) {
    if (pieces.front().iov_len == 0) {
      pieces = pieces.subspan(1);
      continue;
    }
    ssize_t n = ::writev(fd, pieces.data(), static_cast<int>(pieces.size()));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::os(errno));
    }
    if (n == 0) return std::unexpected(kWriteZero);
    auto left = static_cast<std::size_t>(n);
    while (!pieces.empty() && left >= pieces.front().iov_len) {
      left -= pieces.front().iov_len;
      pieces = pieces.subspan(1);
    }
    if (left > 0) {
      pieces.front().iov_base = static_cast<std::uint8_t*>(pieces.front().iov_base) + left;
      pieces.front().iov_len -= left;
    }
  }
  return {};
}

std::expected<Connection::Received, int> Connection::receive_header(MessageHeader& header, FdList& fds) {
  std::uint8_t buf[kHeaderSize] = {};
  auto got = receive_with_fds(socket_.get(), buf, MAX_RECEIVED_FDS, fds);
  if (!got) return std::unexpected(got.error());
  if (*got == 0) return Received::Closed;
  if (*got < kHeaderSize) {
    // A header may arrive in pieces; descriptors come only with the first.
    if (!read_exact(socket_.get(), std::span(buf).subspan(*got))) return Received::Closed;
  }
  header = MessageHeader::decode(buf);
  announced_ = header.message_size;
  consumed_ = kHeaderSize;
  ended_ = false;
  return Received::Header;
}

std::expected<void, IoError> Connection::read(std::span<std::uint8_t> out) {
  auto r = read_exact(socket_.get(), out);
  if (r) {
    consumed_ += out.size();
  } else {
    // What was read is lost either way; what matters is not to wait for the
    // rest of a message from a stream that has ended or failed.
    ended_ = true;
  }
  return r;
}

std::expected<void, IoError> Connection::write(std::span<const std::uint8_t> bytes) {
  return write_all(socket_.get(), bytes);
}

std::expected<void, IoError> Connection::write_vectored(std::span<iovec> pieces) {
  return write_all_vectored(socket_.get(), pieces);
}

std::expected<std::size_t, int> Connection::send_with_fds(std::span<const std::uint8_t> bytes,
                                                         std::span<const int> fds) {
  return vfio_user::send_with_fds(socket_.get(), bytes, fds);
}

void Connection::skip_unread() {
  if (ended_ || consumed_ >= announced_) return;
  std::uint64_t left = announced_ - consumed_;
  std::uint8_t sink[4096];
  while (left > 0) {
    ssize_t n = ::read(socket_.get(), sink, static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof sink)));
    if (n < 0 && errno == EINTR) continue;
    // The end or a failure is met again by the next header receive.
    if (n <= 0) break;
    left -= static_cast<std::uint64_t>(n);
  }
  consumed_ = announced_;
}

std::span<std::uint8_t> Connection::scratch(std::size_t n) {
  // Not cleared per request: every byte is overwritten before it is sent,
  // and clearing would cost a pass over up to 1 MiB per region access.
  if (scratch_.size() < n) scratch_.resize(n);
  return std::span<std::uint8_t>(scratch_.data(), n);
}

}  // namespace vfio_user
