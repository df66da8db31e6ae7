// run_trace_binary runs the built zephon-trace as a child process, for the
// end-to-end tests: arguments, an optional file as standard input and extra
// environment settings in; exit status and both outputs back. TraceChild
// runs it with a pipe as standard input, fed by the test while it runs.
//
// Contract: every wait has a deadline; a child still running then is killed,
// reaped and reported as status -1.
#ifndef ZEPHON_TESTS_TRACE_PROCESS_H_
#define ZEPHON_TESTS_TRACE_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tool_run.h"

namespace zephon_test {

using TraceRun = ToolRun;

// Returns how zephon-trace ran with args; its files go in dir.
TraceRun run_trace_binary(const std::filesystem::path& dir, const std::vector<std::string>& args,
                          const std::filesystem::path& stdin_file = "/dev/null",
                          const std::vector<std::pair<std::string, std::string>>& env = {},
                          std::chrono::milliseconds limit = std::chrono::seconds(60));

// zephon-trace running with a pipe as its standard input.
class TraceChild {
 public:
  // Starts the binary with args; its outputs go to files in dir.
  TraceChild(const std::filesystem::path& dir, const std::vector<std::string>& args);
  ~TraceChild();
  TraceChild(const TraceChild&) = delete;
  TraceChild& operator=(const TraceChild&) = delete;

  // Returns true once all of text is in the pipe.
  bool feed(std::string_view text);
  // Returns nothing; closes the pipe, which ends the log.
  void close_input();
  // Returns nothing; sends the child a signal.
  void signal(int number);
  // Returns what the child has written to standard output so far.
  std::string out() const;
  // Returns true when standard output holds needle before the deadline.
  bool wait_for_out(std::string_view needle, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
  // Returns how the child ended (status -1 when it did not in time, after
  // killing it).
  TraceRun wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
  // Returns the running child's peak resident memory since it started the
  // program, in KiB, or -1 when it cannot be read.
  long peak_rss_kib() const;

 private:
  std::filesystem::path out_path_, err_path_;
  pid_t pid_ = -1;
  int input_ = -1;        // the pipe's write end; -1 once closed
};

}  // namespace zephon_test

#endif  // ZEPHON_TESTS_TRACE_PROCESS_H_
