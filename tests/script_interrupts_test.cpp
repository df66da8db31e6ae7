// The interrupts of a scripted device, in-process: which SetIrqs set-ups
// the device takes and refuses as the kernel's VFIO does, what irq() and
// intx() signal, and how the configuration space gates them.
#include <linux/vfio.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "device.h"
#include "pci_test_util.h"
#include "script/script_interrupts.h"
#include "server_fixture.h"

namespace zephon_test {
namespace {

using vfio_user::FdList;
using vfio_user::UniqueFd;
using zephon::ScriptInterrupts;
using zephon::pci::write_dword;

constexpr std::uint32_t kTrigger = VFIO_IRQ_SET_DATA_EVENTFD | VFIO_IRQ_SET_ACTION_TRIGGER;
constexpr std::uint32_t kLoopback = VFIO_IRQ_SET_DATA_NONE | VFIO_IRQ_SET_ACTION_TRIGGER;
constexpr std::uint32_t kIntx = VFIO_PCI_INTX_IRQ_INDEX;
constexpr std::uint32_t kMsi = VFIO_PCI_MSI_IRQ_INDEX;
constexpr std::uint32_t kInterruptStatus = 0x00080000;

// Returns a list of n fresh eventfds, their numbers appended to fds.
FdList eventfds(std::size_t n, std::vector<int>& fds) {
  FdList list;
  for (std::size_t i = 0; i < n; ++i) {
    UniqueFd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    fds.push_back(fd.get());
    list.push(std::move(fd));
  }
  return list;
}

// Returns the eventfd's count, 0 if it is not signalled.
std::uint64_t drain(int fd) {
  std::uint64_t count = 0;
  return ::read(fd, &count, sizeof count) == sizeof count ? count : 0;
}

class ScriptInterruptsTest : public ::testing::Test {
 protected:
  // The guest's command register and MSI message control.
  void command(std::uint32_t value) { write_dword(config_, 0x04, value); }
  void msi_control(std::uint32_t value) { write_dword(config_, 0x50, value << 16); }

