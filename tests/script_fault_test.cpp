// Faulty device scripts: refused before the socket exists when they cannot be
// loaded; reported and passed over, the run going on, when a hook fails.
#include <linux/vfio.h>
#include <sys/eventfd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

#include "script_run.h"
#include "vfio_user/unique_fd.h"
#include "vfio_user/wire.h"

namespace zephon_test {
namespace {

// Returns the payload of a 4-byte read of BAR 2 at offset.
std::vector<std::uint8_t> read_payload(std::uint64_t offset) {
  std::vector<std::uint8_t> payload(16);
  vfio_user::wire::store64(payload.data(), offset);
  vfio_user::wire::store32(payload.data() + 8, 2);
  vfio_user::wire::store32(payload.data() + 12, 4);
  return payload;
}

// Returns text with every {} replaced by path.
std::string with_path(std::string text, const std::string& path) {
  for (auto at = text.find("{}"); at != std::string::npos; at = text.find("{}", at + path.size())) {
    text.replace(at, 2, path);
  }
  return text;
}

// A script that cannot be loaded is fatal: exit 101, the message naming the
// file and line, no socket file, no dump.
struct LoadFault {
  std::string name;
  std::string text;      // the script; empty: no file at all
  std::string expected;  // the detail after "failed to load device script: ", with {} for the path
};

class ScriptLoadFault : public ScriptRun, public ::testing::WithParamInterface<LoadFault> {};

TEST_P(ScriptLoadFault, IsFatalBeforeTheSocketExists) {
  const LoadFault& fault = GetParam();
  const std::string path =
      fault.text.empty() ? (dir_ / "missing.lua").string() : write_script("device.lua", fault.text);
  auto process = launch(path);
  RunResult run = wait(*process);
  EXPECT_EQ(run.status, 101);
  const std::string detail = with_path(fault.expected, path);
  const std::string tail = "\nfailed to load device script: " + detail + "\n";
  ASSERT_GE(run.err.size(), tail.size()) << run.err;
  EXPECT_EQ(run.err.substr(run.err.size() - tail.size()), tail) << run.err;
  EXPECT_TRUE(run.err.starts_with("zephon: fatal error at ")) << run.err;
  EXPECT_FALSE(std::filesystem::exists(socket_));
  EXPECT_EQ(run.dump, "");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ScriptLoadFault,
    ::testing::Values(
        LoadFault{"Unreadable", "", "{}: cannot read the script: No such file or directory"},
        LoadFault{"SyntaxError", "reads[1] = 2\nreads[2] = = 3\n", "{}:2: unexpected symbol near '='"},
        LoadFault{"ErrorWhileRunning", "\n\nerror('no such board')\n", "{}:3: no such board"},
        LoadFault{"RegisterOutOfRange", "reads[0x10000] = 1\n",
                  "{}:1: register index must be an integer from 0 to 65535, not 65536"},
        LoadFault{"EndlessLoop", "local n = 0\nwhile true do n = n + 1 end\n",
                  "{}:2: instruction budget of 5000000 exceeded"},
        LoadFault{"PrecompiledChunk", "\x1bLua\x54", "{}: attempt to load a binary chunk (mode is 't')"}),
    [](const auto& info) { return info.param.name; });

// A hook that fails is one ERROR line; the access gets the plain register
// behaviour and the run goes on.
struct HookFault {
  std::string name;
  std::string hook;      // the body of on_read[0x10] or on_write[0x10]
  bool on_write;
  std::string expected;  // the ERROR message, with {} for the path
};

class ScriptHookFault : public ScriptRun, public ::testing::WithParamInterface<HookFault> {};

TEST_P(ScriptHookFault, IsReportedAndTheAccessIsPlain) {
  const HookFault& fault = GetParam();
  const std::string table = fault.on_write ? "on_write" : "on_read";
  const std::string path = write_script("device.lua", table + "[0x10] = function(value)\n" + fault.hook +
                                                          "\nend\nreads[0x11] = 0x77\n");
  auto [process, client] = serve(path);
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->write32(2, 0x40, 0x1234).has_value());
  // The register answers as stored, twice: the fault does not stick.
  EXPECT_EQ(client->read32(2, 0x40), 0x1234u);
  EXPECT_EQ(client->read32(2, 0x40), 0x1234u);
  // The rest of the script still works.
  EXPECT_EQ(client->read32(2, 0x44), 0x77u);
  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.reg(0x10), 0x1234u);
  const std::string expected = with_path(fault.expected, path);
  const std::string prefix = "ERROR zephon::script: Script error in " + table +
                             "[0x0010], the access is served as a plain register: " + expected;
  const std::size_t failures = fault.on_write ? 1 : 2;
  EXPECT_EQ(run.count_containing(prefix), failures) << run.err;
  EXPECT_EQ(run.count_containing("ERROR"), failures) << run.err;
  EXPECT_GE(run.find("DEBUG zephon: Read  regs[0x0010] (0x40) = 0x00001234"), 0) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ScriptHookFault,
    ::testing::Values(
        HookFault{"ReadError", "error('sensor unplugged')", false,
                  "{}:2: sensor unplugged; traceback: [C]: in function 'error'; {}"},
        HookFault{"ReadEndlessLoop", "while true do end", false, "{}:2: instruction budget of 5000000 exceeded"},
        HookFault{"ReadLoopThatCatchesItsErrors", "while true do pcall(function() while true do end end) end",
                  false, "{}:2: instruction budget of 5000000 exceeded"},
        HookFault{"ReadWrongType", "return 'ready'", false,
                  "the function at {}:1 returned string, not an integer register value"},
        HookFault{"ReadNothing", "", false, "the function at {}:1 returned nil, not an integer register value"},
        HookFault{"ReadFraction", "return 1.5", false,
                  "the function at {}:1 returned number, not an integer register value"},
        HookFault{"ReadBadRegister", "return regs[-1]", false,
                  "{}:2: register index must be an integer from 0 to 65535, not -1"},
        HookFault{"WriteError", "regs[0x10] = 0\nerror('jammed')", true, "{}:3: jammed"},
        HookFault{"WriteWrongType", "return {}", true,
                  "the function at {}:1 returned table, not nil or an integer register value"},
        HookFault{"WriteRunsOutOfMemory", "local s = string.rep('x', 100000000)", true, "not enough memory"},
        // Two calls whose work Lua's library does out of the instruction
        // count's sight: bounded, they end as the budget says.
        HookFault{"ReadRepeatsNothingForEver", "return #string.rep('', math.maxinteger)", false,
                  "{}:2: instruction budget of 5000000 exceeded"},
        HookFault{"ReadBacktracksForEver", "return ('a'):rep(20000):find('.-.-.-.-.-.-b') or 0", false,
                  "{}:2: string.find: the pattern's worst case on a subject of 20000 bytes is past the instruction "
                  "budget of 5000000"}),
    [](const auto& info) { return info.param.name; });

