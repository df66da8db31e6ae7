// ServerFixture runs a real Server on a real UNIX socket in a temporary
// directory, serving on a background thread with a RecordingBackend, and
// captures the process log so tests can assert exact lines.
#ifndef ZEPHON_TESTS_SERVER_FIXTURE_H_
#define ZEPHON_TESTS_SERVER_FIXTURE_H_

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client.h"
#include "test_backend.h"
#include "vfio_user/server.h"

namespace zephon_test {

// Returns the region table of the program's device (nine regions).
std::vector<vfio_user::ServerRegion> device_regions();
// Returns the interrupt table of the program's device (five entries).
std::vector<vfio_user::InterruptEntry> device_interrupts();

// Returns the log lines written since `from` (a byte position in the log),
// each without its timestamp, as "LEVEL target: message".
std::vector<std::string> log_lines_since(std::size_t from);
// Returns the current end of the log.
std::size_t log_position();

// Returns a fresh temporary directory, removed by the caller.
std::filesystem::path make_temp_dir();

// Returns whether the descriptor is open in this process.
bool fd_open(int fd);

class ServerFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Creates the server and starts run() on a thread.
  void start(bool reset_supported = true, std::vector<vfio_user::ServerRegion> regions = device_regions(),
             std::vector<vfio_user::InterruptEntry> interrupts = device_interrupts());
  // Returns a client connected to the server.
  vfio_user_client::Client connect();
  // Returns run()'s result once it ended.
  std::expected<void, vfio_user::Error> finish();
  // Returns the log lines written since the test started.
  std::vector<std::string> log() const { return log_lines_since(log_start_); }

  std::filesystem::path dir_;
  std::string path_;
  RecordingBackend backend_;
  std::optional<vfio_user::Server> server_;
  std::thread thread_;
  std::optional<std::expected<void, vfio_user::Error>> result_;
  std::size_t log_start_ = 0;
};

}  // namespace zephon_test

#endif  // ZEPHON_TESTS_SERVER_FIXTURE_H_
