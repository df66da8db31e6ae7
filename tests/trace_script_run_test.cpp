// zephon-trace on a log the real zephon wrote while running a real device
// script (the doorbell example): the guest's write, the script's sets and the
// interrupt it raised through an eventfd handed over with SetIrqs show in the
// sequence, and every one of those lines is rebuilt from the export.
#include <linux/vfio.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "script_run.h"
#include "trace_inprocess.h"
#include "vfio_user/unique_fd.h"
#include "vfio_user/wire.h"

namespace zephon_test {
namespace {

using vfio_user::UniqueFd;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Returns a SetIrqs payload with one eventfd for vector 0 of index.
std::vector<std::uint8_t> trigger_vector0(std::uint32_t index) {
  std::vector<std::uint8_t> payload(20);
  vfio_user::wire::store32(payload.data(), 20);
  vfio_user::wire::store32(payload.data() + 4, VFIO_IRQ_SET_DATA_EVENTFD | VFIO_IRQ_SET_ACTION_TRIGGER);
  vfio_user::wire::store32(payload.data() + 8, index);
  vfio_user::wire::store32(payload.data() + 12, 0);
  vfio_user::wire::store32(payload.data() + 16, 1);
  return payload;
}

using TraceScriptRun = ScriptRun;

TEST_F(TraceScriptRun, TheDoorbellExampleShowsInSequenceAndRoundTripsThroughExport) {
  auto [process, client] = serve(example("doorbell.lua"));
  ASSERT_TRUE(client);
  UniqueFd event(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  ASSERT_TRUE(event);
  const int fds[] = {event.get()};
  auto set = client->call(vfio_user::Command::SetIrqs, trigger_vector0(VFIO_PCI_MSI_IRQ_INDEX), 0, fds);
  ASSERT_TRUE(set.has_value()) << set.error();
  ASSERT_FALSE(set->is_error());
  ASSERT_TRUE(client->write32(VFIO_PCI_CONFIG_REGION_INDEX, 0x50, 0x0001 << 16).has_value());  // MSI enabled
  ASSERT_TRUE(client->write32(2, 0x80, 5).has_value());
  pollfd ready{.fd = event.get(), .events = POLLIN, .revents = 0};
  EXPECT_EQ(::poll(&ready, 1, 5000), 1);
  EXPECT_EQ(client->read32(2, 0x84).value_or(0), 5u);
  RunResult run = finish(*process, *client);
  ASSERT_EQ(run.status, 0) << run.err;

  auto sequence = trace_samples::run_trace({"sequence", "--quiet"}, run.err);
  EXPECT_EQ(sequence.status, 0) << sequence.err;
  EXPECT_EQ(sequence.out,
            "write 0x0020 = 0x00000005 (was 0x00000000)\n"
            "set 0x0021 = 0x00000005 (was 0x00000000)\n"
            "irq vector 0 (MSI)\n"
            // The hook's return value, stored instead of the guest's.
            "set 0x0020 = 0x00000000 (was 0x00000005)\n"
            "read 0x0021 = 0x00000005\n")
      << run.err;

  std::vector<std::string> event_lines;
  for (const auto& line : lines_of(run.err)) {
    if (line.find(" DEBUG zephon: ") != std::string::npos) event_lines.push_back(line);
  }
  auto csv = lines_of(trace_samples::run_trace({"export", "--quiet"}, run.err).out);
  ASSERT_EQ(csv.size(), event_lines.size() + 1) << run.err;
  for (std::size_t i = 0; i < event_lines.size(); ++i) {
    std::vector<std::string> f;
    std::istringstream row(csv[i + 1]);
    for (std::string field; std::getline(row, field, ',');) f.push_back(field);
    ASSERT_EQ(f.size(), 5u) << csv[i + 1];
    std::string message;
    if (f[1] == "irq") {
      message = fmt::format("Irq   vector {} ({})", f[2], f[4]);
    } else {
      const std::string_view verb = f[1] == "read" ? "Read " : f[1] == "write" ? "Write" : "Set  ";
      message = fmt::format("{} regs[{:#06x}] ({:#x}) = {:#010x}", verb, std::stoul(f[2]), std::stoul(f[3]),
                            std::stoul(f[4]));
    }
    EXPECT_EQ(fmt::format("{} DEBUG zephon: {}", f[0], message), event_lines[i]);
  }
}

}  // namespace
}  // namespace zephon_test
