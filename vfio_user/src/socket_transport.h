// SocketTransport moves a connection's bytes and descriptors over a
// connected UNIX stream socket: the transport the program serves clients
// on. The free functions are its single steps, for callers that hold a bare
// socket.
//
// Contract: every call blocks; calls interrupted by a signal are repeated.
// Descriptors are received close-on-exec, so none reaches a program this
// process starts. Sends never raise SIGPIPE: a vanished peer is EPIPE,
// whatever the process does with the signal.
#ifndef VFIO_USER_SOCKET_TRANSPORT_H_
#define VFIO_USER_SOCKET_TRANSPORT_H_

#include "deadline_alarm.h"
#include "transport.h"

namespace vfio_user {

class SocketTransport final : public Transport {
 public:
  // socket stays the caller's and must outlive the transport.
  explicit SocketTransport(int socket) : socket_(socket), alarm_(socket) {}

  std::expected<Received, int> receive(std::span<std::uint8_t> buf, FdList& fds, Wait wait) override;
  std::expected<std::size_t, int> read(std::span<std::uint8_t> buf, Wait wait) override;
  std::expected<std::size_t, int> send(std::span<const iovec> pieces, std::span<const int> fds) override;
  // Not repeated on EINTR: a signal may be what the caller waits for. The
  // first call makes the socket's receives end on signals (see
  // DeadlineAlarm); the others repeat them.
  std::expected<Received, int> receive_by(std::span<std::uint8_t> buf, FdList& fds,
                                          std::chrono::steady_clock::time_point deadline) override;

 private:
  int socket_;          // connected stream socket, not owned
  DeadlineAlarm alarm_;  // ends receive_by()'s wait at its deadline
};

// Returns what one recvmsg received into buf, appending the descriptors that
// came with it to fds; more than capacity (at most MAX_RECEIVED_FDS), or
// control data cut short, are all closed and reported as too_many_fds. Else
// an error number. recv_flags are added to the receive's (MSG_DONTWAIT, say).
std::expected<Received, int> receive_message(int socket, std::span<std::uint8_t> buf, std::size_t capacity,
                                             FdList& fds, int recv_flags = 0);
// Returns the number of bytes received into buf as receive_message does, or
// an error number: ENOBUFS in place of too many descriptors.
std::expected<std::size_t, int> receive_with_fds(int socket, std::span<std::uint8_t> buf, std::size_t capacity,
                                                 FdList& fds, int recv_flags = 0);
// Returns the number of bytes of pieces sent, the descriptors (still the
// caller's) with the first, or an error number.
std::expected<std::size_t, int> send_with_fds(int socket, std::span<const iovec> pieces, std::span<const int> fds);
// Returns success once buf is full; "failed to fill whole buffer" at the end
// of the stream.
std::expected<void, IoError> read_exact(int socket, std::span<std::uint8_t> buf);
// Returns success once every byte was sent.
std::expected<void, IoError> write_all(int socket, std::span<const std::uint8_t> bytes);

}  // namespace vfio_user

#endif  // VFIO_USER_SOCKET_TRANSPORT_H_
