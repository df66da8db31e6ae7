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
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client.h"
#include "vfio_user/unique_fd.h"
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

// Returns the 32-byte DmaMap payload.
std::vector<std::uint8_t> dma_map_payload(std::uint32_t flags, std::uint64_t file_offset, std::uint64_t address,
                                          std::uint64_t size);
// Returns the 24-byte DmaUnmap payload.
std::vector<std::uint8_t> dma_unmap_payload(std::uint32_t flags, std::uint64_t address, std::uint64_t size);

// Guest memory for a test: a memfd of a given size, which the test maps into
// the server with DmaMap and reads back byte by byte.
class GuestRam {
 public:
  // Makes size bytes, byte i holding i % 251 (a pattern with no period of a
  // power of two), unless zeroed.
  explicit GuestRam(std::size_t size, bool zeroed = false);
  // Returns the descriptor to send with DmaMap.
  int fd() const { return fd_.get(); }
  // Returns size bytes from offset as the file holds them now.
  std::string bytes(std::uint64_t offset, std::size_t size) const;
  // Returns whether data was stored at offset.
  bool store(std::uint64_t offset, std::string_view data) const;

 private:
  vfio_user::UniqueFd fd_;  // the memfd
};

// Returns success once the server kept a DmaMap of size bytes of ram at
// address with flags (VFIO_DMA_MAP_FLAG_READ, _WRITE); ram null sends none.
std::expected<void, std::string> map_guest(vfio_user_client::Client& client, const GuestRam* ram, std::uint32_t flags,
                                           std::uint64_t address, std::uint64_t size);

}  // namespace zephon_test

#endif  // ZEPHON_TESTS_SCRIPT_RUN_H_
