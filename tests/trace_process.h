// run_trace_binary runs the built zephon-trace as a child process, for the
// end-to-end tests: arguments, an optional file as standard input and extra
// environment settings in; exit status and both outputs back.
//
// Contract: the wait has a deadline; a child still running then is killed,
// reaped and reported as status -1.
#ifndef ZEPHON_TESTS_TRACE_PROCESS_H_
#define ZEPHON_TESTS_TRACE_PROCESS_H_

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace zephon_test {

struct TraceRun {
  int status = -1;  // exit status, 128 + signal, or -1 when timed out
  std::string out;
  std::string err;
};

// Returns how zephon-trace ran with args; its files go in dir.
TraceRun run_trace_binary(const std::filesystem::path& dir, const std::vector<std::string>& args,
                          const std::filesystem::path& stdin_file = "/dev/null",
                          const std::vector<std::pair<std::string, std::string>>& env = {},
                          std::chrono::milliseconds limit = std::chrono::seconds(60));

}  // namespace zephon_test

#endif  // ZEPHON_TESTS_TRACE_PROCESS_H_
