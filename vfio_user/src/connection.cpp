#include "connection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "vfio_user/log.h"

namespace vfio_user {

namespace {

// How much is read ahead at once: about 1800 posted 4-byte writes.
constexpr std::size_t kReadAhead = 64 * 1024;

}  // namespace

// While log records are held back, input is first asked for without
// waiting: only when none is there are they written out, so a stream of
// requests that keeps coming costs no log write per request, and nothing
// logged waits behind a client that has gone quiet. With nothing held back
// the read simply waits, with no try before it.
std::expected<std::size_t, int> Connection::read_some(std::span<std::uint8_t> buf) {
  if (ahead_begin_ < ahead_end_) {
    const std::size_t n = std::min(buf.size(), ahead_end_ - ahead_begin_);
    std::memcpy(buf.data(), ahead_.data() + ahead_begin_, n);
    ahead_begin_ += n;
    return n;
  }
  auto n = transport_.read(buf, log::holds_back() ? Wait::No : Wait::Yes);
  if (!n && n.error() == EAGAIN) {
    log::flush();
    n = transport_.read(buf, Wait::Yes);
  }
  if (n) took(*n);
  return n;
}

std::expected<Connection::Filled, int> Connection::read_ahead(Wait wait) {
  if (ahead_.empty()) ahead_.resize(kReadAhead);
  auto peeked = transport_.peek(ahead_, wait == Wait::No || log::holds_back() ? Wait::No : Wait::Yes);
  if (!peeked && peeked.error() == EAGAIN && wait == Wait::Yes) {
    log::flush();
    peeked = transport_.peek(ahead_, Wait::Yes);
  }
  if (!peeked) return std::unexpected(peeked.error());
  if (peeked->size == 0) return Filled::Ended;
  if (peeked->descriptors) {
    // Somewhere in what was seen a message with descriptors begins; only
    // reading request by request tells which header it is.
    one_by_one_ = peeked->size;
    return Filled::OneByOne;
  }
  // No descriptors among these bytes: taking them loses none.
  for (std::size_t done = 0; done < peeked->size;) {
    auto n = transport_.read(std::span(ahead_).subspan(done, peeked->size - done), Wait::Yes);
    if (!n) return std::unexpected(n.error());
    if (*n == 0) return std::unexpected(EIO);  // what was seen cannot vanish
    done += *n;
  }
  ahead_begin_ = 0;
  ahead_end_ = peeked->size;
  return Filled::Yes;
}

std::expected<std::size_t, int> Connection::receive_one(std::span<std::uint8_t> buf, FdList& fds) {
  auto got = transport_.receive(buf, fds, log::holds_back() ? Wait::No : Wait::Yes);
  if (!got && got.error() == EAGAIN) {
    log::flush();
    got = transport_.receive(buf, fds, Wait::Yes);
  }
  if (got) took(*got);
  return got;
}

std::expected<Connection::Received, int> Connection::receive_header(MessageHeader& header, FdList& fds) {
  std::uint8_t buf[kHeaderSize] = {};
  std::size_t done = 0;
  if (ahead_begin_ == ahead_end_ && one_by_one_ == 0) {
    auto filled = read_ahead();
    if (!filled) return std::unexpected(filled.error());
    if (*filled == Filled::Ended) return Received::Closed;
  }
  if (ahead_begin_ < ahead_end_) {
    auto got = read_some(buf);
    done = *got;
  } else {
    // The header's first bytes alone, so that descriptors arrive with it.
    auto got = receive_one(buf, fds);
    if (!got) return std::unexpected(got.error());
    if (*got == 0) return Received::Closed;
    done = *got;
  }
  // A header may arrive in pieces; descriptors come only with the first.
  while (done < kHeaderSize) {
    auto more = read_some(std::span(buf).subspan(done));
    if (!more) return std::unexpected(more.error());
    if (*more == 0) return Received::Closed;
    done += *more;
  }
  header = MessageHeader::decode(buf);
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
  std::uint8_t sink[4096];
  while (left > 0) {
    auto n = read_some(std::span(sink, static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof sink))));
    // The end or a failure is met again by the next header receive.
    if (!n || *n == 0) break;
    left -= *n;
  }
  consumed_ = announced_;
}

std::expected<bool, int> Connection::wait_for_input(std::chrono::steady_clock::time_point deadline) {
  if (ahead_begin_ < ahead_end_ || one_by_one_ > 0) return true;
  // What is there is read ahead without waiting, as the receive would read
  // it, so that a stream of requests costs no call more than without a
  // deadline. Only when nothing is there are held-back log records written
  // out and the wait begins.
  auto filled = read_ahead(Wait::No);
  if (filled) return true;
  std::expected<bool, int> ready = std::unexpected(filled.error());
  if (filled.error() == EAGAIN) {
    log::flush();
    ready = transport_.wait_input(
        std::max<std::chrono::nanoseconds>(deadline - std::chrono::steady_clock::now(), std::chrono::nanoseconds(0)));
  }
  if (!ready && ready.error() == EINTR) return false;
  return ready;
}

std::span<std::uint8_t> Connection::scratch(std::size_t n) {
  // Not cleared per request: every byte is overwritten before it is sent,
  // and clearing would cost a pass over up to 1 MiB per region access.
  if (scratch_.size() < n) scratch_.resize(n);
  return std::span<std::uint8_t>(scratch_.data(), n);
}

}  // namespace vfio_user