// Lua cuts a long file name short in its messages; zephon's show it whole.
TEST_F(ScriptRun, ALongScriptPathIsNamedWholeInLoadErrorsAndTracebacks) {
  const std::filesystem::path deep = dir_ / std::string(40, 'd') / std::string(40, 'e');
  std::filesystem::create_directories(deep);
  const std::string path = (deep / "device.lua").string();
  ASSERT_GT(path.size(), 100u);
  std::ofstream(path) << "on_read[0x10] = function()\n  error('unplugged')\nend\n";
  auto [process, client] = serve(path);
  ASSERT_TRUE(client);
  EXPECT_EQ(client->read32(2, 0x40), 0u);
  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.count_containing(with_path("access is served as a plain register: {}:2: unplugged; traceback: "
                                            "[C]: in function 'error'; {}:2: in function <{}:1>",
                                            path)),
            1u)
      << run.err;

  std::ofstream(path, std::ios::trunc) << "\nerror('no such board')\n";
  RunResult refused = wait(*launch(path));
  EXPECT_EQ(refused.status, 101);
  EXPECT_TRUE(refused.err.ends_with("failed to load device script: " + path + ":2: no such board\n")) << refused.err;
}

// A hook whose work the budget cannot see stops nothing: comparing two
// 16 MiB strings is one instruction, so a million comparisons run for
// about half an hour within the budget. A stop signal still leaves the
// recording, from the signal handler, 2 s later.
TEST_F(ScriptRun, AStopSignalLeavesTheRecordingWhileAHookIsStuck) {
  auto process = launch(write_script("device.lua", R"(
local a = string.rep(string.rep('x', 1024), 16 * 1024)
local b = string.rep(string.rep('x', 1024), 16 * 1024)
on_read[0x20] = function()
  log('comparing')
  irq(0)
  local same = 0
  for i = 1, 1000000 do
    if a == b then same = same + 1 end
  end
  return same
end
)"));
  ASSERT_TRUE(ZephonProcess::wait_for_path(socket_)) << process->err();
  auto client = connect_when_listening(socket_);
  ASSERT_TRUE(client.has_value());
  ASSERT_TRUE(client->version().has_value());
  vfio_user::UniqueFd event(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  const int fds[] = {event.get()};
  ASSERT_TRUE(client->call(vfio_user::Command::SetIrqs,
                           set_irqs_payload(VFIO_IRQ_SET_DATA_EVENTFD | VFIO_IRQ_SET_ACTION_TRIGGER,
                                            VFIO_PCI_MSI_IRQ_INDEX, 0, 1),
                           0, fds));
  ASSERT_TRUE(client->write32(VFIO_PCI_CONFIG_REGION_INDEX, 0x50, 0x0001 << 16));
  ASSERT_TRUE(client->write32(2, 0x10, 0x1234));
  // The read's reply never comes: the hook is at its comparisons once the
  // interrupt it raises first has arrived.
  ASSERT_TRUE(client->send(vfio_user_client::Client::frame(99, 9, read_payload(0x80))));
  ASSERT_EQ(wait_signalled(event.get(), 20000), 1u);
  process->signal(SIGTERM);
  RunResult run = wait(*process);
  EXPECT_EQ(run.status, 128 + SIGTERM);
  EXPECT_EQ(run.dump.size(), 262144u);
  EXPECT_EQ(run.reg(4), 0x1234u);
  EXPECT_FALSE(std::filesystem::exists(socket_));
  EXPECT_GE(run.find("INFO zephon::script: comparing"), 0) << run.err;
  EXPECT_TRUE(run.err.ends_with("zephon: stopped by SIGTERM; still busy 2 s later: register dump written, socket "
                                "removed\n"))
      << run.err;
}

TEST_F(ScriptRun, AFailedWriteHookLeavesTheGuestsValueAndLogsTheRestore) {
  const std::string path = write_script("device.lua", "on_write[0x10] = function(v)\n  regs[0x10] = 0\n  error('x')\nend\n");
  auto [process, client] = serve(path);
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->write32(2, 0x40, 0x99).has_value());
  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.reg(0x10), 0x99u);
  const long zeroed = run.find("DEBUG zephon: Set   regs[0x0010] (0x40) = 0x00000000");
  ASSERT_GE(zeroed, 0) << run.err;
  EXPECT_EQ(run.find("DEBUG zephon: Set   regs[0x0010] (0x40) = 0x00000099"), zeroed + 2) << run.err;
}

}  // namespace
}  // namespace zephon_test
