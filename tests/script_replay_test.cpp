// replay() in a device script, in-process: the rules by which a recording
// answers reads, the strict replay's one warning, mmiotraces and the
// recordings and calls that are refused.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "device.h"
#include "guest_memory.h"
#include "log_capture.h"
#include "script/script.h"
#include "script/script_interrupts.h"
#include "server_fixture.h"
#include "trace_samples.h"
#include "vram_space.h"

namespace zephon_test {
namespace {

using zephon::DeviceScript;
using trace_samples::mmio_access;
using trace_samples::mmio_map;

constexpr std::string_view kStamp = "2026-03-01T12:00:00.000000Z";

// Returns a zephon log line of a guest access: 'R' or 'W', register, value.
std::string access(char op, std::uint32_t reg, std::uint32_t value) {
  return trace_samples::plain_line(kStamp, "DEBUG", "zephon",
                                   fmt::format("{} regs[{:#06x}] ({:#x}) = {:#010x}", op == 'R' ? "Read " : "Write",
                                               reg, 4 * reg, value));
}

class ScriptReplay : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Writes the recording rec.log next to the script, one line per entry.
  void record(const std::vector<std::string>& lines) {
    std::ofstream out(dir_ / "rec.log", std::ios::trunc);
    for (const auto& line : lines) out << line << '\n';
  }
  // Returns the script holding text, loaded over regs_, or why not.
  std::expected<std::unique_ptr<DeviceScript>, std::string> load(std::string_view text) {
    path_ = (dir_ / "device.lua").string();
    std::ofstream(path_, std::ios::trunc) << text;
    return DeviceScript::load(path_, zephon::ScriptDevice(*regs_, irqs_, memory_, vram_));
  }
  // Returns what the guest reads from reg, as the device model asks.
  std::uint32_t guest_read(DeviceScript& script, std::uint32_t reg) { return script.read(reg, (*regs_)[reg]); }
  void guest_write(DeviceScript& script, std::uint32_t reg, std::uint32_t value) {
    (*regs_)[reg] = value;
    script.wrote(reg, value);
  }

