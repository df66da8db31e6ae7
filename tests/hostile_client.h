// What the hostile-client tests share: the real zephon binary with a
// connected client, the requests of every command in a well-formed shape,
// and what the server process holds (open descriptors, peak resident memory)
// read from /proc.
//
// Contract: every socket wait is bounded by the client's time-out and every
// process wait by a deadline; a test that fails leaves no child behind.
#ifndef ZEPHON_TESTS_HOSTILE_CLIENT_H_
#define ZEPHON_TESTS_HOSTILE_CLIENT_H_

#include <sys/types.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "client.h"
#include "vfio_user/limits.h"
#include "zephon_process.h"

namespace zephon_test {

inline constexpr std::size_t kDumpBytes = 262144;
// The largest RegionRead/RegionWrite count and Version text the server takes.
inline constexpr std::uint32_t kMaxTransfer = vfio_user::kMaxDataTransfer;

// One command as a well-behaved client sends it.
struct CommandShape {
  std::string name;
  std::uint16_t code;
  std::vector<std::uint8_t> payload;  // a valid payload
  std::uint32_t reply_size;           // message_size of the successful reply
  bool resets = false;                // carrying it out clears BAR 2
};

// Shows the command's name in test output.
inline void PrintTo(const CommandShape& shape, std::ostream* out) { *out << shape.name; }

// Returns the ten commands the server serves, each with a valid payload.
std::vector<CommandShape> served_commands();
// Returns the shape of the named command (one of served_commands()).
CommandShape served_command(const std::string& name);

// Returns the number of descriptors open in process pid.
std::size_t open_descriptors(pid_t pid);
// Returns the peak resident set size of process pid in KiB (VmHWM).
std::uint64_t peak_rss_kib(pid_t pid);
// Returns the resident set size of process pid in KiB (VmRSS).
std::uint64_t rss_kib(pid_t pid);

// Runs the real binary on a fresh socket with a 4 KiB ROM and connects to it.
class HostileClient : public ::testing::Test {
 protected:
  static constexpr std::uint64_t kMarkOffset = 0x1f0;  // a BAR 2 register
  static constexpr std::uint32_t kMark = 0x5eed1e55;

  void SetUp() override;
  void TearDown() override;

  vfio_user_client::Client& client() { return *client_; }
  pid_t pid() const { return process_->pid(); }

  // Sends bytes, descriptors with the first of them.
  void send(const std::vector<std::uint8_t>& bytes, std::span<const int> fds = {});
  // Ends the client's sending side; the server sees the end of the stream.
  void half_close();
  // Asserts that the next message is the reply to (id, code): an error reply
  // carrying errnum, or, when errnum is nullopt, a successful reply of
  // reply_size bytes. Returns the reply.
  vfio_user_client::Reply expect_reply(std::uint16_t id, std::uint16_t code, std::optional<std::uint32_t> errnum,
                                       std::uint32_t reply_size = 16);
  // Asserts that the server answers correct requests, that BAR 2 still holds
  // (or again holds) the mark, and that it has exactly the descriptors it had
  // after the handshake.
  void expect_serving();
  // Asserts that the server closed the connection and ended with status,
  // standard error containing err_text, the whole dump written with the mark
  // in it (unless the case reset the device), and the socket file removed.
  void expect_end(int status, const std::string& err_text);
  // Records that the case carried out a reset, so the dump lacks the mark.
  void mark_cleared() { mark_expected_ = 0; }

  std::filesystem::path dir_;
  std::string socket_;
  std::unique_ptr<ZephonProcess> process_;
  std::optional<vfio_user_client::Client> client_;
  std::size_t baseline_fds_ = 0;
  std::uint32_t mark_expected_ = kMark;
  int pipe_[2] = {-1, -1};  // descriptors the cases send
};

}  // namespace zephon_test

#endif  // ZEPHON_TESTS_HOSTILE_CLIENT_H_
