// What a backend may add to the request loop, through the real loop over
// the in-memory transport: SetIrqs with one byte per vector, the error
// number of its refusals, and time of its own between requests.
#include <linux/vfio.h>

#include "memory_server.h"
#include "vfio_user/payloads.h"

namespace zephon_test {
namespace {

using vfio_user::Command;
using vfio_user::IoError;
using vfio_user::IrqSet;
using vfio_user_client::Client;

constexpr std::uint32_t kBoolTrigger = VFIO_IRQ_SET_DATA_BOOL | VFIO_IRQ_SET_ACTION_TRIGGER;

class BackendExtensions : public MemoryServer {
 protected:
  void SetUp() override {
    MemoryServer::SetUp();
    std::vector<vfio_user::InterruptEntry> interrupts = device_interrupts();
    interrupts[VFIO_PCI_MSI_IRQ_INDEX].count = 4;
    start(true, device_regions(), interrupts);
  }
  // Returns the reply to a SetIrqs whose payload is followed by data.
  vfio_user_client::Reply set_irqs(std::uint32_t flags, std::uint32_t start, std::uint32_t count,
                                   std::vector<std::uint8_t> data = {}) {
    std::vector<std::uint8_t> payload(IrqSet::kSize);
    IrqSet{.argsz = static_cast<std::uint32_t>(IrqSet::kSize + data.size()), .flags = flags,
           .index = VFIO_PCI_MSI_IRQ_INDEX, .start = start, .count = count}
        .encode(std::span(payload).first<IrqSet::kSize>());
    payload.insert(payload.end(), data.begin(), data.end());
    EXPECT_TRUE(client_.send(Client::frame(++id_, static_cast<std::uint16_t>(Command::SetIrqs), payload)));
    auto reply = client_.receive();
    EXPECT_TRUE(reply.has_value());
    return reply ? std::move(*reply) : vfio_user_client::Reply{};
  }

  MemoryClient client_ = connect();
  std::uint16_t id_ = 0;
};

TEST_F(BackendExtensions, BoolDataReachesABackendThatTakesItWithinTheAnnouncedVectors) {
  EXPECT_EQ(set_irqs(kBoolTrigger, 1, 2, {1, 0}).header.flags & vfio_user::FLAG_ERROR, vfio_user::FLAG_ERROR);
  backend_.takes_bools = true;
  auto reply = set_irqs(kBoolTrigger, 1, 3, {1, 0, 1});
  EXPECT_FALSE(reply.is_error());
  ASSERT_EQ(backend_.calls.size(), 1u);
  EXPECT_EQ(backend_.calls[0].op, "set_irqs_bool");
  EXPECT_EQ(backend_.calls[0].start, 1u);
  EXPECT_EQ(backend_.calls[0].data, (std::vector<std::uint8_t>{1, 0, 1}));
  // Past the four announced vectors: refused before anything is read.
  reply = set_irqs(kBoolTrigger, 2, 3, {1, 1, 1});
  EXPECT_EQ(reply.header.error, 22u);
  EXPECT_EQ(backend_.calls.size(), 1u);
  EXPECT_EQ(log().back(), "ERROR vfio_user: Error handling command: 8: Invalid input");
}

// A refusal with an error number is answered with it; one without, as before.
TEST_F(BackendExtensions, ABackendsErrorNumberReachesTheClient) {
  backend_.fail = IoError::os(EINVAL);
  EXPECT_EQ(set_irqs(VFIO_IRQ_SET_DATA_NONE | VFIO_IRQ_SET_ACTION_TRIGGER, 0, 9).header.error, 22u);
  backend_.fail = IoError::category(IoError::Kind::InvalidInput);
  EXPECT_EQ(set_irqs(VFIO_IRQ_SET_DATA_NONE | VFIO_IRQ_SET_ACTION_TRIGGER, 0, 9).header.error, 0u);
}

// What is due runs after the request that was waiting, and after each
// request of a stream until nothing is pending; with nothing pending it
// never runs.
TEST_F(BackendExtensions, DueTimeRunsBetweenRequestsAWaitingRequestFirst) {
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(client_.send(Client::frame(++id_, 13, {})));
  ASSERT_TRUE(client_.receive());
  ASSERT_TRUE(client_.receive());
  backend_.deadline = std::chrono::steady_clock::now();
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(client_.send(Client::frame(++id_, 13, {})));
  ASSERT_TRUE(client_.receive());
  ASSERT_TRUE(client_.receive());
  std::vector<std::string> ops;
  for (const BackendCall& call : backend_.calls) ops.push_back(call.op);
  EXPECT_EQ(ops, (std::vector<std::string>{"reset", "reset", "reset", "run_due", "reset"}));
}

}  // namespace
}  // namespace zephon_test
