// Connection runs the requests of one client over a Transport: it receives
// each header with its descriptors, hands the handler the payload bytes it
// asks for, writes replies, and keeps count of how much of the request has
// been read so that the next header is read where the client put it.
//
// Contract: the transport outlives the connection. Reads and writes complete
// or fail; a short transfer is never reported as success. Log records held
// back by the log sink are written out before anything is sent and before
// the connection waits for input. A request is handled as soon as the bytes
// its handler reads are in: what its header announced beyond them is skipped
// afterwards, never waited for first.
//
// Input is received in bulk, a header and its payload (and whatever requests
// follow) in one receive, into a buffer the handlers read from. Descriptors
// still belong to the request whose header came with them: the transport
// delivers them with the last bytes of a receive, so they go to the last
// request whose header begins among that receive's bytes (each header's
// message_size tells whether another follows), and are closed if none does.
// receive_input() is where the connection waits for input, and
// wait_for_input() where it waits for input or a backend's deadline.
#ifndef VFIO_USER_CONNECTION_H_
#define VFIO_USER_CONNECTION_H_

#include <sys/uio.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
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

  // Returns Header after a full header arrived (its descriptors in fds),
  // Closed when the stream ended before one, or the error number of a failed
  // receive (also one that fails part way through the header; ENOBUFS when
  // more than MAX_RECEIVED_FDS descriptors came with it).
  std::expected<Received, int> receive_header(MessageHeader& header, FdList& fds);
  // Returns success once out holds the next payload bytes of the request.
  std::expected<void, IoError> read(std::span<std::uint8_t> out);
  // Returns success once bytes are written.
  std::expected<void, IoError> write(std::span<const std::uint8_t> bytes);
  // Returns success once the pieces are written, in one call where possible.
  std::expected<void, IoError> write_vectored(std::span<iovec> pieces);
  // Returns success once every byte went out, the descriptors (still the
  // caller's) with the first; else the failed send's error number.
  std::expected<void, int> send_with_fds(std::span<const std::uint8_t> bytes, std::span<const int> fds);
  // Discards what the header announced and the handler did not read, so the
  // next header is read where the client put it. It may wait for those bytes.
  void skip_unread();
  // Returns true once the next request's bytes (or the end of the stream)
  // are there, false once deadline passed (or a signal came) first, or the
  // error number of a failed wait. Held-back log records are written out
  // before it waits.
  std::expected<bool, int> wait_for_input(std::chrono::steady_clock::time_point deadline);
  // Forgets input received and not yet handled, closing descriptors no
  // request took: for the end of a run, and for a connection that serves a
  // new stream on the same transport.
  void discard_input();
  // Returns a scratch area of n bytes, reused between requests so the data
  // path does not allocate per request. It holds what an earlier request left
  // (zeros only where it never reached before): the caller overwrites all of
  // it before sending any of it, as a backend's region_read fills its data.
  std::span<std::uint8_t> scratch(std::size_t n);

 private:
  // Returns how many bytes were received into buf (0 at the end of the
  // stream), having written out held-back log records first if it had to
  // wait; their descriptors wait in arrived_ for a header to claim them.
  // With Wait::No it does not wait: EAGAIN when nothing is there.
  std::expected<std::size_t, int> receive_input(std::span<std::uint8_t> buf, Wait wait = Wait::Yes);
  // Records where the descriptors of a receive came (arrived_from_,
  // arrived_to_); returns how many bytes it took, or its error number.
  std::expected<std::size_t, int> note_arrival(const std::expected<vfio_user::Received, int>& got);
  // Returns how many bytes one receive put in the buffer, which was empty;
  // with a deadline, ETIME once it passed with nothing there.
  std::expected<std::size_t, int> fill(Wait wait = Wait::Yes,
                                       std::optional<std::chrono::steady_clock::time_point> deadline = {});
  // Returns how many of the next bytes were copied into out, from the buffer
  // or from one receive (0 at the end of the stream).
  std::expected<std::size_t, int> read_some(std::span<std::uint8_t> out);
  // Returns how many of the next bytes were read into out: all of it unless
  // the stream ended first.
  std::expected<std::size_t, IoError> read_up_to(std::span<std::uint8_t> out);
  // Moves the arrived descriptors to fds if the header at stream offset
  // `header` is the last to begin among the bytes they came with, its
  // message ending at `end`; returns ENOBUFS if there were too many.
  std::expected<void, int> claim_fds(std::uint64_t header, std::uint64_t end, FdList& fds);
  // Returns the bytes received and not yet handed out.
  std::size_t buffered() const { return ahead_end_ - ahead_begin_; }

  Transport& transport_;
  std::uint64_t announced_ = 0;  // message_size of the request being handled
  std::uint64_t consumed_ = 0;   // bytes of it read so far, header included
  bool ended_ = false;           // a read of this request met the end of the stream
  std::uint64_t offset_ = 0;     // stream offset of the next byte handed out
  std::vector<std::uint8_t> scratch_;  // see scratch()
  std::vector<std::uint8_t> ahead_;    // input received; [ahead_begin_, ahead_end_) not yet handed out
  std::size_t ahead_begin_ = 0;
  std::size_t ahead_end_ = 0;
  // Descriptors of the last receive, which covered stream offsets
  // [arrived_from_, arrived_to_), until a header claims them.
  FdList arrived_;
  bool arrived_too_many_ = false;  // more came than a request may carry
  std::uint64_t arrived_from_ = 0;
  std::uint64_t arrived_to_ = 0;
};

}  // namespace vfio_user

#endif  // VFIO_USER_CONNECTION_H_
