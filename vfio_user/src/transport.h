// Transport is how one connection's bytes and descriptors move: a connected
// UNIX stream socket in the program (SocketTransport), memory in the handler
// tests and the fuzzer (MemoryTransport). Connection runs on a Transport, so
// the request loop and the handlers parse and answer messages without
// knowing which.
//
// Contract: each operation moves what it can in one step and reports it; none
// completes a partial transfer (read_exact and write_all below do).
// Descriptors received are owned by the caller's FdList from the moment they
// arrive, so no transport leaks one on any path.
//
// Bytes move as the kernel moves them on a UNIX stream socket: one receive or
// read joins what the client sent in separate writes, up to the buffer's
// size, but ends with the first write whose descriptors it took. So the
// descriptors a receive delivers came with the last write among its bytes.
#ifndef VFIO_USER_TRANSPORT_H_
#define VFIO_USER_TRANSPORT_H_

#include <sys/uio.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "vfio_user/io_error.h"
#include "vfio_user/unique_fd.h"

namespace vfio_user {

// The most descriptors one request may carry; one more is refused.
inline constexpr std::size_t MAX_RECEIVED_FDS = FdList::kCapacity;

// Whether a receive or read may wait for input: with No, one that finds
// nothing fails with EAGAIN instead, so the caller can do what must be done
// before it waits (write out held-back log lines) only when it has to.
enum class Wait { Yes, No };

// What one receive took.
struct Received {
  std::size_t size = 0;       // bytes received (0 at the end of the stream)
  bool too_many_fds = false;  // more than MAX_RECEIVED_FDS came with them, all closed
};

class Transport {
 public:
  virtual ~Transport() = default;

  // Returns what was received into buf, the descriptors that came with it
  // appended to fds (more than MAX_RECEIVED_FDS are closed and reported,
  // the bytes still delivered); or an error number.
  virtual std::expected<Received, int> receive(std::span<std::uint8_t> buf, FdList& fds, Wait wait) = 0;
  // Returns the number of bytes read into buf (0 at the end of the stream),
  // or an error number. Descriptors that come with them are closed.
  virtual std::expected<std::size_t, int> read(std::span<std::uint8_t> buf, Wait wait) = 0;
  // Returns the number of bytes of pieces accepted, the descriptors (still
  // the caller's) going with the first of them; or an error number.
  virtual std::expected<std::size_t, int> send(std::span<const iovec> pieces, std::span<const int> fds) = 0;
  // Returns what one receive took, as receive() with Wait::Yes does, once
  // there is input (bytes, or the end of the stream); ETIME once deadline
  // has passed with none there (input there as well goes first), or now
  // and then early, which the caller takes as a deadline with nothing due;
  // or another error number, EINTR when a signal came first.
  virtual std::expected<Received, int> receive_by(std::span<std::uint8_t> buf, FdList& fds,
                                                  std::chrono::steady_clock::time_point deadline) = 0;
};

// Returns the error of a stream that ended before a buffer was full.
inline IoError unexpected_eof() {
  return IoError::message(IoError::Kind::UnexpectedEof, "failed to fill whole buffer");
}

// Returns success once buf is full; "failed to fill whole buffer" at the end
// of the stream.
std::expected<void, IoError> read_exact(Transport& transport, std::span<std::uint8_t> buf);
// Returns success once every byte of every piece was accepted, the
// descriptors sent with the first part. pieces is consumed.
std::expected<void, IoError> write_all(Transport& transport, std::span<iovec> pieces,
                                       std::span<const int> fds = {});

}  // namespace vfio_user

#endif  // VFIO_USER_TRANSPORT_H_
