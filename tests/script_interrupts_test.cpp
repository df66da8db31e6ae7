// The eventfds a device script raises interrupts through: what SetIrqs keeps,
// replaces and closes, in-process.
#include <linux/vfio.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "script_interrupts.h"
#include "server_fixture.h"

namespace zephon_test {
namespace {

using vfio_user::FdList;
using vfio_user::UniqueFd;
using zephon::ScriptInterrupts;

constexpr std::uint32_t kTrigger = VFIO_IRQ_SET_DATA_EVENTFD | VFIO_IRQ_SET_ACTION_TRIGGER;

// Returns a list of n fresh eventfds, their numbers in fds.
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

TEST(ScriptInterrupts, KeepsTriggerEventfdsPerVector) {
  ScriptInterrupts irqs;
  std::vector<int> fds;
  irqs.set(VFIO_PCI_MSIX_IRQ_INDEX, kTrigger, 3, 2, eventfds(2, fds));
  EXPECT_TRUE(irqs.has(VFIO_PCI_MSIX_IRQ_INDEX, 3));
  EXPECT_TRUE(irqs.has(VFIO_PCI_MSIX_IRQ_INDEX, 4));
  EXPECT_FALSE(irqs.has(VFIO_PCI_MSIX_IRQ_INDEX, 0));
  EXPECT_TRUE(irqs.raise(4));
  EXPECT_EQ(drain(fds[1]), 1u);
  EXPECT_EQ(drain(fds[0]), 0u);
  EXPECT_FALSE(irqs.raise(0));
}

TEST(ScriptInterrupts, ANewSetUpReplacesAndClosesTheOldDescriptor) {
  ScriptInterrupts irqs;
  std::vector<int> fds;
  irqs.set(VFIO_PCI_MSI_IRQ_INDEX, kTrigger, 0, 1, eventfds(1, fds));
  const int old_fd = fds[0];
  // The new eventfd is made while the old one is open, so their numbers differ.
  irqs.set(VFIO_PCI_MSI_IRQ_INDEX, kTrigger, 0, 1, eventfds(1, fds));
  ASSERT_NE(fds[1], old_fd);
  EXPECT_TRUE(fd_open(fds[1]));
  EXPECT_FALSE(fd_open(old_fd));
  EXPECT_TRUE(irqs.raise(0));
  EXPECT_EQ(drain(fds[1]), 1u);
}

struct Disable {
  std::string name;
  std::uint32_t flags, start, count;
  std::size_t files;
};

class ScriptInterruptsDisable : public ::testing::TestWithParam<Disable> {};

TEST_P(ScriptInterruptsDisable, ClosesTheVector) {
  const Disable& d = GetParam();
  ScriptInterrupts irqs;
  std::vector<int> fds;
  irqs.set(VFIO_PCI_MSIX_IRQ_INDEX, kTrigger, 0, 1, eventfds(1, fds));
  const int kept = fds[0];
  irqs.set(VFIO_PCI_MSIX_IRQ_INDEX, d.flags, d.start, d.count, eventfds(d.files, fds));
  EXPECT_FALSE(irqs.has(VFIO_PCI_MSIX_IRQ_INDEX, 0));
  for (int fd : fds) EXPECT_FALSE(fd_open(fd)) << fd << " of " << kept;
  EXPECT_FALSE(irqs.raise(0));
}

INSTANTIATE_TEST_SUITE_P(Ways, ScriptInterruptsDisable,
                         ::testing::Values(Disable{"CountZero", kTrigger, 0, 0, 0},
                                           Disable{"NoData", VFIO_IRQ_SET_DATA_NONE | VFIO_IRQ_SET_ACTION_TRIGGER, 0, 1, 0},
                                           Disable{"NoDescriptorForTheVector", kTrigger, 0, 1, 0}),
                         [](const auto& info) { return info.param.name; });

TEST(ScriptInterrupts, MaskActionsAndFarVectorsKeepNothing) {
  ScriptInterrupts irqs;
  std::vector<int> fds;
  irqs.set(VFIO_PCI_INTX_IRQ_INDEX, VFIO_IRQ_SET_DATA_EVENTFD | VFIO_IRQ_SET_ACTION_UNMASK, 0, 1, eventfds(1, fds));
  irqs.set(VFIO_PCI_MSIX_IRQ_INDEX, kTrigger, ScriptInterrupts::kMaxVectors, 1, eventfds(1, fds));
  irqs.set(VFIO_PCI_MSIX_IRQ_INDEX, kTrigger, 0xffffffffu, 0xffffffffu, eventfds(1, fds));
  for (int fd : fds) EXPECT_FALSE(fd_open(fd)) << fd;
  EXPECT_FALSE(irqs.has(VFIO_PCI_INTX_IRQ_INDEX, 0));
  EXPECT_FALSE(irqs.raise(0));
}

// How a monitor sets up a level interrupt: the trigger, then a mask, an
// unmask eventfd (the resample) and an unmask. Only the trigger is signalled.
TEST(ScriptInterrupts, MaskAndUnmaskAfterAnIntxTriggerLeaveItInPlace) {
  ScriptInterrupts irqs;
  std::vector<int> fds;
  irqs.set(VFIO_PCI_INTX_IRQ_INDEX, kTrigger, 0, 1, eventfds(1, fds));
  irqs.set(VFIO_PCI_INTX_IRQ_INDEX, VFIO_IRQ_SET_DATA_NONE | VFIO_IRQ_SET_ACTION_MASK, 0, 1, {});
  irqs.set(VFIO_PCI_INTX_IRQ_INDEX, VFIO_IRQ_SET_DATA_EVENTFD | VFIO_IRQ_SET_ACTION_UNMASK, 0, 1, eventfds(1, fds));
  irqs.set(VFIO_PCI_INTX_IRQ_INDEX, VFIO_IRQ_SET_DATA_NONE | VFIO_IRQ_SET_ACTION_UNMASK, 0, 1, {});
  EXPECT_TRUE(irqs.raise(0));
  EXPECT_EQ(drain(fds[0]), 1u);
  EXPECT_FALSE(fd_open(fds[1]));
}

TEST(ScriptInterrupts, MsixComesBeforeMsiAndMsiBeforeIntx) {
  ScriptInterrupts irqs;
  std::vector<int> fds;
  irqs.set(VFIO_PCI_INTX_IRQ_INDEX, kTrigger, 0, 1, eventfds(1, fds));
  EXPECT_TRUE(irqs.raise(0));
  EXPECT_EQ(drain(fds[0]), 1u);
  irqs.set(VFIO_PCI_MSI_IRQ_INDEX, kTrigger, 1, 1, eventfds(1, fds));
  // MSI is set up: vector 0 is not among its vectors, INTx is not used.
  EXPECT_FALSE(irqs.raise(0));
  EXPECT_TRUE(irqs.raise(1));
  EXPECT_EQ(drain(fds[1]), 1u);
  irqs.set(VFIO_PCI_MSIX_IRQ_INDEX, kTrigger, 1, 1, eventfds(1, fds));
  EXPECT_TRUE(irqs.raise(1));
  EXPECT_EQ(drain(fds[2]), 1u);
  EXPECT_EQ(drain(fds[1]), 0u);
  irqs.clear();
  for (int fd : fds) EXPECT_FALSE(fd_open(fd)) << fd;
}

TEST(ScriptInterrupts, AFullDescriptorIsNotWaitedFor) {
  ScriptInterrupts irqs;
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  UniqueFd read_end(pipe_fds[0]);
  ::fcntl(pipe_fds[1], F_SETFL, O_NONBLOCK);
  while (::write(pipe_fds[1], "xxxxxxxxxxxxxxxx", 16) > 0) {
  }
  ::fcntl(pipe_fds[1], F_SETFL, 0);  // a blocking write would now wait forever
  FdList list;
  list.push(UniqueFd(pipe_fds[1]));
  irqs.set(VFIO_PCI_MSIX_IRQ_INDEX, kTrigger, 0, 1, std::move(list));
  EXPECT_FALSE(irqs.raise(0));
}

}  // namespace
}  // namespace zephon_test
