// ScriptRun runs the real zephon binary with a device script (ZEPHON_SCRIPT
// in its environment) on a socket in a temporary directory, and hands back
// what the run left: exit status, register dump and log messages.
//
// Contract: every wait has a deadline (the process runner's and the client's
// time-outs); the directory is removed and ZEPHON_SCRIPT unset after each
// case.
#ifndef ZEPHON_TESTS_SCRIPT_RUN_H_
#define ZEPHON_TESTS_SCRIPT_RUN_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client.h"
#include "zephon_process.h"

namespace zephon_test {

// What a finished run left behind.
struct RunResult {
  std::optional<int> status;          // nullopt if it did not end in time
  std::string dump;                   // standard output
  std::vector<std::string> messages;  // log lines as "LEVEL target: message"
  std::string err;                    // standard error as written

  // Returns register reg of the dump (0 if the dump is short).
  std::uint32_t reg(std::size_t reg) const;
  // Returns the position of the first message equal to line, or -1.
  long find(std::string_view line) const;
  // Returns the number of messages that contain text.
  std::size_t count_containing(std::string_view text) const;
};

class ScriptRun : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Returns the path of a new script file holding text.
  std::string write_script(std::string_view name, std::string_view text);
  // Returns zephon started with ZEPHON_SCRIPT set to script.
  std::unique_ptr<ZephonProcess> launch(const std::string& script);
  // Returns zephon started with the script and a client that has done the
  // version handshake (nullopt, with a test failure, if it could not).
  std::pair<std::unique_ptr<ZephonProcess>, std::optional<vfio_user_client::Client>> serve(
      const std::string& script);
  // Returns what the run left after the client closed the connection.
  RunResult finish(ZephonProcess& process, vfio_user_client::Client& client);
  // Returns what a run that ends on its own left.
  RunResult wait(ZephonProcess& process);

  std::filesystem::path dir_;
  std::string socket_;
  std::string rom_;
};

// Returns the path of the project's example script name.
std::string example(std::string_view name);

// Returns a SetIrqs payload: the 20-byte fixed part, then data (one byte per
// vector for DATA_BOOL).
std::vector<std::uint8_t> set_irqs_payload(std::uint32_t flags, std::uint32_t index, std::uint32_t start,
                                           std::uint32_t count, std::span<const std::uint8_t> data = {});
// Returns the eventfd's count once it is signalled within limit_ms (0: look
// without waiting), else 0.
std::uint64_t wait_signalled(int fd, int limit_ms = 0);

}  // namespace zephon_test

#endif  // ZEPHON_TESTS_SCRIPT_RUN_H_
