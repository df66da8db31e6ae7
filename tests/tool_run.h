// run_tool runs one of the project's built programs as a child process and
// waits for it: arguments, an optional file as standard input and extra
// environment settings in; exit status and both outputs back, read from
// files in a directory of the test's. wait_child is its wait, for tests
// that start a child their own way.
//
// Contract: every wait has a deadline; a child still running then is
// killed, reaped and reported as status -1.
#ifndef ZEPHON_TESTS_TOOL_RUN_H_
#define ZEPHON_TESTS_TOOL_RUN_H_

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace zephon_test {

struct ToolRun {
  int status = -1;  // exit status, 128 + signal, or -1 when timed out
  std::string out;
  std::string err;
};

// Returns how the program at binary ran with args, its outputs kept in dir.
ToolRun run_tool(const std::string& binary, const std::vector<std::string>& args, const std::filesystem::path& dir,
                 std::chrono::milliseconds limit = std::chrono::seconds(30),
                 const std::filesystem::path& stdin_file = "/dev/null",
                 const std::vector<std::pair<std::string, std::string>>& env = {});

// Returns the exit status of child pid (128 + signal when a signal ended
// it), or -1 after killing and reaping a child still running after limit.
int wait_child(pid_t pid, std::chrono::milliseconds limit);

}  // namespace zephon_test

#endif  // ZEPHON_TESTS_TOOL_RUN_H_
