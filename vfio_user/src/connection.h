// Connection runs the requests of one client over a Transport: it receives
// each header with its descriptors, hands the handler the payload bytes it
// asks for, writes replies, and keeps count of how much of the request has
// been read so that the next header is read where the client put it.
//
// Contract: the transport outlives the connection. Reads and writes complete
// or fail; a short transfer is never reported as success. Log records held
// back by the log sink are written out before anything is sent and before
// the connection waits for input.
//
// Input is read ahead, several requests in one read, as long as no
// descriptors are among what is there: the transport is asked to look
// first, and what it saw is taken only if none came with it. Otherwise the
// requests are read one by one, the header by itself, until those bytes are
// past, so descriptors still belong to the request whose header arrived
// with them.
#ifndef VFIO_USER_CONNECTION_H_
#define VFIO_USER_CONNECTION_H_

#include <sys/uio.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "transport.h"
#include "vfio_user/io_error.h"
#include "vfio_user/message.h"
#include "vfio_user/unique_fd.h"

namespace vfio_user {

class Connection {
 public:
  explicit Connection(Transport& transport) : transport_(transport) {}

  enum class Received { Header, Closed };

  // Returns Header after a full header arrived (descriptors in fds), Closed
  // when the stream ended before one, or the error number of a failed
  // receive (also one that fails part way through the header).
  std::expected<Received, int> receive_header(MessageHeader& header, FdList& fds);
  // Returns success once out holds the next payload bytes of the request.
  std::expected<void, IoError> read(std::span<std::uint8_t> out);
  // Returns how many of the next bytes were read into out: all of it unless
  // the stream ended first.
  std::expected<std::size_t, IoError> read_up_to(std::span<std::uint8_t> out);
  // Returns the payload bytes the header announced and nobody has read yet.
  std::uint64_t unread_payload() const { return consumed_ < announced_ ? announced_ - consumed_ : 0; }
  // Returns success once bytes are written.
  std::expected<void, IoError> write(std::span<const std::uint8_t> bytes);
  // Returns success once the pieces are written, in one call where possible.
  std::expected<void, IoError> write_vectored(std::span<iovec> pieces);
  // Returns success once every byte went out, the descriptors (still the
  // caller's) with the first; else the failed send's error number.
  std::expected<void, int> send_with_fds(std::span<const std::uint8_t> bytes, std::span<const int> fds);
  // Discards what the header announced and the handler did not read, so the
  // next header is read where the client put it.
  void skip_unread();
  // Returns true once the next request's bytes (or the end of the stream)
  // are there, false once deadline passed (or a signal came) first, or the
  // error number of a failed wait. Held-back log records are written out
  // before it waits.
  std::expected<bool, int> wait_for_input(std::chrono::steady_clock::time_point deadline);
  // Forgets input read ahead and not yet handled, for a connection that
  // serves a new stream on the same transport.
  void discard_input() {
    ahead_begin_ = ahead_end_ = 0;
    one_by_one_ = 0;
  }
  // Returns a scratch area of n bytes, reused between requests so the data
  // path does not allocate per request. It holds what an earlier request left
  // (zeros only where it never reached before): the caller overwrites all of
  // it before sending any of it, as a backend's region_read fills its data.
  std::span<std::uint8_t> scratch(std::size_t n);

 private:
  enum class Filled { Yes, OneByOne, Ended };

  // Returns what one read took (0 at the end of the stream): from what was
  // read ahead, else from the transport, having written out held-back log
  // records first if it had to wait.
  std::expected<std::size_t, int> read_some(std::span<std::uint8_t> buf);
  // Returns Yes once requests were read ahead, OneByOne when descriptors
  // came with them (nothing was taken), Ended at the end of the stream;
  // else the error number (EAGAIN with Wait::No when nothing is there).
  std::expected<Filled, int> read_ahead(Wait wait = Wait::Yes);
  // Returns the header's first bytes (with the descriptors that came with
  // them) from the transport.
  std::expected<std::size_t, int> receive_one(std::span<std::uint8_t> buf, FdList& fds);
  // Counts bytes taken from the transport one by one.
  void took(std::size_t n) { one_by_one_ -= std::min<std::uint64_t>(one_by_one_, n); }

  Transport& transport_;
  std::uint64_t announced_ = 0;  // message_size of the request being handled
  std::uint64_t consumed_ = 0;   // bytes of it read so far, header included
  bool ended_ = false;           // a read of this request met the end of the stream
  std::vector<std::uint8_t> scratch_;  // see scratch()
  std::vector<std::uint8_t> ahead_;    // input read ahead; [ahead_begin_, ahead_end_) not yet handled
  std::size_t ahead_begin_ = 0;
  std::size_t ahead_end_ = 0;
  std::uint64_t one_by_one_ = 0;  // bytes to take one request at a time before reading ahead again
};

}  // namespace vfio_user

#endif  // VFIO_USER_CONNECTION_H_
