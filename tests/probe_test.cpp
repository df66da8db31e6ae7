// The probe tool: its configuration-space decoder as a pure function, and
// the real zephon-probe binary driving the real zephon binary.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../tools/probe/config_decode.h"
#include "../tools/probe/units.h"

extern char** environ;

namespace zephon_probe {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void put32(ConfigSnapshot& s, std::size_t offset, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s.bytes[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The space zephon presents before a guest writes anything, with the
// read-backs its write masks give for a ROM of rom_size bytes.
ConfigSnapshot zephon_space(std::uint32_t rom_size) {
  ConfigSnapshot s;
  put32(s, 0x00, 0x67801002);
  put32(s, 0x04, 0x00000002);
  put32(s, 0x08, 0x03800000);
  s.bar_all_ones = {0xF0000000, 0, 0xFFFC0000, 0, 0, 0};
  s.rom_all_ones = ~(rom_size - 1) | 1;
  return s;
}

TEST(BarSizing, Memory32SizeIsTheLowestWritableAddressBit) {
  EXPECT_EQ(memory_bar_size(0xF0000000), 0x10000000u);
  EXPECT_EQ(memory_bar_size(0xFFFC0000), 0x40000u);
  EXPECT_EQ(memory_bar_size(0xFFFFFFF8), 0x10u);  // type bits are not address bits
  EXPECT_EQ(memory_bar_size(0x0000000C), 0u);     // only type bits: not implemented
  EXPECT_EQ(memory_bar_size(0), 0u);
}

TEST(BarSizing, Memory64CombinesWithTheUpperRegister) {
  EXPECT_EQ(memory_bar_size(0xFFFFC00C, 0xFFFFFFFF), 0x4000u);
  EXPECT_EQ(memory_bar_size(0x0000000C, 0xFFFFFFFE), 0x200000000u);  // 8 GiB: no low bit writable
  EXPECT_EQ(memory_bar_size(0x00000004, 0x80000000), 0x8000000000000000u);
  EXPECT_EQ(memory_bar_size(0x00000004, 0), 0u);
}

TEST(BarSizing, IoAndRom) {
  EXPECT_EQ(io_bar_size(0xFFFFFF01), 0x100u);
  EXPECT_EQ(io_bar_size(0x0000FFF1), 0x10u);  // 16-bit decoding
  EXPECT_EQ(io_bar_size(0x00000001), 0u);
  EXPECT_EQ(rom_bar_size(0xFFFFF801), 0x800u);
  EXPECT_EQ(rom_bar_size(0xFFFF0001), 0x10000u);
  EXPECT_EQ(rom_bar_size(0x00000001), 0u);  // enable bit alone is no size
}

TEST(Decode, ZephonSpace) {
  const DecodedConfig c = decode_config(zephon_space(4096));
  EXPECT_EQ(c.vendor_id, 0x1002);
  EXPECT_EQ(c.device_id, 0x6780);
  EXPECT_EQ(c.class_code, 0x03);
  EXPECT_EQ(c.subclass, 0x80);
  EXPECT_EQ(c.header_type, 0);
  ASSERT_EQ(c.bars.size(), 6u);
  EXPECT_EQ(c.bars[0].kind, BarKind::Mem32);
  EXPECT_EQ(c.bars[0].size, 0x10000000u);
  EXPECT_EQ(c.bars[1].kind, BarKind::Unused);
  EXPECT_EQ(c.bars[2].size, 0x40000u);
  EXPECT_TRUE(c.rom.present);
  EXPECT_FALSE(c.rom.enabled);
  EXPECT_EQ(c.rom.size, 4096u);

  const auto lines = describe_config(c);
  auto has = [&](std::string_view text) {
    return std::ranges::any_of(lines, [&](const std::string& l) { return l.find(text) != std::string::npos; });
  };
  EXPECT_TRUE(has("vendor 0x1002 device 0x6780"));
  EXPECT_TRUE(has("class 0x03 (display controller) subclass 0x80 (other)"));
  EXPECT_TRUE(has("command 0x0002 (memory space): memory decoding on, I/O decoding off"));
  EXPECT_TRUE(has("BAR0  mem32, non-prefetchable, address 0x00000000, size 0x10000000 (256 MiB)"));
  EXPECT_TRUE(has("BAR2  mem32, non-prefetchable, address 0x00000000, size 0x40000 (256 KiB)"));
  EXPECT_TRUE(has("ROM   address 0x00000000, disabled, size 0x1000 (4 KiB)"));
}

TEST(Decode, Memory64IoAndEnabledRom) {
  ConfigSnapshot s;
  put32(s, 0x04, 0x0007);
  put32(s, 0x10, 0xE000000C);  // mem64, prefetchable
  put32(s, 0x14, 0x00000001);
  put32(s, 0x18, 0x0000E001);  // io
  put32(s, 0x30, 0xFEB00001);
  s.bar_all_ones = {0xFF00000C, 0xFFFFFFFF, 0xFFFFFF01, 0, 0, 0};
  s.rom_all_ones = 0xFFFE0001;
  const DecodedConfig c = decode_config(s);
  ASSERT_EQ(c.bars.size(), 6u);
  EXPECT_EQ(c.bars[0].kind, BarKind::Mem64);
  EXPECT_TRUE(c.bars[0].prefetchable);
  EXPECT_EQ(c.bars[0].address, 0x1E0000000u);
  EXPECT_EQ(c.bars[0].size, 0x1000000u);
  EXPECT_EQ(c.bars[1].kind, BarKind::Mem64Upper);
  EXPECT_EQ(c.bars[2].kind, BarKind::Io);
  EXPECT_EQ(c.bars[2].address, 0xE000u);
  EXPECT_EQ(c.bars[2].size, 0x100u);
  EXPECT_TRUE(c.rom.enabled);
  EXPECT_EQ(c.rom.address, 0xFEB00000u);
  EXPECT_EQ(c.rom.size, 0x20000u);
  EXPECT_EQ(command_bits(c.command), "I/O space, memory space, bus master");
}

TEST(Decode, BridgeHasTwoBarsAndItsRomAt0x38) {
  ConfigSnapshot s;
  s.bytes[0x0E] = 0x81;
  EXPECT_EQ(bar_count(s.bytes[0x0E]), 2u);
  EXPECT_EQ(rom_offset(s.bytes[0x0E]), 0x38u);
  const DecodedConfig c = decode_config(s);
  EXPECT_EQ(c.header_type, 1);
  EXPECT_TRUE(c.multifunction);
  EXPECT_EQ(c.bars.size(), 2u);
  EXPECT_EQ(c.rom.offset, 0x38u);
}

TEST(Decode, Names) {
  EXPECT_EQ(class_name(0x03), "display controller");
  EXPECT_EQ(class_name(0x02), "network controller");
  EXPECT_EQ(class_name(0x99), "unknown class");
  EXPECT_EQ(subclass_name(0x03, 0x00), "VGA compatible controller");
  EXPECT_EQ(command_bits(0), "none");
  EXPECT_EQ(status_bits(0x0010), "capabilities list");
  EXPECT_EQ(human_size(0x10000000), "256 MiB");
  EXPECT_EQ(human_size(3000), "2.9 KiB");
  EXPECT_EQ(human_size(12), "12 B");
}

// A child process that is killed if it is still running when dropped.
class Child {
 public:
  Child(std::vector<std::string> args, const std::string& out, const std::string& err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { stop(); }

  bool started() const { return pid_ > 0; }

  // Kills the child if it is still running.
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  // Returns the exit status, or nothing (after killing it) at the deadline.
  std::optional<int> wait(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (pid_ > 0) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (Clock::now() > deadline) break;
      std::this_thread::sleep_for(10ms);
    }
    stop();
    return std::nullopt;
  }

 private:
  pid_t pid_ = -1;
};

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool wait_for_socket(const std::string& path, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  struct stat st{};
  while (Clock::now() < deadline) {
    if (::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

// A fresh directory, removed with everything in it when dropped.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/zephon-probe-test.XXXXXX";
    if (::mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

TEST(EndToEnd, ProbeDescribesZephonAndItsWriteReachesTheDump) {
  const TempDir temp;
  ASSERT_FALSE(temp.path().empty());
  const std::filesystem::path& dir = temp.path();
  const std::string socket = (dir / "zephon.sock").string();
  {
    std::ofstream rom(dir / "rom.bin", std::ios::binary);
    std::string bytes(3000, '\0');
    bytes[0] = '\x55';
    bytes[1] = '\xAA';
    rom << bytes;
  }
  {
    Child zephon({ZEPHON_BINARY, socket, (dir / "rom.bin").string()}, (dir / "dump.bin").string(),
                 (dir / "zephon.log").string());
    ASSERT_TRUE(zephon.started());
    ASSERT_TRUE(wait_for_socket(socket, 10s)) << slurp(dir / "zephon.log");

    Child probe({ZEPHON_PROBE_BINARY, socket, "info", "write", "bar2", "0x10", "0x12345678", "read", "bar2", "0x10"},
                (dir / "probe.out").string(), (dir / "probe.err").string());
    ASSERT_TRUE(probe.started());
    EXPECT_EQ(probe.wait(20s), 0) << slurp(dir / "probe.err");
    const std::string out = slurp(dir / "probe.out");
    EXPECT_NE(out.find("vendor 0x1002 device 0x6780"), std::string::npos) << out;
    EXPECT_NE(out.find("BAR0  mem32, non-prefetchable, address 0x00000000, size 0x10000000 (256 MiB)"),
              std::string::npos) << out;
    EXPECT_NE(out.find("BAR2  mem32, non-prefetchable, address 0x00000000, size 0x40000 (256 KiB)"),
              std::string::npos) << out;
    EXPECT_NE(out.find("ROM   address 0x00000000, disabled, size 0x1000 (4 KiB)"), std::string::npos) << out;
    EXPECT_NE(out.find("read bar2 0x10: 0x12345678"), std::string::npos) << out;

    EXPECT_EQ(zephon.wait(10s), 0) << slurp(dir / "zephon.log");
  }
  const std::string dump = slurp(dir / "dump.bin");
  ASSERT_EQ(dump.size(), 262144u);
  EXPECT_EQ(dump.substr(16, 4), std::string("\x78\x56\x34\x12", 4));
  EXPECT_FALSE(std::filesystem::exists(socket));
}

}  // namespace
}  // namespace zephon_probe
