// ZephonProcess runs the real zephon binary (or another program of the
// project's) as a child process with its
// standard output and error captured in files, for end-to-end tests.
//
// Contract: every wait has a deadline; a child still running when the object
// is destroyed is killed and reaped.
#ifndef ZEPHON_TESTS_ZEPHON_PROCESS_H_
#define ZEPHON_TESTS_ZEPHON_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "client.h"

namespace zephon_test {

struct ProcessOptions {
  std::vector<std::string> args = {};  // after the program name
  std::string argv0 = ZEPHON_BINARY;
  std::string binary = ZEPHON_BINARY;  // the program run: zephon, or a client of it
  bool no_color = true;           // set NO_COLOR=1 in the child's environment
  int stdout_fd = -1;             // when >= 0, the child's standard output
};

class ZephonProcess {
 public:
  // Starts the binary; output goes to files in dir.
  ZephonProcess(const std::filesystem::path& dir, ProcessOptions options);
  ~ZephonProcess();
  ZephonProcess(const ZephonProcess&) = delete;
  ZephonProcess& operator=(const ZephonProcess&) = delete;

  // Returns whether path exists before the deadline (the socket appearing).
  static bool wait_for_path(const std::filesystem::path& path,
                            std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Returns the exit status (128 + signal for a signal death), or nullopt
  // if the child did not end in time (it is then killed).
  std::optional<int> wait(std::chrono::milliseconds limit = std::chrono::seconds(20));
  // Sends a signal to the child.
  void signal(int sig) const;
  // Returns the child's process id.
  pid_t pid() const { return pid_; }

  // Returns what the child wrote to standard output so far.
  std::string out() const;
  // Returns what the child wrote to standard error so far.
  std::string err() const;

 private:
  pid_t pid_ = -1;                 // -1 once reaped
  std::filesystem::path out_path_;
  std::filesystem::path err_path_;
};

// Returns a client connected to the zephon listening at path. The socket
// file appears at bind, a moment before listen, so a refused connection is
// tried again until the deadline.
std::expected<vfio_user_client::Client, std::string> connect_when_listening(
    const std::string& path, std::chrono::milliseconds limit = std::chrono::seconds(10));

// Returns the file's contents.
std::string read_file(const std::filesystem::path& path);

}  // namespace zephon_test

#endif  // ZEPHON_TESTS_ZEPHON_PROCESS_H_
