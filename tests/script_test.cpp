// Device scripts end to end: the real binary with real scripts, driven over
// its socket by the project's client.
#include <linux/vfio.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "script_run.h"
#include "vfio_user/unique_fd.h"
#include "vfio_user/wire.h"

namespace zephon_test {
namespace {

using vfio_user::UniqueFd;
using vfio_user_client::Client;

constexpr std::size_t kDumpSize = 262144;

using ScriptBehaviour = ScriptRun;

TEST_F(ScriptBehaviour, AConstantIsReadWithoutChangingTheRegister) {
  auto [process, client] = serve(write_script("device.lua", "reads[0x10] = 0xcafe\n"));
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->write32(2, 0x40, 7).has_value());
  EXPECT_EQ(client->read32(2, 0x40), 0xcafeu);
  // Its neighbour is not hooked and reads as stored.
  ASSERT_TRUE(client->write32(2, 0x44, 9).has_value());
  EXPECT_EQ(client->read32(2, 0x44), 9u);
  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.reg(0x10), 7u);
  EXPECT_GE(run.find("DEBUG zephon: Read  regs[0x0010] (0x40) = 0x0000cafe"), 0) << run.err;
  EXPECT_GE(run.find("DEBUG zephon: Read  regs[0x0011] (0x44) = 0x00000009"), 0) << run.err;
  EXPECT_EQ(run.find("INFO zephon::script: Device script loaded: " + (dir_ / "device.lua").string()), 0) << run.err;
}

TEST_F(ScriptBehaviour, AReadFunctionGetsTheStoredValueAndAnswersForIt) {
  auto [process, client] = serve(write_script("device.lua", R"(
local reads_seen = 0
on_read[0x11] = function(value)
  reads_seen = reads_seen + 1
  return value * 16 + reads_seen
end
)"));
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->write32(2, 0x44, 5).has_value());
  EXPECT_EQ(client->read32(2, 0x44), 0x51u);
  EXPECT_EQ(client->read32(2, 0x44), 0x52u);
  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.reg(0x11), 5u);
  EXPECT_GE(run.find("DEBUG zephon: Read  regs[0x0011] (0x44) = 0x00000052"), 0) << run.err;
}

TEST_F(ScriptBehaviour, AWriteHookChangesAnotherRegisterAndStoresADifferentValue) {
  auto [process, client] = serve(example("doorbell.lua"));
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->write32(2, 0x80, 0x1234).has_value());
  EXPECT_EQ(client->read32(2, 0x84), 0x1234u);
  EXPECT_EQ(client->read32(2, 0x80), 0u);
  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(run.dump.size(), kDumpSize);
  EXPECT_EQ(run.reg(0x20), 0u);
  EXPECT_EQ(run.reg(0x21), 0x1234u);
  // The guest's write as it came, then the device's own changes in order;
  // no interrupt was set up, so the raise is dropped with a warning.
  const long write = run.find("DEBUG zephon: Write regs[0x0020] (0x80) = 0x00001234");
  const long completion = run.find("DEBUG zephon: Set   regs[0x0021] (0x84) = 0x00001234");
  const long dropped = run.find("WARN zephon::script: irq(0) dropped: no eventfd is set up for it");
  const long cleared = run.find("DEBUG zephon: Set   regs[0x0020] (0x80) = 0x00000000");
  ASSERT_GE(write, 0) << run.err;
  EXPECT_EQ(completion, write + 1) << run.err;
  EXPECT_EQ(dropped, write + 2) << run.err;
  EXPECT_EQ(cleared, write + 3) << run.err;
}

TEST_F(ScriptBehaviour, TheResetHookRunsAfterTheRegistersWereCleared) {
  auto [process, client] = serve(write_script("device.lua", R"(
on_reset = function()
  log("reset: register 1 holds", regs[1])
  regs[5] = regs[1] + 0x55
end
)"));
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->write32(2, 0x4, 9).has_value());
  ASSERT_TRUE(client->reset().has_value());
  EXPECT_EQ(client->read32(2, 0x4), 0u);
  EXPECT_EQ(client->read32(2, 0x14), 0x55u);
  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.reg(5), 0x55u);
  const long logged = run.find("INFO zephon::script: reset: register 1 holds 0");
  ASSERT_GE(logged, 0) << run.err;
  EXPECT_EQ(run.find("DEBUG zephon: Set   regs[0x0005] (0x14) = 0x00000055"), logged + 1) << run.err;
}

TEST_F(ScriptBehaviour, ScriptLinesStayOneLineAndPrintGoesToTheLog) {
  auto [process, client] = serve(write_script("device.lua", R"(
on_write[0] = function(value) print("two", "lines\nhere", value) end
)"));
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->write32(2, 0, 3).has_value());
  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_GE(run.find("INFO zephon::script: two lines here 3"), 0) << run.err;
  ASSERT_EQ(run.dump.size(), kDumpSize);
  EXPECT_EQ(run.reg(0), 3u);
}

