#include "transport.h"

namespace vfio_user {

namespace {

const IoError kWriteZero = IoError::message(IoError::Kind::WriteZero, "failed to write whole buffer");

}  // namespace

std::expected<void, IoError> read_exact(Transport& transport, std::span<std::uint8_t> buf) {
  std::size_t done = 0;
  while (done < buf.size()) {
    auto n = transport.read(buf.subspan(done), Wait::Yes);
    if (!n) return std::unexpected(IoError::os(n.error()));
    if (*n == 0) return std::unexpected(unexpected_eof());
    done += *n;
  }
  return {};
}

std::expected<void, IoError> write_all(Transport& transport, std::span<iovec> pieces, std::span<const int> fds) {
  while (!pieces.empty()) {
    if (pieces.front().iov_len == 0) {
      pieces = pieces.subspan(1);
      continue;
    }
    auto n = transport.send(pieces, fds);
    if (!n) return std::unexpected(IoError::os(n.error()));
    if (*n == 0) return std::unexpected(kWriteZero);
    // The descriptors went with the first byte; the rest is plain data.
    fds = {};
    std::size_t left = *n;
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

}  // namespace vfio_user
