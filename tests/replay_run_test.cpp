// Replay end to end: the project's made-up driver bring-up (trace-bringup)
// recorded against a scripted device whose status register is ready after
// a few reads, then run against a zephon whose script is the one line
// `replay(PATH)`. zephon-trace compare finds the same sequence, from the
// zephon log and from its mmiotrace conversion; a run whose script keeps the
// status register busy departs where compare and the strict replay's
// warning both say.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <fstream>
#include <regex>

#include "script_run.h"
#include "trace_process.h"
#include "zephon_process.h"

namespace zephon_test {
namespace {

// The recorded device: identification constants, the soft reset's status
// (register 0x39, offset 0xe4) ready after 5 reads, the memory controller
// after 3, the firmware mailbox answering after 20.
constexpr std::string_view kScriptedDevice = R"(
reads[0x0000] = 0x67801002
reads[0x0017] = 0x0000005c
ready_after_reads(0x39, 5, 1)
ready_after_reads(0xa01, 3, 0x80000000)
ready_after_reads(0xe50, 20, 1)
)";

class ReplayRun : public ScriptRun {
 protected:
  // Returns the log of trace-bringup driving a zephon that runs script, or
  // empty with a test failure. Coloured when colour is set.
  std::string drive(const std::string& script, bool colour = false) {
    ::setenv("ZEPHON_SCRIPT", script.c_str(), 1);
    ZephonProcess zephon(dir_, ProcessOptions{.args = {socket_, rom_}, .no_color = !colour});
    ::unsetenv("ZEPHON_SCRIPT");
    if (!ZephonProcess::wait_for_path(socket_)) {
      ADD_FAILURE() << "no socket: " << zephon.err();
      return {};
    }
    const auto driver_dir = dir_ / "driver";
    std::filesystem::create_directories(driver_dir);
    ZephonProcess driver(driver_dir,
                         ProcessOptions{.args = {socket_}, .argv0 = TRACE_BRINGUP_BINARY, .binary = TRACE_BRINGUP_BINARY});
    const auto driven = driver.wait(std::chrono::seconds(60));
    const auto served = zephon.wait();
    EXPECT_EQ(driven, 0) << driver.err();
    EXPECT_EQ(served, 0) << zephon.err();
    return driven == 0 && served == 0 ? zephon.err() : std::string();
  }
  // Returns the path of a new file in the run's directory holding text.
  std::string keep(std::string_view name, std::string_view text) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::trunc) << text;
    return path.string();
  }
  TraceRun trace(const std::vector<std::string>& args) { return run_trace_binary(dir_, args); }
};

TEST_F(ReplayRun, TheReplayedDeviceLeadsTheDriverThroughTheRecordedSequence) {
  const std::string recorded = keep("recorded.log", drive(write_script("device.lua", kScriptedDevice), true));
  ASSERT_FALSE(read_file(recorded).empty());

  // The same driver against the recording alone.
  const std::string replay_log = drive(write_script("replay.lua", "replay('recorded.log')\n"));
  const std::string replayed = keep("replayed.log", replay_log);
  EXPECT_NE(replay_log.find("INFO zephon::script: Replaying " + (dir_ / "recorded.log").string() + ": "),
            std::string::npos);
  auto same = trace({"compare", recorded, replayed});
  EXPECT_EQ(same.status, 0) << same.out << same.err;
  EXPECT_NE(same.out.find("same sequence: "), std::string::npos) << same.out;

  // And against the recording as an mmiotrace of the real card would have it.
  auto exported = trace({"export", "--format=mmiotrace", "--quiet", recorded});
  ASSERT_EQ(exported.status, 0) << exported.err;
  keep("recorded.mmio", exported.out);
  const std::string from_mmio = keep("mmio.log", drive(write_script("mmio.lua", "replay('recorded.mmio')\n")));
  auto same_again = trace({"compare", recorded, from_mmio});
  EXPECT_EQ(same_again.status, 0) << same_again.out << same_again.err;
}

TEST_F(ReplayRun, ARunThatDepartsIsShownWhereItDoes) {
  const std::string recorded = keep("recorded.log", drive(write_script("device.lua", kScriptedDevice)));
  ASSERT_FALSE(read_file(recorded).empty());
  // The script keeps the soft reset's status busy: the driver polls it 400
  // times and gives up, where the recorded device was ready at the 6th read.
  const std::string busy = drive(write_script("busy.lua", "replay('recorded.log', {strict = true})\nreads[0x39] = 0\n"));
  ASSERT_FALSE(busy.empty());

  auto departs = trace({"compare", recorded, keep("busy.log", busy)});
  EXPECT_EQ(departs.status, 1) << departs.out << departs.err;
  // Six identification reads and two writes, then the poll: the recording's
  // 14th access read 1, the busy run's 409th is the write after the poll;
  // the two reads of 0x5c are one step.
  std::smatch at;
  ASSERT_TRUE(std::regex_search(departs.out, at, std::regex("# first divergence at step 9: A access 14 \\(line "
                                                            "([0-9]+)\\), B access 409 \\(line [0-9]+\\)")))
      << departs.out;
  EXPECT_NE(departs.out.find("B departs from A at step 9: read 0x0039 = 0x00000001 in A, write 0x0800 = "),
            std::string::npos)
      << departs.out;

  // The strict replay said so at the same access, once.
  const std::string warning =
      fmt::format("WARN zephon::script: Replay departs from {} at the guest's access 409: the recording has read "
                  "regs[0x0039] (0xe4) = 0x00000001 (its access 14, line {}), the guest did write regs[0x0800] "
                  "(0x2000) = ",
                  (dir_ / "recorded.log").string(), at[1].str());
  EXPECT_NE(busy.find(warning), std::string::npos) << busy.substr(0, 4000);
  EXPECT_EQ(busy.find("Replay departs"), busy.rfind("Replay departs"));
}

TEST_F(ReplayRun, ARecordingThatCannotBeReplayedStopsZephonBeforeTheSocket) {
  const std::string script = write_script("device.lua", "-- the card's trace\nreplay('missing.log')\n");
  auto process = launch(script);
  RunResult run = wait(*process);
  EXPECT_EQ(run.status, 101);
  EXPECT_NE(run.err.find("failed to load device script: " + script + ":2: replay: cannot read " +
                         (dir_ / "missing.log").string() + ": No such file or directory\n"),
            std::string::npos)
      << run.err;
  EXPECT_FALSE(std::filesystem::exists(socket_));
}

}  // namespace
}  // namespace zephon_test
