#include "memory_transport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vfio_user {

void MemoryTransport::push(std::span<const std::uint8_t> bytes, std::vector<UniqueFd> fds) {
  // A stream cannot carry descriptors without at least one byte.
  if (bytes.empty()) return;
  input_.push_back(Piece{{bytes.begin(), bytes.end()}, 0, std::move(fds)});
}

void MemoryTransport::clear() {
  input_.clear();
  receive_error_.reset();
  send_error_.reset();
  send_budget_ = 0;
  send_limit_ = SIZE_MAX;
  sent_.clear();
  sent_fds_.clear();
}

std::size_t MemoryTransport::unread() const {
  std::size_t n = 0;
  for (const Piece& p : input_) n += p.bytes.size() - p.taken;
  return n;
}

std::expected<std::size_t, int> MemoryTransport::take(std::span<std::uint8_t> buf,
                                                      std::vector<UniqueFd>& arrived) {
  if (input_.empty()) {
    if (receive_error_) return std::unexpected(*receive_error_);
    return 0;
  }
  std::size_t done = 0;
  while (done < buf.size() && !input_.empty()) {
    Piece& piece = input_.front();
    const bool carries = piece.taken == 0 && !piece.fds.empty();
    if (carries) arrived = std::move(piece.fds);
    const std::size_t n = std::min(buf.size() - done, piece.bytes.size() - piece.taken);
    std::memcpy(buf.data() + done, piece.bytes.data() + piece.taken, n);
    piece.taken += n;
    done += n;
    if (piece.taken == piece.bytes.size()) input_.pop_front();
    // The kernel ends a receive with the message whose descriptors it took.
    if (carries) break;
  }
  return done;
}

std::expected<Received, int> MemoryTransport::receive(std::span<std::uint8_t> buf, FdList& fds, Wait) {
  std::vector<UniqueFd> arrived;
  auto n = take(buf, arrived);
  if (!n) return std::unexpected(n.error());
  if (arrived.size() > MAX_RECEIVED_FDS) return Received{*n, true};
  for (UniqueFd& fd : arrived) fds.push(std::move(fd));
  return Received{*n, false};
}

std::expected<std::size_t, int> MemoryTransport::read(std::span<std::uint8_t> buf, Wait) {
  std::vector<UniqueFd> dropped;
  return take(buf, dropped);
}

std::expected<std::size_t, int> MemoryTransport::send(std::span<const iovec> pieces, std::span<const int> fds) {
  std::size_t total = 0;
  for (const iovec& p : pieces) total += p.iov_len;
  total = std::min(total, send_limit_);
  if (send_error_) {
    if (send_budget_ == 0) return std::unexpected(*send_error_);
    total = std::min(total, send_budget_);
    send_budget_ -= total;
  }
  const std::size_t at = sent_.size();
  std::size_t left = total;
  for (const iovec& p : pieces) {
    const std::size_t n = std::min(left, p.iov_len);
    const auto* bytes = static_cast<const std::uint8_t*>(p.iov_base);
    sent_.insert(sent_.end(), bytes, bytes + n);
    left -= n;
    if (left == 0) break;
  }
  if (total > 0) {
    for (int fd : fds) sent_fds_.push_back({at, fd});
  }
  return total;
}

}  // namespace vfio_user
