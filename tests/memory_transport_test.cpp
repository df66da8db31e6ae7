// The request loop over the in-memory transport: how the connection treats
// failures part way through a header, short sends, and descriptors among
// requests received together; and the transport's own joining of pieces.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "memory_transport.h"
#include "request_loop.h"
#include "server_fixture.h"
#include "vfio_user/payloads.h"

namespace zephon_test {
namespace {

using vfio_user::Connection;
using vfio_user::MemoryTransport;

struct Loop {
  RecordingBackend backend;
  std::vector<vfio_user::InterruptEntry> interrupts = device_interrupts();
  std::vector<vfio_user::ServerRegion> regions = device_regions();
  volatile std::sig_atomic_t stop = 0;

  std::expected<void, vfio_user::Error> serve(MemoryTransport& transport) {
    Connection connection(transport);
    vfio_user::DeviceTables tables{interrupts, regions, true};
    return vfio_user::serve_connection(connection, tables, backend, stop);
  }
};

std::vector<std::uint8_t> request(std::uint16_t id, vfio_user::Command command,
                                  std::span<const std::uint8_t> payload = {}) {
  return vfio_user_client::Client::frame(id, static_cast<std::uint16_t>(command), payload);
}

// A failed read is an error of the connection wherever it happens; only the
// end of the stream is a close.
struct HeaderCut {
  std::size_t header_bytes;  // of the second request, before the failure
};

class ReadFailure : public ::testing::TestWithParam<HeaderCut> {};

TEST_P(ReadFailure, EndsTheRunWithReceiveWithFdAndItsNumber) {
  MemoryTransport transport;
  auto first = request(1, vfio_user::Command::DeviceGetInfo);
  transport.push(first);
  auto second = request(2, vfio_user::Command::DeviceGetInfo);
  if (GetParam().header_bytes > 0) transport.push(std::span(second).first(GetParam().header_bytes));
  transport.fail_receives(ECONNRESET);
  Loop loop;
  auto result = loop.serve(transport);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().debug(), "ReceiveWithFd(ECONNRESET)");
  // The first request was answered before the failure.
  ASSERT_GE(transport.sent().size(), vfio_user::kHeaderSize);
  EXPECT_EQ(vfio_user::MessageHeader::decode(transport.sent().data()).message_id, 1);
}

INSTANTIATE_TEST_SUITE_P(Cuts, ReadFailure, ::testing::Values(HeaderCut{0}, HeaderCut{1}, HeaderCut{15}));

TEST(MemoryLoop, TheEndOfTheStreamInsideAHeaderIsAClose) {
  MemoryTransport transport;
  auto bytes = request(1, vfio_user::Command::DeviceGetInfo);
  transport.push(std::span(bytes).first(9));
  Loop loop;
  EXPECT_TRUE(loop.serve(transport).has_value());
  EXPECT_TRUE(transport.sent().empty());
}

// A reply that the transport takes a few bytes at a time is completed, and
// its descriptor goes out once, with the first part.
TEST(MemoryLoop, AShortSendWithADescriptorIsCompleted) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  Loop loop;
  loop.regions[2].sparse_areas = {{0x1000, 0x2000}, {0x8000, 0x100}};
  loop.regions[2].region_fd = pipe_fds[1];
  // argsz 512: room for the sparse areas.
  const auto info =
      vfio_user::RegionInfo{.argsz = 512, .flags = 0, .index = 2, .cap_offset = 0, .size = 0, .offset = 0}.encode();
  MemoryTransport whole;
  whole.push(request(1, vfio_user::Command::DeviceGetRegionInfo, info));
  ASSERT_TRUE(loop.serve(whole).has_value());

  MemoryTransport trickle;
  trickle.limit_sends(5);
  trickle.push(request(1, vfio_user::Command::DeviceGetRegionInfo, info));
  ASSERT_TRUE(loop.serve(trickle).has_value());
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);

  ASSERT_GT(whole.sent().size(), 48u);
  EXPECT_EQ(trickle.sent(), whole.sent());
  EXPECT_EQ(trickle.sent_fds(), (std::vector<MemoryTransport::SentFd>{{0, pipe_fds[1]}}));
}

// Returns a posted 4-byte BAR 2 write.
std::vector<std::uint8_t> posted_write(std::uint16_t id, std::uint64_t offset) {
  auto payload = vfio_user::RegionAccess{.offset = offset, .region = 2, .count = 4}.encode();
  std::vector<std::uint8_t> bytes(payload.begin(), payload.end());
  bytes.insert(bytes.end(), {1, 2, 3, 4});
  return vfio_user_client::Client::frame(id, 10, bytes, vfio_user::FLAG_NO_REPLY);
}