TEST_F(ScriptBehaviour, TheClockRunsFromTheFirstRegionAccess) {
  auto [process, client] = serve(write_script("device.lua", R"(
local first = now()
on_read[0] = function() return math.floor(now() * 1000) end
on_read[1] = function() return first end
)"));
  ASSERT_TRUE(client);
  EXPECT_EQ(client->read32(2, 4), 0u);
  ::usleep(50'000);
  auto ms = client->read32(2, 0);
  ASSERT_TRUE(ms.has_value());
  EXPECT_GE(*ms, 50u);
  EXPECT_LT(*ms, 10'000u);
  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
}

// Only a scripted device offers the monitor interrupts to set up: pin INTA#
// with one vector, and an MSI capability (32 vectors, 64-bit addresses) that
// the guest can program; the plain device shows none and no capability list.
// Neither the guest nor a reset changes what is offered.
struct ConfigWord {
  std::uint64_t offset;
  std::uint32_t written;              // what the guest writes there first
  std::uint32_t plain, scripted;      // what then reads back
};

const ConfigWord kConfigWords[] = {
    {0x04, 0xffffffff, 0x0000ffff, 0x0010ffff},  // status: capability list
    {0x34, 0xffffffff, 0x00000000, 0x00000050},  // capability pointer
    {0x3c, 0xffffffff, 0x000000ff, 0x000001ff},  // line, pin INTA#
    {0x50, 0x00000000, 0x00000000, 0x008a0005},  // MSI: 32 vectors, 64-bit
    {0x50, 0xffffffff, 0x00000000, 0x008b0005},  // enabled; 128 vectors is past the offer
    {0x54, 0xffffffff, 0x00000000, 0xfffffffc},  // message address
    {0x58, 0xffffffff, 0x00000000, 0xffffffff},  // upper message address
    {0x5c, 0xffffffff, 0x00000000, 0x0000ffff},  // message data
    {0x60, 0xffffffff, 0x00000000, 0x00000000},  // past the capability
};

class OfferedInterrupts : public ScriptRun, public ::testing::WithParamInterface<bool> {};

TEST_P(OfferedInterrupts, OnlyAScriptedDeviceOffersThem) {
  const bool scripted = GetParam();
  auto [process, client] = serve(scripted ? write_script("quiet.lua", "-- hooks nothing\n") : "");
  ASSERT_TRUE(client);
  for (const ConfigWord& word : kConfigWords) {
    ASSERT_TRUE(client->write32(VFIO_PCI_CONFIG_REGION_INDEX, word.offset, word.written).has_value());
    ASSERT_TRUE(client->reset().has_value());
    EXPECT_EQ(client->read32(VFIO_PCI_CONFIG_REGION_INDEX, word.offset), scripted ? word.scripted : word.plain)
        << std::hex << word.offset << " after " << word.written;
  }
  const std::uint32_t intx = scripted ? VFIO_IRQ_INFO_EVENTFD | VFIO_IRQ_INFO_MASKABLE : 0;
  const std::uint32_t msi = scripted ? VFIO_IRQ_INFO_EVENTFD | VFIO_IRQ_INFO_NORESIZE : 0;
  const std::uint32_t expected[][2] = {{intx, scripted ? 1u : 0u}, {msi, scripted ? 32u : 0u}, {0, 0}, {0, 0}, {0, 0}};
  for (std::uint32_t index = VFIO_PCI_INTX_IRQ_INDEX; index <= VFIO_PCI_REQ_IRQ_INDEX; ++index) {
    auto info = client->irq_info(index);
    ASSERT_TRUE(info.has_value()) << info.error();
    EXPECT_EQ(info->flags, expected[index][0]) << index;
    EXPECT_EQ(info->count, expected[index][1]) << index;
  }
  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Devices, OfferedInterrupts, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Scripted" : "Plain"; });

// The examples as they ship.
using ScriptExamples = ScriptRun;

TEST_F(ScriptExamples, StatusReadyAfterFivePolls) {
  auto [process, client] = serve(example("status-ready.lua"));
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->write32(2, 0x40, 0x100).has_value());
  for (int poll = 1; poll <= 5; ++poll) EXPECT_EQ(client->read32(2, 0x40), 0x100u) << "poll " << poll;
  EXPECT_EQ(client->read32(2, 0x40), 0x101u);
  EXPECT_EQ(client->read32(2, 0x40), 0x101u);
  // A reset starts the count again.
  ASSERT_TRUE(client->reset().has_value());
  for (int poll = 1; poll <= 5; ++poll) EXPECT_EQ(client->read32(2, 0x40), 0u) << "poll " << poll;
  EXPECT_EQ(client->read32(2, 0x40), 1u);
  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.reg(0x10), 0u);
}

TEST_F(ScriptExamples, TheRecordedDriverWaitEndsAtItsFirstRead) {
  auto [process, client] = serve(example("display-driver-probe.lua"));
  ASSERT_TRUE(client);
  // What the driver waits for: busy and light sleep clear, power and clock up.
  auto value = client->read32(2, 0xc34c);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(*value & 0xfu, 0x6u);
  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_GE(run.find("DEBUG zephon: Read  regs[0x30d3] (0xc34c) = 0x00000006"), 0) << run.err;
  EXPECT_EQ(run.reg(0x30d3), 0u);
}

// Without a script (unset or empty) the run is as it always was: the same
// lines, no script line, the dump as written.
TEST_F(ScriptRun, AnEmptyScriptVariableChangesNothing) {
  auto [process, client] = serve("");
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->write32(2, 0x10, 0x12345678).has_value());
  EXPECT_EQ(client->read32(2, 0x10), 0x12345678u);
  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> expected = {"DEBUG zephon: Write regs[0x0004] (0x10) = 0x12345678",
                                             "DEBUG zephon: Read  regs[0x0004] (0x10) = 0x12345678",
                                             "INFO vfio_user: Connection closed"};
  std::vector<std::string> seen;
  for (const auto& m : run.messages) {
    if (m.find("vfio_user: Received") == std::string::npos && m.find("Negotiated") == std::string::npos &&
        m.find("version") == std::string::npos) {
      seen.push_back(m);
    }
  }
  EXPECT_EQ(seen, expected) << run.err;
  EXPECT_EQ(run.reg(4), 0x12345678u);
}

}  // namespace
}  // namespace zephon_test
