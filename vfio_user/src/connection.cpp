#include "connection.h"

#include <algorithm>
#include <cerrno>

#include "vfio_user/log.h"

namespace vfio_user {

namespace {


}  // namespace

// While log records are held back, input is first asked for without
// waiting: only when none is there are they written out, so a stream of
// requests that keeps coming costs no log write per request, and nothing
// logged waits behind a client that has gone quiet. With nothing held back
// the read simply waits, with no try before it.
std::expected<std::size_t, int> Connection::read_some(std::span<std::uint8_t> buf) {
  if (!log::holds_back()) return transport_.read(buf, Wait::Yes);
  auto n = transport_.read(buf, Wait::No);
  if (n || n.error() != EAGAIN) return n;
  log::flush();
  return transport_.read(buf, Wait::Yes);
}

std::expected<Connection::Received, int> Connection::receive_header(MessageHeader& header, FdList& fds) {
  std::uint8_t buf[kHeaderSize] = {};
  auto got = transport_.receive(buf, fds, log::holds_back() ? Wait::No : Wait::Yes);
  if (!got && got.error() == EAGAIN) {
    log::flush();
    got = transport_.receive(buf, fds, Wait::Yes);
  }
  if (!got) return std::unexpected(got.error());
  if (*got == 0) return Received::Closed;
  // A header may arrive in pieces; descriptors come only with the first.
  for (std::size_t done = *got; done < kHeaderSize;) {
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

std::span<std::uint8_t> Connection::scratch(std::size_t n) {
  // Not cleared per request: every byte is overwritten before it is sent,
  // and clearing would cost a pass over up to 1 MiB per region access.
  if (scratch_.size() < n) scratch_.resize(n);
  return std::span<std::uint8_t>(scratch_.data(), n);
}

}  // namespace vfio_user
