// A device script's timers: the queue in-process, and the real binary
// running callbacks between requests while the client sends nothing.
#include <linux/vfio.h>
#include <sys/eventfd.h>

#include <csignal>

#include <gtest/gtest.h>

#include "script_run.h"
#include "script/script_timers.h"
#include "vfio_user/unique_fd.h"

namespace zephon_test {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using vfio_user::Command;
using vfio_user::UniqueFd;
using zephon::ScriptTimers;

constexpr int kWaitMs = 10000;  // how long a test waits for a timer's interrupt at most

TEST(ScriptTimerQueue, DueInOrderPeriodicKeepsItsBeatAndNewOnesWait) {
  ScriptTimers timers;
  const auto t0 = ScriptTimers::Clock::time_point() + std::chrono::hours(1);
  const auto once = *timers.add(t0, microseconds(0), {});  // counts as 10 us
  const auto every = *timers.add(t0, milliseconds(1), milliseconds(1));
  EXPECT_EQ(timers.next_deadline(), t0 + microseconds(10));
  EXPECT_FALSE(timers.take_due(t0 + microseconds(9), timers.next_id()));
  const std::uint64_t before = timers.next_id();
  auto due = timers.take_due(t0 + milliseconds(5) + microseconds(500), before);
  ASSERT_TRUE(due);
  EXPECT_EQ(due->id, once);
  EXPECT_FALSE(due->periodic);
  timers.add(t0, microseconds(0), {});  // added during the round: not in it
  due = timers.take_due(t0 + milliseconds(5) + microseconds(500), before);
  ASSERT_TRUE(due);
  EXPECT_EQ(due->id, every);
  EXPECT_TRUE(due->periodic);
  EXPECT_FALSE(timers.take_due(t0 + milliseconds(5) + microseconds(500), before));
  // Four missed periods are not made up: next on the beat after now.
  EXPECT_EQ(timers.next_deadline(), t0 + microseconds(10));
  EXPECT_TRUE(timers.cancel(before));
  EXPECT_EQ(timers.next_deadline(), t0 + milliseconds(6));
  EXPECT_TRUE(timers.cancel(every));
  EXPECT_FALSE(timers.cancel(every));
  EXPECT_FALSE(timers.next_deadline());
  for (std::size_t i = 0; i < ScriptTimers::kMaxPending; ++i) ASSERT_TRUE(timers.add(t0, milliseconds(1), {}));
  EXPECT_FALSE(timers.add(t0, milliseconds(1), {}));
}

class ScriptTimer : public ScriptRun {
 protected:
  // Sets up MSI vectors 0 and 1 on events_ and has the guest enable them.
  void set_up_msi(vfio_user_client::Client& client) {
    const int fds[] = {events_[0].get(), events_[1].get()};
    auto set = client.call(Command::SetIrqs,
                           set_irqs_payload(VFIO_IRQ_SET_DATA_EVENTFD | VFIO_IRQ_SET_ACTION_TRIGGER,
                                            VFIO_PCI_MSI_IRQ_INDEX, 0, 2),
                           0, fds);
    ASSERT_TRUE(set.has_value()) << set.error();
    ASSERT_TRUE(client.write32(VFIO_PCI_CONFIG_REGION_INDEX, 0x50, (0x0001 | 1 << 4) << 16).has_value());
  }

  UniqueFd events_[2] = {UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
                         UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))};
};

