// Posted writes against the real binary: the log lines of a burst are held
// back and written together, yet none is lost however the run ends, and none
// comes out later than a reply that follows its access.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

#include "client.h"
#include "server_fixture.h"
#include "vfio_user/wire.h"
#include "zephon_process.h"

namespace zephon_test {
namespace {

using namespace std::chrono_literals;
using vfio_user_client::Client;

// Enough log lines to pass the 64 KiB the log gathers before it writes.
constexpr std::uint32_t kBurst = 3000;

// The value the burst starting at `first` writes to register first + i.
std::uint32_t value_of(std::uint32_t reg) { return 0xa5000000u | reg; }

struct Logged {
  std::uint32_t reg;
  std::uint32_t value;
};

// Returns the BAR 2 writes logged in text, in order.
std::vector<Logged> logged_writes(const std::string& text) {
  static const std::regex line(R"(DEBUG zephon: Write regs\[0x([0-9a-f]{4})\] \(0x[0-9a-f]+\) = 0x([0-9a-f]{8}))");
  std::vector<Logged> out;
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
    out.push_back({static_cast<std::uint32_t>(std::stoul((*it)[1], nullptr, 16)),
                   static_cast<std::uint32_t>(std::stoul((*it)[2], nullptr, 16))});
  }
  return out;
}

class PostedWrites : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = make_temp_dir();
    socket_ = (dir_ / "zephon.sock").string();
    std::ofstream(dir_ / "rom.bin", std::ios::binary) << std::string(512, '\x55');
    process_ = std::make_unique<ZephonProcess>(dir_, ProcessOptions{.args = {socket_, (dir_ / "rom.bin").string()}});
    ASSERT_TRUE(ZephonProcess::wait_for_path(socket_)) << process_->err();
    auto client = connect_when_listening(socket_);
    ASSERT_TRUE(client.has_value()) << client.error();
    client_.emplace(std::move(*client));
  }
  void TearDown() override {
    client_.reset();
    process_.reset();
    std::filesystem::remove_all(dir_);
  }

  // Posts writes to registers first .. first + count - 1.
  void burst(std::uint32_t first, std::uint32_t count) {
    for (std::uint32_t reg = first; reg < first + count; ++reg) {
      ASSERT_TRUE(client_->write32(2, 4ull * reg, value_of(reg), /*posted=*/true).has_value());
    }
  }
  // Expects the logged writes to be registers first, first + 1, ... in order
  // with their values, at least `at_least` of them.
  static void expect_in_order(const std::vector<Logged>& writes, std::uint32_t first, std::size_t at_least) {
    ASSERT_GE(writes.size(), at_least);
    for (std::size_t i = 0; i < writes.size(); ++i) {
      ASSERT_EQ(writes[i].reg, first + i) << "line " << i;
      ASSERT_EQ(writes[i].value, value_of(first + static_cast<std::uint32_t>(i))) << "line " << i;
    }
  }
  std::uint32_t dump_word(std::size_t reg) const {
    return vfio_user::wire::load32(reinterpret_cast<const std::uint8_t*>(process_->out().data()) + 4 * reg);
  }

  std::filesystem::path dir_;
  std::string socket_;
  std::unique_ptr<ZephonProcess> process_;
  std::optional<Client> client_;
};

TEST_F(PostedWrites, EveryLineIsWrittenBeforeTheReplyOfALaterRead) {
  burst(0, kBurst);
  auto read = client_->read32(2, 0);
  ASSERT_TRUE(read.has_value()) << read.error();
  // The reply has arrived: every earlier access must be in the log already,
  // while zephon still runs.
  expect_in_order(logged_writes(process_->err()), 0, kBurst);
}

TEST_F(PostedWrites, EveryLineIsWrittenWhenTheClientCloses) {
  burst(0, kBurst);
  client_.reset();
  ASSERT_EQ(process_->wait(), 0);
  const std::string err = process_->err();
  expect_in_order(logged_writes(err), 0, kBurst);
  EXPECT_GT(err.find("INFO vfio_user: Connection closed"), err.rfind("Write regs"));
}

TEST_F(PostedWrites, LinesComeOutWhileAQuietClientWaits) {
  burst(0, 10);
  // No reply, no close: zephon waiting for input must not sit on them.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (logged_writes(process_->err()).size() < 10 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  expect_in_order(logged_writes(process_->err()), 0, 10);
}

TEST_F(PostedWrites, AStopSignalLosesNoLineOfWhatWasHandled) {
  burst(0, kBurst);
  ASSERT_TRUE(client_->read32(2, 0).has_value());  // all of the first burst handled
  burst(kBurst, kBurst);
  process_->signal(SIGTERM);
  ASSERT_EQ(process_->wait(), 128 + SIGTERM);
  auto writes = logged_writes(process_->err());
  expect_in_order(writes, 0, kBurst);
  // Of the second burst, what was handled before the stop is logged, and
  // the dump agrees with the log register by register.
  ASSERT_EQ(process_->out().size(), 262144u);
  for (std::uint32_t reg = 0; reg < 2 * kBurst; ++reg) {
    const std::uint32_t expected = reg < writes.size() ? value_of(reg) : 0;
    ASSERT_EQ(dump_word(reg), expected) << "register " << reg << " with " << writes.size() << " writes logged";
  }
}

}  // namespace
}  // namespace zephon_test
