// include(): a device script in several files, loaded from beneath the main
// script's directory while it loads, and never after.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "device.h"
#include "guest_memory.h"
#include "script/script.h"
#include "script/script_include.h"
#include "script/script_interrupts.h"
#include "server_fixture.h"
#include "vram_space.h"

namespace zephon_test {
namespace {

using zephon::DeviceScript;
using zephon::ScriptInclude;
using zephon::ScriptInterrupts;

class ScriptIncludes : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = make_temp_dir();
    std::filesystem::create_directories(dir_ / "main" / "parts");
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Writes text to the file at relative path under the main directory.
  void file(const std::string& relative, std::string_view text) {
    std::ofstream(dir_ / "main" / relative, std::ios::trunc) << text;
  }
  // Returns the main script holding text, loaded over regs_, or why not.
  std::expected<std::unique_ptr<DeviceScript>, std::string> load(std::string_view text) {
    file("device.lua", text);
    return DeviceScript::load((dir_ / "main" / "device.lua").string(), zephon::ScriptDevice(*regs_, irqs_, memory_, vram_));
  }

  std::filesystem::path dir_;
  std::unique_ptr<zephon::Registers> regs_ = std::make_unique<zephon::Registers>();
  zephon::pci::PciConfiguration config_ = *zephon::device::configuration(4096, zephon::device::Interrupts::Offered);
  ScriptInterrupts irqs_{config_};
  zephon::GuestMemory memory_;
  zephon::VramSpace vram_;
};

TEST_F(ScriptIncludes, FilesRunOnceInTheScriptsEnvironmentAndReturnTheirValue) {
  file("parts/counter.lua", "loads = (loads or 0) + 1\nreturn { value = 7 }\n");
  file("parts/uses.lua", "local c = include('parts/counter')\nregs[2] = c.value\n");
  file("plain-file_2.lua", "regs[3] = 1\n");
  auto script = load(R"(
local a = include("parts/counter")
include("parts/uses")
assert(include("parts/counter") == a)
assert(include("plain-file_2") == true)
regs[1] = loads
)");
  ASSERT_TRUE(script) << script.error();
  EXPECT_EQ((*regs_)[1], 1u);
  EXPECT_EQ((*regs_)[2], 7u);
  EXPECT_EQ((*regs_)[3], 1u);
}

TEST_F(ScriptIncludes, NamesThatCouldLeaveTheDirectoryAreRefused) {
  for (std::string_view name : {"", "../x", "/etc/passwd", "parts/../x", "a//b", "a/", "x.lua", "a b", "a\\b",
                                "1/2/3/4/5/6/7/8/9"}) {
    EXPECT_FALSE(ScriptInclude::valid_name(name)) << name;
  }
  EXPECT_FALSE(ScriptInclude::valid_name(std::string(201, 'a')));
  EXPECT_TRUE(ScriptInclude::valid_name(std::string(200, 'a')));
  EXPECT_TRUE(ScriptInclude::valid_name("1/2/3/4/5/6/7/8"));

  auto script = load("include('../outside')\n");
  ASSERT_FALSE(script);
  EXPECT_NE(script.error().find("include name must be"), std::string::npos) << script.error();
}

TEST_F(ScriptIncludes, ALinkOutOfTheDirectoryAndAFifoAreRefused) {
  file("../secret.lua", "regs[1] = 1\n");
  std::filesystem::create_symlink(dir_ / "secret.lua", dir_ / "main" / "parts" / "link.lua");
  auto script = load("include('parts/link')\n");
  ASSERT_FALSE(script);
  EXPECT_NE(script.error().find("parts/link.lua: leads outside the script's directory"), std::string::npos)
      << script.error();

  ASSERT_EQ(::mkfifo((dir_ / "main" / "fifo.lua").c_str(), 0600), 0);
  script = load("include('fifo')\n");
  ASSERT_FALSE(script);
  EXPECT_NE(script.error().find("fifo.lua: not a regular file"), std::string::npos) << script.error();
}

TEST_F(ScriptIncludes, ErrorsNameTheIncludedFileAndCyclesAreCaught) {
  file("parts/bad.lua", "local x = 1\nerror('broken part')\n");
  auto script = load("include('parts/bad')\n");
  ASSERT_FALSE(script);
  EXPECT_NE(script.error().find("parts/bad.lua:2: broken part"), std::string::npos) << script.error();

  file("parts/a.lua", "include('parts/b')\n");
  file("parts/b.lua", "include('parts/a')\n");
  script = load("include('parts/a')\n");
  ASSERT_FALSE(script);
  EXPECT_NE(script.error().find("include cycle: parts/a is still loading"), std::string::npos) << script.error();

  script = load("include('parts/missing')\n");
  ASSERT_FALSE(script);
  EXPECT_NE(script.error().find("parts/missing.lua: No such file or directory"), std::string::npos)
      << script.error();
}

TEST_F(ScriptIncludes, AtMostSixtyFourFilesAreIncluded) {
  for (int i = 0; i <= 64; ++i) file("parts/f" + std::to_string(i) + ".lua", "return " + std::to_string(i) + "\n");
  auto script = load("for i = 0, 63 do assert(include('parts/f' .. i) == i) end\n");
  ASSERT_TRUE(script) << script.error();
  script = load("for i = 0, 64 do include('parts/f' .. i) end\n");
  ASSERT_FALSE(script);
  EXPECT_NE(script.error().find("more than 64 files included"), std::string::npos) << script.error();
}

TEST_F(ScriptIncludes, AHookCannotIncludeOnceTheScriptHasLoaded) {
  file("late.lua", "regs[5] = 1\n");
  auto script = load(R"(
on_write[1] = function()
  local ok, message = pcall(include, "late")
  regs[2] = ok and 1 or 2
  assert(message:find("only available while the script loads"))
  regs[3] = 3
end
)");
  ASSERT_TRUE(script) << script.error();
  (*script)->wrote(1, 0);
  EXPECT_EQ((*regs_)[2], 2u);
  EXPECT_EQ((*regs_)[3], 3u);
  EXPECT_EQ((*regs_)[5], 0u);
}

}  // namespace
}  // namespace zephon_test
