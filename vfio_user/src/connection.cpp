#include "connection.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "vfio_user/log.h"

namespace vfio_user {

namespace {

// How much one receive takes at most: a request and its data, or about 1800
// posted 4-byte writes.
constexpr std::size_t kReceiveBuffer = 64 * 1024;

}  // namespace

// While log records are held back, input is first asked for without
// waiting: only when none is there are they written out, so a stream of
// requests that keeps coming costs no log write per request, and nothing
// logged waits behind a client that has gone quiet. With nothing held back
// the receive simply waits, with no try before it.
std::expected<std::size_t, int> Connection::receive_input(std::span<std::uint8_t> buf, Wait wait) {
  // Descriptors of an earlier receive that no header claimed have no
  // request left to go to.
  arrived_.clear();
  arrived_too_many_ = false;
  auto got = transport_.receive(buf, arrived_, wait == Wait::No || log::holds_back() ? Wait::No : Wait::Yes);
  if (!got && got.error() == EAGAIN && wait == Wait::Yes) {
    log::flush();
    got = transport_.receive(buf, arrived_, Wait::Yes);
  }
  return note_arrival(got);
}

std::expected<std::size_t, int> Connection::note_arrival(const std::expected<vfio_user::Received, int>& got) {
  if (!got) return std::unexpected(got.error());
  // Input is received only when none is buffered, so buf starts at offset_.
  arrived_from_ = offset_;
  arrived_to_ = offset_ + got->size;
  arrived_too_many_ = got->too_many_fds;
  return got->size;
}

std::expected<std::size_t, int> Connection::fill(Wait wait,
                                                 std::optional<std::chrono::steady_clock::time_point> deadline) {
  if (ahead_.empty()) ahead_.resize(kReceiveBuffer);
  std::expected<std::size_t, int> n;
  if (deadline) {
    arrived_.clear();
    arrived_too_many_ = false;
    n = note_arrival(transport_.receive_by(ahead_, arrived_, *deadline));
  } else {
    n = receive_input(ahead_, wait);
  }
  if (n) {
    ahead_begin_ = 0;
    ahead_end_ = *n;
  }
  return n;
}

std::expected<std::size_t, int> Connection::read_some(std::span<std::uint8_t> out) {
  if (buffered() == 0) {
    // Data as large as the buffer goes straight to its place, uncopied.
    if (out.size() >= kReceiveBuffer) {
      auto n = receive_input(out);
      if (n) offset_ += *n;
      return n;
    }
    auto n = fill();
    if (!n || *n == 0) return n;
  }
  const std::size_t n = std::min(out.size(), buffered());
  std::memcpy(out.data(), ahead_.data() + ahead_begin_, n);
  ahead_begin_ += n;
  offset_ += n;
  return n;
}

std::expected<void, int> Connection::claim_fds(std::uint64_t header, std::uint64_t end, FdList& fds) {
  if (arrived_.empty() && !arrived_too_many_) return {};
  if (header < arrived_from_ || header >= arrived_to_ || end < arrived_to_) return {};
  if (arrived_too_many_) {
    arrived_too_many_ = false;
    return std::unexpected(ENOBUFS);
  }
  while (!arrived_.empty()) fds.push(arrived_.take(0));
  return {};
}

std::expected<Connection::Received, int> Connection::receive_header(MessageHeader& header, FdList& fds) {
  std::uint8_t buf[kHeaderSize] = {};
  const std::uint64_t at = offset_;
  std::size_t done = 0;
  while (done < kHeaderSize) {
    // A header that the end of a receive cuts short is the last to begin
    // among its bytes; what came with them is its own.
    if (done > 0 && buffered() == 0) {
      if (auto c = claim_fds(at, UINT64_MAX, fds); !c) return std::unexpected(c.error());
    }
    auto got = read_some(std::span(buf).subspan(done));
    if (!got) return std::unexpected(got.error());
    if (*got == 0) return Received::Closed;
    done += *got;
  }
  header = MessageHeader::decode(buf);
  const std::uint64_t end = at + std::max<std::uint64_t>(kHeaderSize, header.message_size);
  if (auto c = claim_fds(at, end, fds); !c) return std::unexpected(c.error());
  announced_ = header.message_size;
  consumed_ = kHeaderSize;
  ended_ = false;
  return Received::Header;
}

std::expected<std::size_t, IoError> Connection::read_up_to(std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    auto n = read_some(out.subspan(done));
    if (!n) {
      // What was read is lost either way; what matters is not to wait for
      // the rest of a message from a stream that has failed.
      ended_ = true;
      return std::unexpected(IoError::os(n.error()));
    }
    if (*n == 0) {
      ended_ = true;
      break;
    }
    done += *n;
  }
  consumed_ += done;
  return done;
}

std::expected<void, IoError> Connection::read(std::span<std::uint8_t> out) {
  auto n = read_up_to(out);
  if (!n) return std::unexpected(n.error());
  if (*n < out.size()) return std::unexpected(unexpected_eof());
  return {};
}

std::expected<void, IoError> Connection::write(std::span<const std::uint8_t> bytes) {
  iovec piece{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
  return write_vectored(std::span<iovec>(&piece, 1));
}

std::expected<void, IoError> Connection::write_vectored(std::span<iovec> pieces) {
  log::flush();
  return write_all(transport_, pieces);
}

std::expected<void, int> Connection::send_with_fds(std::span<const std::uint8_t> bytes, std::span<const int> fds) {
  log::flush();
  iovec piece{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
  auto r = write_all(transport_, std::span<iovec>(&piece, 1), fds);
  if (!r) return std::unexpected(r.error().code() != 0 ? r.error().code() : EIO);
  return {};
}

void Connection::skip_unread() {
  if (ended_ || consumed_ >= announced_) return;
  std::uint64_t left = announced_ - consumed_;
  while (left > 0) {
    if (buffered() == 0) {
      auto n = fill();
      // The end or a failure is met again by the next header receive.
      if (!n || *n == 0) break;
    }
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffered()));
    ahead_begin_ += n;
    offset_ += n;
    left -= n;
  }
  consumed_ = announced_;
}

std::expected<bool, int> Connection::wait_for_input(std::chrono::steady_clock::time_point deadline) {
  if (buffered() > 0) return true;
  // The receive that waits answers at once when a request is there, so a
  // try without waiting first would only add a call for a client that waits
  // for each reply (and has just had one, which wrote out the log). It pays
  // while log records are held back, as after posted writes: input that is
  // there is taken without writing them out.
  if (log::holds_back()) {
    auto filled = fill(Wait::No);
    if (filled) return true;
    if (filled.error() != EAGAIN) return std::unexpected(filled.error());
    log::flush();
  }
  auto filled = fill(Wait::Yes, deadline);
  if (filled) return true;
  if (filled.error() == ETIME || filled.error() == EINTR) return false;
  return std::unexpected(filled.error());
}

void Connection::discard_input() {
  ahead_begin_ = ahead_end_ = 0;
  arrived_.clear();
  arrived_too_many_ = false;
}

std::span<std::uint8_t> Connection::scratch(std::size_t n) {
  // Not cleared per request: every byte is overwritten before it is sent,
  // and clearing would cost a pass over up to 1 MiB per region access.
  if (scratch_.size() < n) scratch_.resize(n);
  return std::span<std::uint8_t>(scratch_.data(), n);
}

}  // namespace vfio_user
