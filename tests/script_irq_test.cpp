// A scripted device's interrupts over a real socket: the set-ups the monitor
// may make, MSI as the guest programmed it, and INTx as a level. An eventfd
// is written before the reply to the request that raised it, so each check
// looks at it without waiting.
#include <linux/vfio.h>
#include <sys/eventfd.h>

#include <gtest/gtest.h>

#include "script_run.h"
#include "vfio_user/unique_fd.h"

namespace zephon_test {
namespace {

using vfio_user::Command;
using vfio_user::UniqueFd;
using vfio_user_client::Client;

constexpr std::uint32_t kTrigger = VFIO_IRQ_SET_DATA_EVENTFD | VFIO_IRQ_SET_ACTION_TRIGGER;
constexpr std::uint32_t kConfig = VFIO_PCI_CONFIG_REGION_INDEX;
constexpr std::uint32_t kInterruptStatus = 0x00080000;

// A doorbell raising the vector written to it, and an acknowledge register
// that deasserts INTx.
constexpr std::string_view kScript = R"(
on_write[0x20] = function(vector) irq(vector) end
on_write[0x21] = function() intx(false) end
)";

class ScriptIrq : public ScriptRun {
 protected:
  // Returns the error number of the reply to a SetIrqs, 0 on success.
  std::uint32_t set_irqs(Client& client, std::vector<std::uint8_t> payload, std::span<const int> fds = {}) {
    auto sent = client.send(Client::frame(++id_, static_cast<std::uint16_t>(Command::SetIrqs), payload), fds);
    auto reply = sent ? client.receive() : std::unexpected(sent.error());
    EXPECT_TRUE(reply.has_value()) << (reply ? "" : reply.error());
    if (!reply) return ~0u;
    return reply->is_error() ? reply->header.error : 0;
  }
  // Rings the doorbell with vector.
  void ring(Client& client, std::uint32_t vector) { ASSERT_TRUE(client.write32(2, 0x80, vector).has_value()); }

  std::uint16_t id_ = 1000;  // message ids of its own, apart from the client's
  UniqueFd events_[2] = {UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
                         UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))};
};

TEST_F(ScriptIrq, MsiTakesWhatTheGuestEnabledAndRefusesWhatIsNotOffered) {
  auto [process, client] = serve(write_script("device.lua", kScript));
  ASSERT_TRUE(client);
  const int fds[] = {events_[0].get(), events_[1].get()};
  // More vectors than announced, a kind not offered, then two kinds at once.
  EXPECT_EQ(set_irqs(*client, set_irqs_payload(kTrigger, VFIO_PCI_MSI_IRQ_INDEX, 0, 33), fds), 22u);
  EXPECT_EQ(set_irqs(*client, set_irqs_payload(kTrigger, VFIO_PCI_MSIX_IRQ_INDEX, 0, 1), fds), 22u);
  EXPECT_EQ(set_irqs(*client, set_irqs_payload(kTrigger, VFIO_PCI_INTX_IRQ_INDEX, 0, 2), fds), 22u);
  ASSERT_EQ(set_irqs(*client, set_irqs_payload(kTrigger, VFIO_PCI_MSI_IRQ_INDEX, 0, 2), fds), 0u);
  EXPECT_EQ(set_irqs(*client, set_irqs_payload(kTrigger, VFIO_PCI_INTX_IRQ_INDEX, 0, 1), fds), 22u);

  ring(*client, 1);  // MSI not enabled by the guest yet
  EXPECT_EQ(wait_signalled(events_[1].get()), 0u);
  ASSERT_TRUE(client->write32(kConfig, 0x50, (0x0001 | 1 << 4) << 16).has_value());  // enabled, 2 vectors
  ring(*client, 1);
  EXPECT_EQ(wait_signalled(events_[1].get()), 1u);
  ASSERT_TRUE(client->write32(kConfig, 0x50, 0x0001 << 16).has_value());  // enabled, 1 vector
  ring(*client, 1);
  EXPECT_EQ(wait_signalled(events_[1].get()), 0u);

  // The loopback trigger signals and keeps the eventfds.
  ASSERT_EQ(set_irqs(*client, set_irqs_payload(VFIO_IRQ_SET_DATA_NONE | VFIO_IRQ_SET_ACTION_TRIGGER,
                                               VFIO_PCI_MSI_IRQ_INDEX, 0, 2)), 0u);
  EXPECT_EQ(wait_signalled(events_[0].get()), 1u);
  EXPECT_EQ(wait_signalled(events_[1].get()), 1u);
  const std::uint8_t second_only[] = {0, 1};
  ASSERT_EQ(set_irqs(*client, set_irqs_payload(VFIO_IRQ_SET_DATA_BOOL | VFIO_IRQ_SET_ACTION_TRIGGER,
                                               VFIO_PCI_MSI_IRQ_INDEX, 0, 2, second_only)), 0u);
  EXPECT_EQ(wait_signalled(events_[0].get()), 0u);
  EXPECT_EQ(wait_signalled(events_[1].get()), 1u);
  ring(*client, 0);
  EXPECT_EQ(wait_signalled(events_[0].get()), 1u);

  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.count_containing("Error from backend: Os { code: 22, kind: InvalidInput"), 4u) << run.err;
  EXPECT_GE(run.find("WARN zephon::script: irq(1) dropped: the guest has not enabled MSI"), 0) << run.err;
  EXPECT_GE(run.find("WARN zephon::script: irq(1) dropped: the guest enabled 1 MSI vector"), 0) << run.err;
  EXPECT_EQ(run.count_containing("DEBUG zephon: Irq   vector 1 (MSI)"), 3u) << run.err;
}

