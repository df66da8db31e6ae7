// examples/tahiti.lua against the real driver's accesses: the guest-side
// accesses of the shared bring-up recording (display-driver-bringup.log.gz)
// that reach the registers the script answers are played, in their order,
// against zephon running the script, and every read must get what the
// driver waited for and, as in the recording, went on with. The ring tests
// are not among them: their answer comes from the packets in guest memory,
// which the recording does not hold (tahiti_accel_test plays them).
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "script_run.h"

namespace zephon_test {
namespace {

// One guest access of the recording.
struct Access {
  bool write = false;
  std::uint32_t reg = 0;
  std::uint32_t value = 0;  // written, or read in the recording
};

// What a read of a register the driver waits on must show: value & mask ==
// want.
struct Need {
  std::uint32_t mask;
  std::uint32_t want;
};

constexpr std::uint32_t kRlcStat = 0xC34C / 4;
constexpr std::uint32_t kTrainWakeup = 0x28E8 / 4;

// Returns what the driver needs of a read of reg, if it waits on it.
std::optional<Need> need_of(std::uint32_t reg) {
  if (reg == kRlcStat) return Need{0xF, 0x6};  // powered, clocked, not busy, not asleep
  if (reg == kTrainWakeup) return Need{0xC0000000, 0xC0000000};
  for (std::uint32_t pipe = 0; pipe < 6; ++pipe) {
    if (reg == (0x0CA0 + 0x20 * pipe) / 4) return Need{0x10, 0x10};
  }
  return std::nullopt;
}

bool answered_by_script(std::uint32_t reg) { return need_of(reg).has_value(); }

// Returns the guest's accesses to the script's registers, in order, from the
// gzip-compressed log at path ("Set" lines are the recording script's own).
std::vector<Access> recorded_accesses(const std::string& path) {
  std::vector<Access> out;
  const std::string command = "gzip -dc '" + path + "'";
  std::unique_ptr<FILE, int (*)(FILE*)> in(::popen(command.c_str(), "r"), ::pclose);
  if (!in) return out;
  char line[512];
  while (std::fgets(line, sizeof line, in.get()) != nullptr) {
    const std::string_view text(line);
    const std::size_t at = text.find("DEBUG zephon: ");
    if (at == std::string_view::npos) continue;
    const std::string_view verb = text.substr(at + 14, 5);
    if (verb != "Read " && verb != "Write") continue;
    Access access{.write = verb == "Write"};
    unsigned reg = 0;
    unsigned value = 0;
    if (std::sscanf(line + at + 19, " regs[%x] (%*x) = %x", &reg, &value) != 2) continue;
    access.reg = reg;
    access.value = value;
    if (answered_by_script(access.reg)) out.push_back(access);
  }
  return out;
}

using TahitiReplay = ScriptRun;

TEST_F(TahitiReplay, EveryWaitOfTheRecordedBringUpEndsAtItsFirstRead) {
  const std::vector<Access> accesses = recorded_accesses(ZEPHON_TEST_DATA_DIR "/display-driver-bringup.log.gz");
  // The recording's shape: the accesses of the bring-up to these registers.
  ASSERT_EQ(accesses.size(), 22u);
  std::map<std::uint32_t, int> waits;
  for (const Access& a : accesses) waits[a.reg] += !a.write && need_of(a.reg) ? 1 : 0;
  EXPECT_EQ(waits[kRlcStat], 8);
  EXPECT_EQ(waits[kTrainWakeup], 2);

  auto [process, client] = serve(example("tahiti.lua"));
  ASSERT_TRUE(client);
  std::size_t checked = 0;
  for (std::size_t i = 0; i < accesses.size(); ++i) {
    const Access& a = accesses[i];
    const std::uint64_t offset = std::uint64_t{a.reg} * 4;
    if (a.write) {
      ASSERT_TRUE(client->write32(2, offset, a.value).has_value()) << "access " << i;
      continue;
    }
    auto got = client->read32(2, offset);
    ASSERT_TRUE(got.has_value()) << "access " << i;
    EXPECT_EQ(*got, a.value) << "access " << i << " reads register " << std::hex << a.reg;
    if (auto need = need_of(a.reg)) {
      EXPECT_EQ(*got & need->mask, need->want) << "access " << i << " reads register " << std::hex << a.reg;
      ++checked;
    }
  }
  EXPECT_EQ(checked, 16u);
  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.count_containing("ERROR"), 0u) << run.err;
}

}  // namespace
}  // namespace zephon_test