  std::filesystem::path dir_;
  std::string path_;
  std::unique_ptr<zephon::Registers> regs_ = std::make_unique<zephon::Registers>();
  zephon::pci::PciConfiguration config_ = *zephon::device::configuration(4096, zephon::device::Interrupts::Offered);
  zephon::ScriptInterrupts irqs_{config_};
  zephon::GuestMemory memory_;
  zephon::VramSpace vram_;
};

TEST_F(ScriptReplay, EachRegisterAnswersItsRecordedReadsInOrderThenTheLastAgain) {
  record({access('R', 1, 0x10), access('W', 3, 5), access('R', 2, 0x70), access('R', 1, 0x11),
          "not a log line", access('R', 1, 0x12)});
  auto script = load("replay('rec.log')\n");
  ASSERT_TRUE(script) << script.error();
  DeviceScript& s = **script;
  (*regs_)[2] = 0xdead;
  (*regs_)[3] = 0xbeef;
  EXPECT_EQ(guest_read(s, 2), 0x70u);  // registers do not wait for one another
  for (std::uint32_t want : {0x10u, 0x11u, 0x12u, 0x12u, 0x12u}) EXPECT_EQ(guest_read(s, 1), want);
  EXPECT_EQ(guest_read(s, 2), 0x70u);
  // Written in the recording, never read: the register file answers.
  EXPECT_EQ(guest_read(s, 3), 0xbeefu);
  guest_write(s, 2, 0x1234);
  EXPECT_EQ((*regs_)[2], 0x1234u);
  EXPECT_EQ(guest_read(s, 2), 0x70u);
}

TEST_F(ScriptReplay, TheScriptsOwnHooksComeFirstAndLeaveTheRecordingWhereItWas) {
  record({access('R', 1, 0x10), access('R', 1, 0x11), access('R', 2, 0x20), access('R', 4, 0x40)});
  auto script = load(R"(
replay('rec.log')
reads[1] = 0x55
on_read[2] = function(v) return v + 1 end
on_read[4] = function(v)
  reads[1] = nil
  return 7
end
)");
  ASSERT_TRUE(script) << script.error();
  DeviceScript& s = **script;
  (*regs_)[2] = 8;
  EXPECT_EQ(guest_read(s, 1), 0x55u);
  EXPECT_EQ(guest_read(s, 2), 9u);
  EXPECT_EQ(guest_read(s, 4), 7u);
  EXPECT_EQ(guest_read(s, 1), 0x10u);  // its constant gone, register 1 picks up the recording
  EXPECT_EQ(guest_read(s, 1), 0x11u);
}

TEST_F(ScriptReplay, AStrictReplayWarnsOnceWhereTheGuestDepartsAndGoesOn) {
  // A poll that took three reads, a write, a read.
  record({access('R', 1, 0), access('R', 1, 0), access('R', 1, 1), access('W', 2, 5), access('R', 3, 9),
          access('R', 3, 10)});
  auto script = load("replay('rec.log', {strict = true})\nready_after_reads(1, 4, 1)\n");
  ASSERT_TRUE(script) << script.error();
  DeviceScript& s = **script;
  const std::string log = logged_by([&] {
    // The script's poll takes five reads: no departure.
    for (int i = 0; i < 5; ++i) guest_read(s, 1);
    guest_write(s, 2, 5);
    guest_write(s, 2, 6);  // the guest's access 7: the recording read register 3 here
    guest_write(s, 4, 1);
    EXPECT_EQ(guest_read(s, 3), 9u);
    EXPECT_EQ(guest_read(s, 3), 10u);
  });
  EXPECT_EQ(log,
            " WARN zephon::script: Replay departs from " + (dir_ / "rec.log").string() +
                " at the guest's access 7: the recording has read regs[0x0003] (0xc) = 0x00000009 (its access 5, "
                "line 5), the guest did write regs[0x0002] (0x8) = 0x00000006; replay goes on register by register\n");

  // A guest that runs past the end of the recording departs there.
  auto again = load("replay('rec.log', {strict = true})\n");
  ASSERT_TRUE(again) << again.error();
  const std::string end = logged_by([&] {
    for (int i = 0; i < 3; ++i) guest_read(**again, 1);
    guest_write(**again, 2, 5);
    guest_read(**again, 3);
    guest_read(**again, 3);
    guest_read(**again, 3);  // a poll one read longer: still the recording
    guest_read(**again, 0);
  });
  EXPECT_NE(end.find("at the guest's access 8: the recording has nothing more, the guest did read regs[0x0000] (0x0) "
                     "= 0x00000000;"),
            std::string::npos)
      << end;
}

TEST_F(ScriptReplay, AnMmiotraceAnswersFromItsRegisterBarIn32BitReads) {
  constexpr std::uint64_t kRegs = 0xf0000000, kOther = 0xf1000000;
  record({"VERSION 20070824", mmio_map(1000000, 1, 0xe0000000, 0x10000000), mmio_map(1000010, 2, kRegs, 0x40000),
          mmio_map(1000020, 3, kOther, 0x40000), trace_samples::mmio_mark(1000030, "driver loaded"),
          mmio_access('R', 4, 1000100, 2, kRegs + 0x5c, 0x1234), mmio_access('R', 4, 1000110, 3, kOther + 0x5c, 0x9),
          mmio_access('R', 2, 1000200, 2, kRegs + 0x5c, 0xbeef), mmio_access('R', 1, 1000300, 2, kRegs + 0x60, 0x12),
          "UNKNOWN 1.000600 2 0xf0000100 0f,0b,00 0x0 0", mmio_access('R', 4, 1000700, 2, kRegs + 0x5c, 0x5678)});
  // Two mappings of 256 KiB: the script must say which.
  auto ambiguous = load("replay('rec.log')\n");
  ASSERT_FALSE(ambiguous);
  EXPECT_EQ(ambiguous.error(), path_ + ":1: replay: " + (dir_ / "rec.log").string() +
                                   ": more than one mapping of 256 KiB (mappings in the trace: 1 at 0xe0000000 (256 "
                                   "MiB), 2 at 0xf0000000 (256 KiB), 3 at 0xf1000000 (256 KiB)); name the register "
                                   "BAR with options.map or options.base");
  for (const char* choice : {"{map = 2}", "{base = 0xf0000000}"}) {
    auto script = load(fmt::format("replay('rec.log', {})\n", choice));
    ASSERT_TRUE(script) << script.error();
    // The 16-bit read and the byte read reach no register of zephon's.
    EXPECT_EQ(guest_read(**script, 0x17), 0x1234u) << choice;
    EXPECT_EQ(guest_read(**script, 0x17), 0x5678u) << choice;
    EXPECT_EQ(guest_read(**script, 0x18), 0u) << choice;
  }
  auto other = load("replay('rec.log', {map = 3})\n");
  ASSERT_TRUE(other) << other.error();
  EXPECT_EQ(guest_read(**other, 0x17), 9u);
}

TEST_F(ScriptReplay, RecordingsAndCallsThatCannotBeReplayedAreLoadErrors) {
  const std::string rec = (dir_ / "rec.log").string();
  record({access('R', 1, 1)});
  const std::pair<std::string, std::string> cases[] = {
      {"replay('missing.log')", "replay: cannot read " + (dir_ / "missing.log").string() +
                                    ": No such file or directory"},
      {"replay('.')", "replay: cannot read " + (dir_ / ".").string() + ": not a regular file"},
      {"replay(3)", "replay: takes the path of a recording, not number"},
      {"replay('rec.log', {strict = 1})", "replay: options.strict must be true or false, not number"},
      {"replay('rec.log', {mpa = 2})", "replay: unknown option mpa (strict, map and base are known)"},
      {"replay('rec.log', {map = 1, base = 0})",
       "replay: options.map and options.base name the register BAR twice; give one"},
      {"replay('rec.log')\nreplay('rec.log')", "replay: a script replays one recording; this is the second"},
  };
  for (const auto& [text, error] : cases) {
    auto script = load(text + "\n");
    ASSERT_FALSE(script) << text;
    EXPECT_EQ(script.error().substr(script.error().find(": ") + 2), error) << text;
  }
  // No register access at all, or an mmiotrace without the BAR.
  record({trace_samples::plain_line(kStamp, " INFO", "vfio_user", "Connection closed")});
  auto empty = load("replay('rec.log')\n");
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error(), path_ + ":1: replay: " + rec + ": no 32-bit register accesses to replay");
  record({"VERSION 20070824", mmio_map(1000000, 1, 0xe0000000, 0x1000)});
  auto no_bar = load("replay('rec.log')\n");
  ASSERT_FALSE(no_bar);
  EXPECT_NE(no_bar.error().find(": no mapping of 256 KiB, the size of the register BAR (mappings in the trace: 1 at "
                                "0xe0000000 (4 KiB)); name the register BAR with options.map or options.base"),
            std::string::npos)
      << no_bar.error();

  // Only while the script loads: from a hook it is the hook's fault.
  record({access('R', 1, 1)});
  auto late = load("on_read[2] = function(v) replay('rec.log') return 3 end\n");
  ASSERT_TRUE(late) << late.error();
  const std::string log = logged_by([&] { EXPECT_EQ(guest_read(**late, 2), 0u); });
  EXPECT_NE(log.find("replay: only while the script loads, not from a hook or a timer"), std::string::npos) << log;
}

}  // namespace
}  // namespace zephon_test