TEST_F(ScriptIrq, IntxIsALevelHeldBackByInterruptDisableAndSignalledAgainOnUnmask) {
  auto [process, client] = serve(write_script("device.lua", kScript));
  ASSERT_TRUE(client);
  const int fds[] = {events_[0].get()};
  const int event = events_[0].get();
  ASSERT_EQ(set_irqs(*client, set_irqs_payload(kTrigger, VFIO_PCI_INTX_IRQ_INDEX, 0, 1), fds), 0u);
  const auto unmask = set_irqs_payload(VFIO_IRQ_SET_DATA_NONE | VFIO_IRQ_SET_ACTION_UNMASK, VFIO_PCI_INTX_IRQ_INDEX, 0, 1);
  auto status = [&] { return client->read32(kConfig, 0x04).value_or(0) & kInterruptStatus; };

  ring(*client, 0);
  EXPECT_EQ(wait_signalled(event), 1u);
  EXPECT_EQ(status(), kInterruptStatus);
  ASSERT_EQ(set_irqs(*client, unmask), 0u);  // still asserted: signalled again
  EXPECT_EQ(wait_signalled(event), 1u);
  ASSERT_TRUE(client->write32(2, 0x84, 1).has_value());  // the driver acknowledges
  EXPECT_EQ(status(), 0u);
  ASSERT_EQ(set_irqs(*client, unmask), 0u);
  EXPECT_EQ(wait_signalled(event), 0u);

  const std::uint32_t command = client->read32(kConfig, 0x04).value_or(0) & 0xFFFF;
  ASSERT_TRUE(client->write32(kConfig, 0x04, command | 0x0400).has_value());  // Interrupt Disable
  ring(*client, 0);
  EXPECT_EQ(wait_signalled(event), 0u);
  EXPECT_EQ(status(), kInterruptStatus);
  ASSERT_TRUE(client->write32(kConfig, 0x04, command).has_value());
  EXPECT_EQ(wait_signalled(event), 1u);

  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.count_containing("DEBUG zephon: Irq   vector 0 (INTx)"), 3u) << run.err;
  EXPECT_GE(run.find("DEBUG zephon: INTx  asserted; not signalled: the guest set Interrupt Disable"), 0) << run.err;
}

}  // namespace
}  // namespace zephon_test