// Requests are received in bulk, but a descriptor still goes to the request
// whose header it came with, wherever that stands among them.
TEST(MemoryLoop, ADescriptorAmongRequestsReadAheadGoesToItsRequest) {
  MemoryTransport transport;
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  std::vector<vfio_user::UniqueFd> fds;
  fds.emplace_back(pipe_fds[1]);
  transport.push(posted_write(1, 0));
  transport.push(posted_write(2, 4));
  auto map = vfio_user::DmaMap{.argsz = vfio_user::DmaMap::kSize, .flags = 3, .offset = 0, .address = 0x1000,
                               .size = 0x1000}
                 .encode();
  transport.push(request(3, vfio_user::Command::DmaMap, map), std::move(fds));
  transport.push(posted_write(4, 8));
  Loop loop;
  ASSERT_TRUE(loop.serve(transport).has_value());
  ::close(pipe_fds[0]);
  ASSERT_EQ(loop.backend.calls.size(), 4u);
  EXPECT_EQ(loop.backend.calls[2].op, "dma_map");
  EXPECT_EQ(loop.backend.calls[2].fds.size(), 1u);
  for (std::size_t i : {0u, 1u, 3u}) EXPECT_EQ(loop.backend.calls[i].op, "region_write") << i;
}

// Too many descriptors end the run when their request's header is reached,
// not before: requests received with them in one receive are served first.
TEST(MemoryLoop, TooManyDescriptorsEndTheRunAtTheirRequest) {
  MemoryTransport transport;
  transport.push(posted_write(1, 0));
  std::vector<vfio_user::UniqueFd> fds;
  for (int i = 0; i < 17; ++i) fds.emplace_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  transport.push(request(2, vfio_user::Command::DeviceGetInfo, vfio_user::DeviceInfo{}.encode()), std::move(fds));
  Loop loop;
  auto result = loop.serve(transport);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().debug(), "ReceiveWithFd(ENOBUFS)");
  ASSERT_EQ(loop.backend.calls.size(), 1u);
  EXPECT_EQ(loop.backend.calls[0].op, "region_write");
  EXPECT_TRUE(transport.sent().empty());
}

// The transport joins pieces as a socket joins writes, and ends a read or a
// receive with the first piece that carries descriptors: a read closes them,
// so a loop that reads past its request loses them here too; a receive
// takes them. A pipe shows whether they are closed: its write end is only
// ever open as the descriptor sent.
TEST(MemoryTransportInput, AReadAcrossPiecesDropsTheirDescriptors) {
  for (bool plain : {true, false}) {
    SCOPED_TRACE(plain ? "read" : "receive");
    int pipe_fds[2];
    ASSERT_EQ(::pipe2(pipe_fds, O_NONBLOCK), 0);
    MemoryTransport transport;
    const std::uint8_t bytes[] = {'a', 'b', 'c', 'd', 'e', 'f'};
    std::vector<vfio_user::UniqueFd> sent;
    sent.emplace_back(pipe_fds[1]);
    transport.push(std::span(bytes).first(2));
    transport.push(std::span(bytes).subspan(2, 2), std::move(sent));
    transport.push(std::span(bytes).subspan(4));
    std::uint8_t buf[16];
    vfio_user::FdList fds;
    std::expected<std::size_t, int> got = 0;
    if (plain) {
      got = transport.read(buf, vfio_user::Wait::Yes);
    } else if (auto received = transport.receive(buf, fds, vfio_user::Wait::Yes)) {
      got = received->size;
    }
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(fds.size(), plain ? 0u : 1u);
    char c;
    EXPECT_EQ(::read(pipe_fds[0], &c, 1), plain ? 0 : -1);  // 0: the write end is closed
    fds.clear();
    EXPECT_EQ(::read(pipe_fds[0], &c, 1), 0);
    EXPECT_EQ(transport.unread(), 2u);
    ::close(pipe_fds[0]);
  }
}

TEST(MemoryLoop, AFailedReplyEndsTheRunWithStreamWrite) {
  MemoryTransport transport;
  transport.push(request(1, vfio_user::Command::DeviceGetInfo));
  transport.fail_sends(EPIPE, 3);
  Loop loop;
  auto result = loop.serve(transport);
  ASSERT_FALSE(result.has_value());
  // The handler's write fails, then the error reply's: that ends the run.
  EXPECT_EQ(result.error().kind(), vfio_user::Error::Kind::StreamWrite);
  EXPECT_EQ(transport.sent().size(), 3u);
}

}  // namespace
}  // namespace zephon_test
