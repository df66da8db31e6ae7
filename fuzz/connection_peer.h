// The client side of connection_fuzz: sends the pieces of an input and reads
// and checks what the server answers, on threads of its own. Built without
// coverage instrumentation: the instrumentation's record of the last branch
// taken is one per process, so instrumented code running beside the server
// would make the coverage of one input differ from run to run.
#ifndef ZEPHON_FUZZ_CONNECTION_PEER_H_
#define ZEPHON_FUZZ_CONNECTION_PEER_H_

#include <cstddef>
#include <string_view>
#include <thread>
#include <vector>

namespace zephon_fuzz {

// One separately sent part of the stream and the descriptors sent with it.
struct Piece {
  std::string_view bytes;
  std::size_t fd_count = 0;  // 0 to 17
  bool from_pipe = false;    // a pipe's read end, else /dev/null
};

// The client end of a socket pair while the server serves the other end.
class Peer {
 public:
  // Queues as many pieces as the socket takes at once, before the server
  // runs, so that the same input is read the same way every time; a thread
  // sends the rest and then ends the stream. Another thread reads every
  // message the server sends until it closes its end, and makes a finding of
  // anything that is not a well-formed reply. The descriptors sent are
  // duplicates of null_fd and pipe_fd, which stay the caller's.
  Peer(int fd, std::vector<Piece> pieces, int null_fd, int pipe_fd);
  // Waits for both threads; call after the server closed its end.
  void join();

 private:
  int fd_;
  std::vector<Piece> pieces_;
  std::vector<int> null_fds_;
  std::vector<int> pipe_fds_;
  std::size_t next_ = 0;  // the first piece not yet sent whole
  std::thread writer_;
  std::thread reader_;
};

}  // namespace zephon_fuzz

#endif  // ZEPHON_FUZZ_CONNECTION_PEER_H_
