// MemoryTransport is a Transport over memory, so that the handler tests and
// the fuzzer run the real request loop without sockets or threads. The
// client's side is a queue of pieces, each as one sendmsg would send it,
// with its descriptors; what the server sends is collected.
//
// Contract: it behaves as a UNIX stream socket does. A receive or read joins
// pieces, as far as its buffer reaches, and ends with the first piece whose
// descriptors it took; a piece's descriptors go with its first byte, to the
// receive that takes it, and are closed if a read() takes it (as the kernel
// discards descriptors nobody asked for). So a caller that takes more than
// one request's bytes loses the next request's descriptors here as it would
// on a socket. After the last piece the stream ends (0), or fails with the
// error set by fail_receives(). Not thread-safe.
#ifndef VFIO_USER_MEMORY_TRANSPORT_H_
#define VFIO_USER_MEMORY_TRANSPORT_H_

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "transport.h"

namespace vfio_user {

class MemoryTransport final : public Transport {
 public:
  // Queues bytes sent by the client in one piece, with the descriptors
  // (taken over, up to any number) that go with them.
  void push(std::span<const std::uint8_t> bytes, std::vector<UniqueFd> fds = {});
  // Makes receives and reads fail with err once the queued input is used up,
  // instead of reporting the end of the stream.
  void fail_receives(int err) { receive_error_ = err; }
  // Makes sends fail with err once `after` more bytes have been accepted.
  void fail_sends(int err, std::size_t after = 0) {
    send_error_ = err;
    send_budget_ = after;
  }

  // Makes each send accept at most n bytes, as a nearly full socket buffer
  // would.
  void limit_sends(std::size_t n) { send_limit_ = n; }

  // Forgets all input (closing its descriptors), all that was sent and the
  // failures set, so that one transport, and the connection on it, serve
  // run after run without allocating anew.
  void clear();

  // Returns every byte the server sent, in order.
  const std::vector<std::uint8_t>& sent() const { return sent_; }
  // A descriptor the server sent (never owned here), and where in sent() the
  // bytes it went with begin.
  struct SentFd {
    std::size_t at;
    int fd;
    bool operator==(const SentFd&) const = default;
  };
  // Returns the descriptors the server sent, in order.
  const std::vector<SentFd>& sent_fds() const { return sent_fds_; }
  // Returns how many queued bytes nobody has taken yet.
  std::size_t unread() const;

  // Input is always there until it runs out, so Wait makes no difference.
  std::expected<Received, int> receive(std::span<std::uint8_t> buf, FdList& fds, Wait wait) override;
  std::expected<std::size_t, int> read(std::span<std::uint8_t> buf, Wait wait) override;
  std::expected<std::size_t, int> send(std::span<const iovec> pieces, std::span<const int> fds) override;
  // A receive: the queued input, or its end, is there at once.
  std::expected<Received, int> receive_by(std::span<std::uint8_t> buf, FdList& fds,
                                          std::chrono::steady_clock::time_point) override {
    return receive(buf, fds, Wait::Yes);
  }

 private:
  struct Piece {
    std::vector<std::uint8_t> bytes;
    std::size_t taken = 0;       // bytes already received or read
    std::vector<UniqueFd> fds;   // delivered (or dropped) with the first byte
  };

  // Returns what the next receive takes into buf, its descriptors moved to
  // arrived; pieces used up are dropped.
  std::expected<std::size_t, int> take(std::span<std::uint8_t> buf, std::vector<UniqueFd>& arrived);

  std::deque<Piece> input_;           // the client's pieces still (partly) unread
  std::optional<int> receive_error_;  // what an exhausted input reports, else the end
  std::optional<int> send_error_;     // what sends fail with once send_budget_ is spent
  std::size_t send_budget_ = 0;       // bytes sends may still accept when send_error_ is set
  std::size_t send_limit_ = SIZE_MAX; // the most one send accepts
  std::vector<std::uint8_t> sent_;    // what the server sent
  std::vector<SentFd> sent_fds_;      // the descriptors it sent with it
};

}  // namespace vfio_user

#endif  // VFIO_USER_MEMORY_TRANSPORT_H_
