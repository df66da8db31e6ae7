#include "connection_peer.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

#include "finding.h"
#include "vfio_user/message.h"

namespace zephon_fuzz {

namespace {

bool read_fully(int fd, std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 16)];
    iovec iov{p, n};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t r = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    // This device sends no descriptors; any that came are closed at once.
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
      finding("the server sent a descriptor");
    }
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

bool send_piece(int fd, Piece& piece, std::span<const int> fds, bool dont_wait) {
  // A stream socket carries descriptors only with data: a piece without bytes
  // (two markers in a row) drops its descriptors.
  while (!piece.bytes.empty()) {
    iovec iov{const_cast<char*>(piece.bytes.data()), piece.bytes.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 17)] = {};
    if (piece.fd_count > 0) {
      msg.msg_control = control;
      msg.msg_controllen = CMSG_SPACE(sizeof(int) * piece.fd_count);
      cmsghdr* c = CMSG_FIRSTHDR(&msg);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int) * piece.fd_count);
      std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * piece.fd_count);
    }
    const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | (dont_wait ? MSG_DONTWAIT : 0));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN;
    }
    piece.fd_count = 0;
    piece.bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// payload is scratch space, kept from run to run.
void drain_replies(int fd, std::vector<std::uint8_t>& payload) {
  for (;;) {
    std::uint8_t header_bytes[vfio_user::kHeaderSize];
    if (!read_fully(fd, header_bytes, sizeof header_bytes)) return;
    const auto header = vfio_user::MessageHeader::decode(header_bytes);
    const bool error = header.flags == (vfio_user::FLAG_REPLY | vfio_user::FLAG_ERROR);
    if (header.flags != vfio_user::FLAG_REPLY && !error) finding("a message that is not a reply");
    if (header.message_size < vfio_user::kHeaderSize) finding("a reply shorter than its header");
    if (error && header.message_size != vfio_user::kHeaderSize) finding("an error reply with a payload");
    if (!error && header.error != 0) finding("a successful reply with an error number");
    // The largest reply is a RegionRead of the largest accepted count.
    if (header.message_size > 32 + (1u << 20)) finding("a reply larger than any request can ask for");
    payload.resize(header.message_size - vfio_user::kHeaderSize);
    if (!read_fully(fd, payload.data(), payload.size())) finding("a reply cut short");
  }
}

}  // namespace

Worker::Worker() : thread_([this] { loop(); }) {}

Worker::~Worker() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void Worker::run(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    job_ = std::move(job);
  }
  changed_.notify_all();
}

void Worker::wait() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !job_; });
}

void Worker::loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return quit_ || job_; });
    if (!job_) return;  // quit, with nothing left to do
    lock.unlock();
    job_();
    lock.lock();
    job_ = nullptr;
    changed_.notify_all();
  }
}

void Peer::start(int fd, std::vector<Piece> pieces, int null_fd, int pipe_fd) {
  fd_ = fd;
  pieces_ = std::move(pieces);
  null_fds_.assign(17, null_fd);
  pipe_fds_.assign(17, pipe_fd);
  next_ = 0;
  bool gone = false;
  for (; next_ < pieces_.size(); ++next_) {
    Piece& piece = pieces_[next_];
    if (!send_piece(fd_, piece, piece.from_pipe ? pipe_fds_ : null_fds_, true)) {
      gone = true;
      break;
    }
    if (!piece.bytes.empty()) break;  // the socket is full
  }
  if (gone || next_ == pieces_.size()) {
    ::shutdown(fd_, SHUT_WR);
  } else {
    writer_.run([this] {
      for (; next_ < pieces_.size(); ++next_) {
        Piece& piece = pieces_[next_];
        if (!send_piece(fd_, piece, piece.from_pipe ? pipe_fds_ : null_fds_, false)) break;
      }
      ::shutdown(fd_, SHUT_WR);
    });
  }
  reader_.run([this] { drain_replies(fd_, payload_); });
}

void Peer::finish() {
  writer_.wait();
  reader_.wait();
}

}  // namespace zephon_fuzz
