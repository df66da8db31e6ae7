// The byte-moving operations on a connected UNIX stream socket, and
// Connection, which runs them for the request being handled and keeps count
// of how much of that request has been read.
//
// Contract: every operation blocks; reads and writes interrupted by a signal
// are repeated. Descriptors received with data are owned by the caller's
// FdList from the moment they arrive; nothing here leaks one on any path.
// Handlers see only Connection: they ask for payload bytes and hand over
// replies without knowing how the bytes move.
#ifndef VFIO_USER_TRANSPORT_H_
#define VFIO_USER_TRANSPORT_H_

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "vfio_user/message.h"
#include "vfio_user/io_error.h"
#include "vfio_user/unique_fd.h"

namespace vfio_user {

inline constexpr std::size_t MAX_RECEIVED_FDS = FdList::kCapacity;

// Returns the number of bytes received into buf, appending the descriptors
// that came with them to fds, or an error number (ENOBUFS when more than
// capacity descriptors came or the control data was cut; what came is closed).
std::expected<std::size_t, int> receive_with_fds(int socket, std::span<std::uint8_t> buf, std::size_t capacity,
                                                 FdList& fds);
// Returns the number of bytes sent with the descriptors (still the caller's).
std::expected<std::size_t, int> send_with_fds(int socket, std::span<const std::uint8_t> bytes,
                                              std::span<const int> fds);
// Returns success once buf is full; "failed to fill whole buffer" at the end
// of the stream.
std::expected<void, IoError> read_exact(int fd, std::span<std::uint8_t> buf);
// Returns success once every byte was accepted.
std::expected<void, IoError> write_all(int fd, std::span<const std::uint8_t> bytes);
// Returns success once every byte of every piece was accepted; one writev
// unless the kernel takes only part.
std::expected<void, IoError> write_all_vectored(int fd, std::span<iovec> pieces);

class Connection {
 public:
  explicit Connection(UniqueFd socket) : socket_(std::move(socket)) {}

  enum class Received { Header, Closed };

  // Returns Header after a full header arrived (descriptors in fds), Closed
  // when the stream ended before one, or the receive's error number.
  std::expected<Received, int> receive_header(MessageHeader& header, FdList& fds);
  // Returns success once out holds the next payload bytes of the request.
  std::expected<void, IoError> read(std::span<std::uint8_t> out);
  // Returns success once bytes are written.
  std::expected<void, IoError> write(std::span<const std::uint8_t> bytes);
  // Returns success once the pieces are written, in one call where possible.
  std::expected<void, IoError> write_vectored(std::span<iovec> pieces);
  // Returns the send's byte count, or its error number.
  std::expected<std::size_t, int> send_with_fds(std::span<const std::uint8_t> bytes, std::span<const int> fds);
  // Discards what the header announced and the handler did not read, so the
  // next header is read where the client put it.
  void skip_unread();
  // Returns a scratch area of n bytes, reused between requests so the data
  // path does not allocate per request. It holds what an earlier request left
  // (zeros only where it never reached before): the caller overwrites all of
  // it before sending any of it, as a backend's region_read fills its data.
  std::span<std::uint8_t> scratch(std::size_t n);
  // Returns the socket, still owned by the connection.
  int fd() const { return socket_.get(); }

 private:
  UniqueFd socket_;
  std::uint64_t announced_ = 0;  // message_size of the request being handled
  std::uint64_t consumed_ = 0;   // bytes of it read so far, header included
  bool ended_ = false;           // a read of this request met the end of the stream
  std::vector<std::uint8_t> scratch_;  // see scratch()
};

}  // namespace vfio_user

#endif  // VFIO_USER_TRANSPORT_H_