  zephon::pci::PciConfiguration config_ =
      *zephon::device::configuration(4096, zephon::device::Interrupts::Offered);
  ScriptInterrupts irqs_{config_};
  std::vector<int> fds_;
};

// Set-ups past what the device announces (INTx 1, MSI 32, nothing else),
// or malformed, are refused with EINVAL and their descriptors closed.
TEST_F(ScriptInterruptsTest, RefusesWhatTheDeviceDoesNotAnnounce) {
  struct Case {
    std::uint32_t index, flags, start, count;
  };
  for (const Case& c : {Case{kIntx, kTrigger, 0, 2}, Case{kIntx, kTrigger, 1, 1}, Case{kMsi, kTrigger, 0, 33},
                        Case{kMsi, kTrigger, 32, 0}, Case{kMsi, kTrigger, 31, 0xffffffffu},
                        Case{VFIO_PCI_MSIX_IRQ_INDEX, kTrigger, 0, 1}, Case{VFIO_PCI_ERR_IRQ_INDEX, kTrigger, 0, 1},
                        Case{kMsi, kTrigger | VFIO_IRQ_SET_DATA_NONE, 0, 1}, Case{kMsi, kTrigger | 0x40, 0, 1}}) {
    const std::size_t first = fds_.size();
    EXPECT_EQ(irqs_.set(c.index, c.flags, c.start, c.count, eventfds(2, fds_)), std::unexpected(EINVAL))
        << c.index << " " << c.flags << " " << c.start << " " << c.count;
    EXPECT_FALSE(fd_open(fds_[first]));
  }
  EXPECT_EQ(irqs_.set(kMsi, VFIO_IRQ_SET_DATA_NONE | VFIO_IRQ_SET_ACTION_MASK, 0, 1, {}), std::unexpected(ENOTTY));
  EXPECT_FALSE(irqs_.has(kIntx, 0));
  EXPECT_TRUE(irqs_.set(kMsi, kTrigger, 0, 32, eventfds(16, fds_)).has_value());
}

// One kind at a time; its vectors are fixed while it is enabled; count 0
// disables it, and then another kind may be set up.
TEST_F(ScriptInterruptsTest, OneKindAtATime) {
  ASSERT_TRUE(irqs_.set(kIntx, kTrigger, 0, 1, eventfds(1, fds_)).has_value());
  EXPECT_EQ(irqs_.set(kMsi, kTrigger, 0, 1, eventfds(1, fds_)), std::unexpected(EINVAL));
  EXPECT_FALSE(fd_open(fds_[1]));
  EXPECT_TRUE(irqs_.set(kMsi, kLoopback, 0, 0, {}).has_value());  // not in use: nothing to disable
  EXPECT_TRUE(irqs_.has(kIntx, 0));
  ASSERT_TRUE(irqs_.set(kIntx, kLoopback, 0, 0, {}).has_value());
  EXPECT_FALSE(fd_open(fds_[0]));
  ASSERT_TRUE(irqs_.set(kMsi, kTrigger, 0, 2, eventfds(2, fds_)).has_value());
  EXPECT_EQ(irqs_.set(kMsi, kTrigger, 1, 2, eventfds(2, fds_)), std::unexpected(EINVAL));
  // A new set-up of enabled vectors replaces their eventfds.
  ASSERT_TRUE(irqs_.set(kMsi, kTrigger, 1, 1, eventfds(1, fds_)).has_value());
  EXPECT_FALSE(fd_open(fds_[3]));
  EXPECT_TRUE(fd_open(fds_[6]));
  irqs_.clear();
  for (int fd : fds_) EXPECT_FALSE(fd_open(fd)) << fd;
}

// The loopback trigger signals the vectors that have eventfds (with one byte
// per vector, those whose byte is set) and keeps them.
TEST_F(ScriptInterruptsTest, LoopbackSignalsWithoutClosing) {
  EXPECT_EQ(irqs_.set(kMsi, kLoopback, 0, 1, {}), std::unexpected(EINVAL));  // not in use
  FdList two = eventfds(2, fds_);
  ASSERT_TRUE(irqs_.set(kMsi, kTrigger, 0, 3, std::move(two)).has_value());  // vector 2 without one
  ASSERT_TRUE(irqs_.set(kMsi, kLoopback, 0, 3, {}).has_value());
  EXPECT_EQ(drain(fds_[0]), 1u);
  EXPECT_EQ(drain(fds_[1]), 1u);
  const std::uint8_t bools[] = {0, 1};
  ASSERT_TRUE(irqs_.set_bools(kMsi, VFIO_IRQ_SET_DATA_BOOL | VFIO_IRQ_SET_ACTION_TRIGGER, 0, bools).has_value());
  EXPECT_EQ(drain(fds_[0]), 0u);
  EXPECT_EQ(drain(fds_[1]), 1u);
  EXPECT_EQ(irqs_.set(kMsi, kLoopback, 2, 2, {}), std::unexpected(EINVAL));
  EXPECT_TRUE(irqs_.has(kMsi, 0));
  EXPECT_TRUE(irqs_.has(kMsi, 1));
  EXPECT_FALSE(irqs_.has(kMsi, 2));
}

// MSI as hardware has it: nothing while the guest has not enabled it, and
// only the vectors it enabled.
TEST_F(ScriptInterruptsTest, MsiHonoursTheCapability) {
  ASSERT_TRUE(irqs_.set(kMsi, kTrigger, 0, 4, eventfds(4, fds_)).has_value());
  EXPECT_FALSE(irqs_.raise(0));
  msi_control(0x0001 | 1 << 4);  // enabled, 2 vectors
  EXPECT_TRUE(irqs_.raise(1));
  EXPECT_FALSE(irqs_.raise(2));
  EXPECT_EQ(drain(fds_[1]), 1u);
  EXPECT_EQ(drain(fds_[2]), 0u);
  EXPECT_FALSE(irqs_.set_intx(true));  // a line, but not the kind in use
  EXPECT_EQ(config_.read_reg(1) & kInterruptStatus, kInterruptStatus);
}

// INTx is a level: asserted, it shows in the status register and is
// signalled unless held back by Interrupt Disable or the monitor's mask;
// while it stays asserted, clearing either signals it again.
TEST_F(ScriptInterruptsTest, IntxIsALevel) {
  ASSERT_TRUE(irqs_.set(kIntx, kTrigger, 0, 1, eventfds(1, fds_)).has_value());
  EXPECT_FALSE(irqs_.raise(1));
  EXPECT_TRUE(irqs_.raise(0));
  EXPECT_EQ(drain(fds_[0]), 1u);
  EXPECT_EQ(config_.read_reg(1) & kInterruptStatus, kInterruptStatus);

  command(0x0400);  // Interrupt Disable
  irqs_.config_written(false);
  EXPECT_FALSE(irqs_.set_intx(true));
  EXPECT_EQ(drain(fds_[0]), 0u);
  command(0);
  irqs_.config_written(true);
  EXPECT_EQ(drain(fds_[0]), 1u);

  ASSERT_TRUE(irqs_.set(kIntx, VFIO_IRQ_SET_DATA_NONE | VFIO_IRQ_SET_ACTION_MASK, 0, 1, {}).has_value());
  EXPECT_FALSE(irqs_.raise(0));
  ASSERT_TRUE(irqs_.set(kIntx, VFIO_IRQ_SET_DATA_NONE | VFIO_IRQ_SET_ACTION_UNMASK, 0, 1, {}).has_value());
  EXPECT_EQ(drain(fds_[0]), 1u);

  EXPECT_FALSE(irqs_.set_intx(false));
  EXPECT_EQ(config_.read_reg(1) & kInterruptStatus, 0u);
  ASSERT_TRUE(irqs_.set(kIntx, VFIO_IRQ_SET_DATA_NONE | VFIO_IRQ_SET_ACTION_UNMASK, 0, 1, {}).has_value());
  command(0x0400);
  command(0);
  irqs_.config_written(true);
  EXPECT_EQ(drain(fds_[0]), 0u);
  // An unmask eventfd is taken and closed; the reset deasserts.
  ASSERT_TRUE(irqs_.set(kIntx, VFIO_IRQ_SET_DATA_EVENTFD | VFIO_IRQ_SET_ACTION_UNMASK, 0, 1, eventfds(1, fds_))
                  .has_value());
  EXPECT_FALSE(fd_open(fds_[1]));
  irqs_.set_intx(true);
  irqs_.clear();
  EXPECT_EQ(config_.read_reg(1) & kInterruptStatus, 0u);
}

TEST_F(ScriptInterruptsTest, AFullDescriptorIsNotWaitedFor) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  UniqueFd read_end(pipe_fds[0]);
  ::fcntl(pipe_fds[1], F_SETFL, O_NONBLOCK);
  while (::write(pipe_fds[1], "xxxxxxxxxxxxxxxx", 16) > 0) {
  }
  ::fcntl(pipe_fds[1], F_SETFL, 0);  // a blocking write would now wait forever
  FdList list;
  list.push(UniqueFd(pipe_fds[1]));
  ASSERT_TRUE(irqs_.set(kMsi, kTrigger, 0, 1, std::move(list)).has_value());
  msi_control(0x0001);
  EXPECT_FALSE(irqs_.raise(0));
}

}  // namespace
}  // namespace zephon_test