TEST_F(ScriptTimer, AOneShotTimerRaisesAnInterruptWhileTheClientSendsNothing) {
  auto [process, client] = serve(write_script("device.lua", R"(
on_write[0x20] = function(job)
  after(0.002, function()
    regs[0x21] = job
    irq(0)
  end)
end
)"));
  ASSERT_TRUE(client);
  set_up_msi(*client);
  ASSERT_TRUE(client->write32(2, 0x80, 0x77).has_value());
  EXPECT_EQ(wait_signalled(events_[0].get(), kWaitMs), 1u);
  EXPECT_EQ(client->read32(2, 0x84), 0x77u);
  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
  const long set = run.find("DEBUG zephon: Set   regs[0x0021] (0x84) = 0x00000077");
  ASSERT_GE(set, 0) << run.err;
  EXPECT_EQ(run.find("DEBUG zephon: Irq   vector 0 (MSI)"), set + 1) << run.err;
}

// A periodic timer whose callback fails every time runs on; cancelled, it
// is gone, and a second cancel finds nothing.
TEST_F(ScriptTimer, APeriodicTimerKeepsItsPeriodThroughFaultsUntilCancelled) {
  auto [process, client] = serve(write_script("device.lua", R"(
local ticks, timer = 0, nil
on_write[0x20] = function()
  timer = every(0.001, function()
    ticks = ticks + 1
    regs[0x22] = ticks
    if ticks == 3 then irq(0) end
    error("tick " .. ticks)
  end)
end
on_write[0x23] = function() return timer:cancel() and 1 or 0 end
)"));
  ASSERT_TRUE(client);
  set_up_msi(*client);
  ASSERT_TRUE(client->write32(2, 0x80, 1).has_value());
  EXPECT_EQ(wait_signalled(events_[0].get(), kWaitMs), 1u);
  ASSERT_TRUE(client->write32(2, 0x8c, 9).has_value());
  EXPECT_EQ(client->read32(2, 0x8c), 1u);
  const auto ticks = client->read32(2, 0x88);
  ASSERT_TRUE(client->write32(2, 0x8c, 9).has_value());
  EXPECT_EQ(client->read32(2, 0x8c), 0u);
  EXPECT_EQ(client->read32(2, 0x88), ticks);
  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
  ASSERT_TRUE(ticks.has_value());
  EXPECT_GE(*ticks, 3u);
  const std::string error = "ERROR zephon::script: Script error in the callback of every(), which keeps its period: ";
  EXPECT_EQ(run.count_containing(error), *ticks) << run.err;
  EXPECT_GE(run.find(error + (dir_ / "device.lua").string() + ":8: tick 1; traceback: [C]: in function 'error'; " +
                     (dir_ / "device.lua").string() + ":8: in function <" + (dir_ / "device.lua").string() + ":4>"),
            0)
      << run.err;
}

// The reset cancels the doorbell's timer before on_reset runs; the timer
// on_reset starts is due later, so had the first survived, its interrupt
// would have come first.
TEST_F(ScriptTimer, AResetCancelsEveryTimerBeforeOnReset) {
  auto [process, client] = serve(write_script("device.lua", R"(
local doorbell
on_write[0x20] = function() doorbell = after(0.05, function() irq(0) end) end
on_reset = function()
  regs[0x25] = doorbell:cancel() and 1 or 2
  after(0.1, function() irq(1) end)
end
)"));
  ASSERT_TRUE(client);
  set_up_msi(*client);
  ASSERT_TRUE(client->write32(2, 0x80, 1).has_value());
  ASSERT_TRUE(client->reset().has_value());
  set_up_msi(*client);  // a reset device has no interrupts set up
  EXPECT_EQ(wait_signalled(events_[1].get(), kWaitMs), 1u);
  EXPECT_EQ(wait_signalled(events_[0].get()), 0u);
  EXPECT_EQ(client->read32(2, 0x94), 2u);
  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.count_containing("Irq   vector"), 1u) << run.err;
}

// Ctrl-C while zephon waits in its receive for the next tick ends the run
// as stopped, with the dump: the receive is ended by the stop, not only by
// the timer's own signal.
TEST_F(ScriptTimer, AStopSignalEndsAWaitForTheNextTick) {
  auto [process, client] = serve(write_script("device.lua", R"(
local ticks = 0
on_write[0x20] = function()
  every(0.001, function()
    ticks = ticks + 1
    regs[0x22] = ticks
    irq(0)
  end)
end
)"));
  ASSERT_TRUE(client);
  set_up_msi(*client);
  ASSERT_TRUE(client->write32(2, 0x80, 1).has_value());
  ASSERT_GE(wait_signalled(events_[0].get(), kWaitMs), 1u);
  process->signal(SIGINT);
  RunResult run = wait(*process);
  EXPECT_EQ(run.status, 130) << run.err;
  EXPECT_EQ(run.reg(0x20), 1u);
  EXPECT_GE(run.reg(0x22), 1u);
}

}  // namespace
}  // namespace zephon_test
