// The client side of connection_fuzz: sends the pieces of an input and reads
// and checks what the server answers, on threads of its own. The only part
// of the target that knows the connection is a socket.
//
// Contract: one Peer serves every run of the process, one connection at a
// time: start() before the server runs, finish() after it closed its end.
// Its threads live as long as the Peer, since starting threads for every run
// would cost more than the run itself. Built without coverage instrumentation:
// libFuzzer's counters are shared by every thread, so the client's own
// branches, taken whenever its threads get to run, would make the coverage
// of one input differ from run to run.
#ifndef ZEPHON_FUZZ_CONNECTION_PEER_H_
#define ZEPHON_FUZZ_CONNECTION_PEER_H_

#include <condition_variable>
#include <cstdint>
#include <cstddef>
#include <functional>
#include <mutex>
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

// A thread that runs one job at a time, handed to it by another thread.
class Worker {
 public:
  Worker();
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;
  // Returns at once; the thread runs job. The previous job must have ended.
  void run(std::function<void()> job);
  // Returns once the job handed to run() has ended.
  void wait();

 private:
  void loop();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> job_;  // set by run(), cleared by the thread when done
  bool quit_ = false;          // set by the destructor
  std::thread thread_;         // started last: it uses the members above
};

// The client end of a socket pair while the server serves the other end.
class Peer {
 public:
  // Queues as many pieces as the socket takes at once, before the server
  // runs, so that the same input is read the same way every time; a thread
  // sends the rest and then ends the stream. Another thread reads every
  // message the server sends until it closes its end, and makes a finding of
  // anything that is not a well-formed reply. The descriptors sent are
  // duplicates of null_fd and pipe_fd; fd, null_fd and pipe_fd stay the
  // caller's and must stay open until finish() returns.
  void start(int fd, std::vector<Piece> pieces, int null_fd, int pipe_fd);
  // Returns once both threads are done with the connection; call after the
  // server closed its end.
  void finish();

 private:
  int fd_ = -1;
  std::vector<Piece> pieces_;
  std::vector<int> null_fds_;
  std::vector<int> pipe_fds_;
  std::size_t next_ = 0;  // the first piece not yet sent whole
  std::vector<std::uint8_t> payload_;  // the reader's, kept so runs do not allocate it anew
  Worker writer_;
  Worker reader_;
};

}  // namespace zephon_fuzz

#endif  // ZEPHON_FUZZ_CONNECTION_PEER_H_
