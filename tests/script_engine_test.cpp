// The script engine in-process: what a script can and cannot do to the
// register file and to itself, without a server around it.
#include <linux/vfio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <thread>

#include "device.h"
#include "guest_memory.h"
#include "script/pattern_cost.h"
#include "script/script.h"
#include "script/script_interrupts.h"
#include "vram_space.h"
#include "server_fixture.h"

namespace zephon_test {
namespace {

using zephon::DeviceScript;
using zephon::ScriptInterrupts;

class ScriptEngine : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Returns the script holding text, loaded over regs_, or why not.
  std::expected<std::unique_ptr<DeviceScript>, std::string> load(std::string_view text) {
    path_ = (dir_ / "device.lua").string();
    std::ofstream(path_, std::ios::trunc) << text;
    return DeviceScript::load(path_, zephon::ScriptDevice(*regs_, irqs_, memory_, vram_));
  }

  std::filesystem::path dir_;
  std::string path_;
  std::unique_ptr<zephon::Registers> regs_ = std::make_unique<zephon::Registers>();
  zephon::pci::PciConfiguration config_ = *zephon::device::configuration(4096, zephon::device::Interrupts::Offered);
  ScriptInterrupts irqs_{config_};
  zephon::GuestMemory memory_;
  zephon::VramSpace vram_;
};

TEST_F(ScriptEngine, UnhookedRegistersAnswerAsStored) {
  auto script = load("reads[1] = 5\n");
  ASSERT_TRUE(script) << script.error();
  for (std::uint32_t reg : {0u, 2u, 0xffffu}) EXPECT_EQ((*script)->read(reg, 0x1234), 0x1234u) << reg;
  EXPECT_EQ((*script)->read(1, 0x1234), 5u);
}

TEST_F(ScriptEngine, HooksCanBeRemovedAgain) {
  auto script = load(R"(
reads[1] = 5
on_read[2] = function(v) return v + 1 end
on_write[3] = function(v) return v * 2 end
assert(reads[1] == 5 and type(on_read[2]) == "function" and reads[9] == nil)
reads[1] = nil
on_read[2] = nil
on_write[3] = nil
)");
  ASSERT_TRUE(script) << script.error();
  (*regs_)[1] = 7;
  EXPECT_EQ((*script)->read(1, 7), 7u);
  EXPECT_EQ((*script)->read(2, 7), 7u);
  (*regs_)[3] = 4;
  (*script)->wrote(3, 4);
  EXPECT_EQ((*regs_)[3], 4u);
}

TEST_F(ScriptEngine, AReadFunctionTakesPrecedenceOverAConstant) {
  auto script = load("reads[4] = 1\non_read[4] = function(v) return v | 0x10 end\n");
  ASSERT_TRUE(script) << script.error();
  EXPECT_EQ((*script)->read(4, 2), 0x12u);
}

TEST_F(ScriptEngine, ValuesAreCutToThirtyTwoBits) {
  auto script = load("regs[0] = -1\nregs[1] = 0x123456789\nreads[2] = 2.0\n");
  ASSERT_TRUE(script) << script.error();
  EXPECT_EQ((*regs_)[0], 0xffffffffu);
  EXPECT_EQ((*regs_)[1], 0x23456789u);
  EXPECT_EQ((*script)->read(2, 0), 2u);
}

TEST_F(ScriptEngine, AWriteHookSeesTheStoredValueAndItsResultIsKept) {
  auto script = load(R"(
on_write[8] = function(v)
  assert(regs[8] == v)
  regs[9] = regs[9] + 1
  return v & ~0x1
end
)");
  ASSERT_TRUE(script) << script.error();
  (*regs_)[8] = 0x7;
  (*script)->wrote(8, 0x7);
  EXPECT_EQ((*regs_)[8], 0x6u);
  EXPECT_EQ((*regs_)[9], 1u);
}

TEST_F(ScriptEngine, AFailedReadHookReadsTheRegisterAsItLeftIt) {
  auto script = load("on_read[5] = function(v)\n  regs[5] = v + 1\n  error('late')\nend\n");
  ASSERT_TRUE(script) << script.error();
  (*regs_)[5] = 0x10;
  EXPECT_EQ((*script)->read(5, 0x10), 0x11u);
  EXPECT_EQ((*regs_)[5], 0x11u);
}

TEST_F(ScriptEngine, ResetHookRunsAndAMissingOneIsFine) {
  auto none = load("reads[0] = 1\n");
  ASSERT_TRUE(none) << none.error();
  (*none)->after_reset();
  auto script = load("on_reset = function() regs[7] = 0x70 end\n");
  ASSERT_TRUE(script) << script.error();
  (*script)->after_reset();
  EXPECT_EQ((*regs_)[7], 0x70u);
}

// A copy of guest memory counts against the budget by its size, so a loop
// of large copies ends like any other endless loop, even one that catches
// its errors.
TEST_F(ScriptEngine, GuestMemoryCopiesCountAgainstTheBudget) {
  vfio_user::UniqueFd ram(::memfd_create("guest", MFD_CLOEXEC));
  ASSERT_EQ(::ftruncate(ram.get(), 16 << 20), 0);
  ASSERT_TRUE(memory_.map(VFIO_DMA_MAP_FLAG_READ, 0, 0, 16 << 20, std::move(ram)));
  auto script = load(R"(
on_read[0] = function() return #dma.read(0, 16 << 20) end
on_read[1] = function() while true do pcall(dma.read, 0, 16 << 20) end end
)");
  ASSERT_TRUE(script) << script.error();
  EXPECT_EQ((*script)->read(0, 7), 16u << 20);
  (*regs_)[1] = 7;
  EXPECT_EQ((*script)->read(1, 7), 7u);
  EXPECT_EQ((*script)->read(0, 7), 16u << 20);
}

// VRAM is enabled while loading, where the script may fill it; a hook
// reaches it later but may not enable it.
TEST_F(ScriptEngine, VramIsEnabledOnlyWhileLoading) {
  auto script = load(R"(
vram.enable{mappable = false}
vram.write(0x40000, "\x01\x02\x03\x04")
on_read[0] = function() return vram.read32(0x40000) end
on_read[1] = function() vram.enable() return 1 end
)");
  ASSERT_TRUE(script) << script.error();
  ASSERT_NE(vram_.memory(), nullptr);
  EXPECT_EQ(vram_.mappable_fd(), std::nullopt);
  EXPECT_EQ((*script)->read(0, 7), 0x04030201u);
  (*regs_)[1] = 7;
  EXPECT_EQ((*script)->read(1, 7), 7u);  // the hook failed: the register as it is
}

TEST_F(ScriptEngine, NowIsZeroUntilTheClockStarts) {
  auto script = load("on_read[0] = function() return math.floor(now() * 1e6) end\n");
  ASSERT_TRUE(script) << script.error();
  EXPECT_EQ((*script)->read(0, 99), 0u);
  (*script)->start_clock();
  EXPECT_LT((*script)->read(0, 99), 10'000'000u);
}

TEST_F(ScriptEngine, PreludeHelpersSetBitsOnRead) {
  auto script = load("ready_after_reads(1, 2, 0x80)\nready_after_seconds(2, 0.05, 0x4)\nbits_on_read(3, 0x3)\n");
  ASSERT_TRUE(script) << script.error();
  DeviceScript& s = **script;
  s.start_clock();
  EXPECT_EQ(s.read(1, 0x1), 0x1u);
  EXPECT_EQ(s.read(1, 0x1), 0x1u);
  EXPECT_EQ(s.read(1, 0x1), 0x81u);
  EXPECT_EQ(s.read(2, 0x1), 0x1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(80));
  EXPECT_EQ(s.read(2, 0x1), 0x5u);
  EXPECT_EQ(s.read(3, 0x10), 0x13u);
}

// What a script must not reach, and how the interface refuses misuse; each
// is an error of the script's, so loading fails with its message.
// The library functions bounded for the budget still answer as Lua's.
TEST_F(ScriptEngine, BoundedLibraryFunctionsAnswerAsLuasDo) {
  auto script = load(R"(
assert(string.rep('ab', 3, ',') == 'ab,ab,ab' and ('x'):rep(0) == '' and ('ab'):rep(5) == 'ababababab')
assert(select(2, ('key = value'):find('(%w+) = (%w+)')) == 11 and ('a.b'):find('.', 1, true) == 2)
assert(('a1b22c333'):gsub('%d+', '#') == 'a#b#c#' and ('hello'):match('^(h)') == 'h')
local words = {}
for word in ('one two  three'):gmatch('%a+') do words[#words + 1] = word end
assert(#words == 3 and words[3] == 'three')
local t = {3, 1, 2}
table.sort(t)
table.insert(t, 1, 0)
assert(t[1] == 0 and t[4] == 3 and table.remove(t, 1) == 0 and #t == 3)
assert(table.move({1, 2, 3}, 1, 3, 2)[4] == 3)
)");
  ASSERT_TRUE(script) << script.error();
}

// Each factor of the bound: starting positions, a repetition's longest run,
// an option, a balance, the pattern's length, and the bytes scanned.
TEST(PatternCost, BoundsEachKindOfItem) {
  using zephon::pattern_cost;
  EXPECT_EQ(pattern_cost("abc", "b", true, 1e9), 4.0 * 2);
  EXPECT_EQ(pattern_cost("abc", "^b", true, 1e9), 1.0 * 3);
  EXPECT_EQ(pattern_cost("abc", "^b", false, 1e9), 4.0 * 3);  // gmatch: '^' is a character
  EXPECT_EQ(pattern_cost("a11b222", "%d+", true, 1e9), 8.0 * 4 * 4 + 7);
  EXPECT_EQ(pattern_cost("aaa", "[a-c]*", true, 1e9), 4.0 * 7 * 4 + 3);
  EXPECT_EQ(pattern_cost("aaaa", ".-b", true, 1e9), 5.0 * 4 * 5);
  EXPECT_EQ(pattern_cost("xy", "%bxya?", true, 1e9), 3.0 * 7 * 3 * 2);
  EXPECT_GT(pattern_cost(std::string(20000, 'a'), ".-.-.-.-.-.-b", true, 5e6), 5e6);
  EXPECT_EQ(pattern_cost("ab", "[a", true, 1e9), 3.0 * 3);  // malformed: Lua stops it
}

struct Refusal {
  std::string name;
  std::string text;
  std::string message;             // after the path and separator
  std::string separator = ":1: ";  // between path and message
};

class ScriptEngineRefuses : public ScriptEngine, public ::testing::WithParamInterface<Refusal> {};

TEST_P(ScriptEngineRefuses, WithTheScriptsMessage) {
  auto script = load(GetParam().text);
  ASSERT_FALSE(script);
  EXPECT_EQ(script.error(), path_ + GetParam().separator + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Misuse, ScriptEngineRefuses,
    ::testing::Values(
        Refusal{"NoFiles", "io.open('/etc/passwd')", "attempt to index a nil value (global 'io')"},
        Refusal{"NoPrograms", "os.execute('true')", "attempt to index a nil value (global 'os')"},
        Refusal{"NoLoadingFiles", "dofile('x.lua')", "attempt to call a nil value (global 'dofile')"},
        Refusal{"NoLoadingChunks", "load('return 1')", "attempt to call a nil value (global 'load')"},
        Refusal{"NoModules", "require('os')", "attempt to call a nil value (global 'require')"},
        Refusal{"NoBytecode", "string.dump(print)", "attempt to call a nil value (field 'dump')"},
        Refusal{"ProxiesKeepTheirMetatable", "setmetatable(regs, {})", "cannot change a protected metatable"},
        Refusal{"RegisterIndexNotANumber", "regs['a'] = 1",
                "register index must be an integer from 0 to 65535, not a"},
        Refusal{"RegisterIndexFraction", "x = reads[1.5]",
                "register index must be an integer from 0 to 65535, not 1.5"},
        Refusal{"RegisterValueNotANumber", "regs[1] = '1'", "register value must be an integer, not 1"},
        Refusal{"HookNotAFunction", "on_write[1] = 5", "on_write[1] must be a function or nil, not number"},
        Refusal{"VectorOutOfRange", "irq(2048)", "interrupt vector must be an integer from 0 to 2047, not 2048"},
        Refusal{"VectorAsString", "irq('3')", "interrupt vector must be an integer from 0 to 2047, not 3"},
        Refusal{"IntxNotABoolean", "intx(1)", "intx takes true (assert) or false (deassert), not 1"},
        Refusal{"VramBeforeEnable", "vram.read8(0)",
                "vram.read8 0x0000000000000000 +1 refused: VRAM is not enabled"},
        Refusal{"VramPastItsEnd", "vram.enable() vram.write32(0x0ffffffe, 0)",
                "vram.write32 0x000000000ffffffe +4 refused: outside the 256 MiB of VRAM"},
        Refusal{"VramEnabledTwice", "vram.enable() vram.enable{mappable = false}",
                "vram.enable: VRAM is enabled already"},
        Refusal{"VramMisspeltOption", "vram.enable{mapable = false}", "vram.enable: unknown option mapable"},
        Refusal{"VramOptionNotABoolean", "vram.enable{mappable = 0}",
                "vram.enable: mappable must be a boolean, not a number"},
        Refusal{"TooMuchMemory", "local s = string.rep('x', 1 << 27)", "not enough memory", ": "},
        Refusal{"OneTimerTooMany", "for i = 1, 4097 do after(1, function() end) end",
                "after: 4096 timers are pending already"},
        Refusal{"TimerDelayNotANumber", "every('1', print)", "every takes a delay of 0 to 1000000 seconds, not 1"},
        Refusal{"MovingAHugeRange", "table.move({}, 1, 1e12, 2)", "instruction budget of 5000000 exceeded"},
        Refusal{"ShiftingAClaimedLength",
                "table.insert(setmetatable({}, {__len = function() return math.maxinteger end}), 1, 0)",
                "table.insert: a table whose length comes from __len is not taken"},
        Refusal{"SortingALongTable", "local t = {} for i = 1, 300000 do t[i] = -i end table.sort(t)",
                "instruction budget of 5000000 exceeded"},
        Refusal{"ErrorValueNotAString", "error({})", "unknown error", ": "}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace zephon_test
