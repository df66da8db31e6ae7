// The data-path, DMA, interrupt, reset and information commands, driven
// through the real request loop over the in-memory transport against a
// recording backend.
#include <unistd.h>

#include "memory_server.h"
#include "vfio_user/limits.h"
#include "vfio_user/payloads.h"

namespace zephon_test {
namespace {

using vfio_user::Command;
using vfio_user::FLAG_NO_REPLY;
using vfio_user_client::Client;
using vfio_user::DeviceInfo;
using vfio_user::DmaMap;
using vfio_user::DmaUnmap;
using vfio_user::IrqInfo;
using vfio_user::IrqSet;
using vfio_user::RegionAccess;
using vfio_user::RegionInfo;
using vfio_user::SparseMmapCapability;

// Returns the payload of a region access: its fixed part, then data.
std::vector<std::uint8_t> access(std::uint64_t offset, std::uint32_t region, std::uint32_t count,
                                 std::span<const std::uint8_t> data = {}) {
  std::vector<std::uint8_t> p(RegionAccess::kSize + data.size());
  RegionAccess{.offset = offset, .region = region, .count = count}.encode(std::span(p).first<RegionAccess::kSize>());
  std::ranges::copy(data, p.begin() + RegionAccess::kSize);
  return p;
}

// Returns the fixed payload of reply, decoded; fails the test if short.
template <typename Payload>
Payload decoded(std::span<const std::uint8_t> payload) {
  auto p = Payload::decode(payload);
  if (!p) {
    ADD_FAILURE() << "reply payload of " << payload.size() << " bytes, " << p.error().needed << " needed";
    return Payload{};
  }
  return *p;
}

// Returns v's bytes as a vector.
template <typename Bytes>
std::vector<std::uint8_t> vec(const Bytes& v) {
  return std::vector<std::uint8_t>(v.begin(), v.end());
}

// A pipe whose write end is handed to the server; read_end_sees_eof() tells
// whether every copy of it was closed.
struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(::pipe(fds), 0); }
  ~Pipe() {
    if (fds[0] >= 0) ::close(fds[0]);
    if (fds[1] >= 0) ::close(fds[1]);
  }
  int write_end() const { return fds[1]; }
  bool read_end_sees_eof() {
    if (fds[1] >= 0) ::close(fds[1]);
    fds[1] = -1;
    char byte;
    return ::read(fds[0], &byte, 1) == 0;
  }
};

class Handlers : public MemoryServer {
 protected:
  void SetUp() override {
    MemoryServer::SetUp();
    client_.emplace(connect());
  }
  // Returns the reply to a raw request (error replies included).
  vfio_user_client::Reply raw(std::uint16_t id, Command command, std::span<const std::uint8_t> payload,
                              std::uint32_t flags = 0, std::span<const int> fds = {}) {
    auto sent = client_->send(Client::frame(id, static_cast<std::uint16_t>(command), payload, flags), fds);
    EXPECT_TRUE(sent.has_value());
    auto reply = client_->receive();
    if (!reply) {
      ADD_FAILURE() << reply.error();
      return {};
    }
    EXPECT_EQ(reply->header.message_id, id);
    EXPECT_EQ(reply->header.command, static_cast<std::uint16_t>(command));
    return std::move(*reply);
  }
  std::optional<MemoryClient> client_;
};

TEST_F(Handlers, RegionReadEchoesTheRequestAndSendsTheData) {
  auto reply = raw(11, Command::RegionRead, access(0x20, 7, 4));
  EXPECT_EQ(reply.header.message_size, 36u);
  EXPECT_EQ(reply.header.flags, 1u);
  ASSERT_EQ(reply.payload.size(), 20u);
  EXPECT_EQ(decoded<RegionAccess>(reply.payload), (RegionAccess{.offset = 0x20, .region = 7, .count = 4}));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(reply.payload[RegionAccess::kSize + i], pattern_byte(0x20, i));
  ASSERT_EQ(backend_.calls.size(), 1u);
  EXPECT_EQ(backend_.calls[0].op, "region_read");
  EXPECT_EQ(backend_.calls[0].index, 7u);
}

TEST_F(Handlers, RegionReadOfNothing) {
  auto reply = raw(1, Command::RegionRead, access(0, 2, 0));
  EXPECT_EQ(reply.header.message_size, 32u);
  ASSERT_EQ(backend_.calls.size(), 1u);
  EXPECT_EQ(backend_.calls[0].count, 0u);
}

TEST_F(Handlers, RegionWriteHandsTheDataOverAndEchoes) {
  std::uint8_t data[4] = {0x78, 0x56, 0x34, 0x12};
  auto reply = raw(12, Command::RegionWrite, access(0x10, 2, 4, data));
  EXPECT_EQ(reply.header.message_size, 32u);
  ASSERT_EQ(reply.payload.size(), 16u);
  EXPECT_EQ(decoded<RegionAccess>(reply.payload), (RegionAccess{.offset = 0x10, .region = 2, .count = 4}));
  ASSERT_EQ(backend_.calls.size(), 1u);
  EXPECT_EQ(backend_.calls[0].data, std::vector<std::uint8_t>(data, data + 4));
}

TEST_F(Handlers, PostedWritesGetNoReply) {
  std::uint8_t data[4] = {1, 2, 3, 4};
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(client_->send(Client::frame(20 + i, 10, access(4 * i, 2, 4, data), FLAG_NO_REPLY)).has_value());
  }
  ASSERT_TRUE(client_->send(Client::frame(30, 13, {}, FLAG_NO_REPLY)).has_value());
  // The next reply is the one to this request: nothing was sent before it.
  auto info = client_->device_info();
  ASSERT_TRUE(info.has_value()) << info.error();
  ASSERT_EQ(backend_.calls.size(), 4u);
  EXPECT_EQ(backend_.calls[3].op, "reset");
}

struct BadIndexCase {
  Command command;
  std::vector<std::uint8_t> payload;
};

class BadIndex : public Handlers, public ::testing::WithParamInterface<BadIndexCase> {};

TEST_P(BadIndex, IsRefusedWith22WithoutABackendCall) {
  auto reply = raw(5, GetParam().command, GetParam().payload);
  EXPECT_TRUE(reply.is_error());
  EXPECT_EQ(reply.header.error, 22u);
  EXPECT_EQ(reply.header.message_size, 16u);
  EXPECT_TRUE(backend_.calls.empty());
  // The connection is still in step.
  EXPECT_TRUE(client_->device_info().has_value());
  auto lines = log();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], fmt::format("ERROR vfio_user: Error handling command: {}: Invalid input",
                                  static_cast<int>(GetParam().command)));
}

std::vector<std::uint8_t> set_irqs(std::uint32_t flags, std::uint32_t index, std::uint32_t start,
                                   std::uint32_t count) {
  return vec(IrqSet{.argsz = IrqSet::kSize, .flags = flags, .index = index, .start = start, .count = count}.encode());
}

// Returns a DeviceGetRegionInfo request offering argsz bytes of room.
std::vector<std::uint8_t> region_query(std::uint32_t index, std::uint32_t argsz = RegionInfo::kSize) {
  return vec(RegionInfo{.argsz = argsz, .flags = 0, .index = index, .cap_offset = 0, .size = 0, .offset = 0}.encode());
}

std::vector<std::uint8_t> irq_query(std::uint32_t index) {
  return vec(IrqInfo{.argsz = IrqInfo::kSize, .flags = 0, .index = index, .count = 0}.encode());
}

INSTANTIATE_TEST_SUITE_P(
    All, BadIndex,
    ::testing::Values(BadIndexCase{Command::RegionRead, access(0, 9, 4)},
                      BadIndexCase{Command::RegionWrite, access(0, 9, 4, std::vector<std::uint8_t>(4))},
                      BadIndexCase{Command::RegionRead, access(0, 2, vfio_user::kMaxDataTransfer + 1)},
                      BadIndexCase{Command::RegionWrite, access(0, 2, 0xffffffff)},
                      BadIndexCase{Command::SetIrqs, set_irqs(0x24, 5, 0, 1)},
                      BadIndexCase{Command::DeviceGetRegionInfo, region_query(9)},
                      BadIndexCase{Command::GetIrqInfo, irq_query(5)}));

TEST_F(Handlers, RegionReadRefusesNoReplyBeforeReadingAnything) {
  auto reply = raw(3, Command::RegionRead, access(0, 2, 4), FLAG_NO_REPLY);
  EXPECT_TRUE(reply.is_error());
  EXPECT_EQ(reply.header.error, 0u);
  EXPECT_TRUE(backend_.calls.empty());
  EXPECT_TRUE(client_->device_info().has_value());
  EXPECT_EQ(log().at(0), "ERROR vfio_user: Error handling command: 9: No_reply bit unexpectedly set for command: RegionRead");
}

TEST_F(Handlers, BackendFailureIsErrorZeroNotInvalidInput) {
  backend_.fail = vfio_user::IoError::category(vfio_user::IoError::Kind::InvalidInput);
  auto reply = raw(3, Command::RegionRead, access(1, 7, 2));
  EXPECT_TRUE(reply.is_error());
  EXPECT_EQ(reply.header.error, 0u);
  EXPECT_EQ(reply.header.message_size, 16u);
  EXPECT_EQ(log().at(0), "ERROR vfio_user: Error handling command: 9: Error from backend: Kind(InvalidInput)");
}

TEST_F(Handlers, DmaMapWithoutADescriptor) {
  const DmaMap map{.argsz = 0, .flags = 3, .offset = 0x1000, .address = 0x2000, .size = 0x3000};
  auto reply = raw(1, Command::DmaMap, vec(map.encode()));
  EXPECT_FALSE(reply.is_error());
  EXPECT_EQ(reply.header.message_size, 16u);
  ASSERT_EQ(backend_.calls.size(), 1u);
  EXPECT_EQ(backend_.calls[0].flags, 3u);
  EXPECT_EQ(backend_.calls[0].offset, 0x1000u);
  EXPECT_EQ(backend_.calls[0].address, 0x2000u);
  EXPECT_EQ(backend_.calls[0].size, 0x3000u);
  EXPECT_TRUE(backend_.calls[0].fds.empty());
}

TEST_F(Handlers, DmaMapHandsItsOneDescriptorOverOpen) {
  Pipe pipe;
  int fd = pipe.write_end();
  auto reply = raw(1, Command::DmaMap, vec(DmaMap{}.encode()), 0, std::span<const int>(&fd, 1));
  EXPECT_FALSE(reply.is_error());
  ASSERT_EQ(backend_.calls.size(), 1u);
  ASSERT_EQ(backend_.calls[0].fds.size(), 1u);
  ASSERT_EQ(::write(backend_.calls[0].fds[0].get(), "x", 1), 1);
  char byte;
  EXPECT_EQ(::read(pipe.fds[0], &byte, 1), 1);
}

TEST_F(Handlers, DmaMapWithTwoDescriptorsClosesBothAndRefuses) {
  Pipe pipe;
  int fds[2] = {pipe.write_end(), pipe.write_end()};
  auto reply = raw(1, Command::DmaMap, vec(DmaMap{}.encode()), 0, fds);
  EXPECT_TRUE(reply.is_error());
  EXPECT_EQ(reply.header.error, 22u);
  EXPECT_TRUE(backend_.calls.empty());
  EXPECT_TRUE(pipe.read_end_sees_eof());
}

TEST_F(Handlers, DmaUnmapEchoesItsPayload) {
  std::vector<std::uint8_t> p(DmaUnmap::kSize);
  for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<std::uint8_t>(i + 1);
  auto reply = raw(1, Command::DmaUnmap, p);
  EXPECT_EQ(reply.header.message_size, 40u);
  EXPECT_EQ(reply.payload, p);
  ASSERT_EQ(backend_.calls.size(), 1u);
  const DmaUnmap unmap = decoded<DmaUnmap>(p);
  EXPECT_EQ(backend_.calls[0].flags, unmap.flags);
  EXPECT_EQ(backend_.calls[0].address, unmap.address);
  EXPECT_EQ(backend_.calls[0].size, unmap.size);
}

TEST_F(Handlers, SetIrqsWithBoolDataIsUnsupported) {
  auto reply = raw(1, Command::SetIrqs, set_irqs(0x22, 1, 0, 1));
  EXPECT_TRUE(reply.is_error());
  EXPECT_EQ(reply.header.error, 0u);
  EXPECT_TRUE(backend_.calls.empty());
  EXPECT_EQ(log().at(0), "ERROR vfio_user: Error handling command: 8: Unsupported feature");
}

TEST_F(Handlers, SetIrqsHandsEveryDescriptorOverInOrder) {
  Pipe a, b;
  int fds[2] = {a.write_end(), b.write_end()};
  auto reply = raw(1, Command::SetIrqs, set_irqs(0x24, 2, 3, 2), 0, fds);
  EXPECT_FALSE(reply.is_error());
  EXPECT_EQ(reply.header.message_size, 16u);
  ASSERT_EQ(backend_.calls.size(), 1u);
  const auto& call = backend_.calls[0];
  EXPECT_EQ(call.index, 2u);
  EXPECT_EQ(call.flags, 0x24u);
  EXPECT_EQ(call.start, 3u);
  EXPECT_EQ(call.count, 2u);
  ASSERT_EQ(call.fds.size(), 2u);
  ASSERT_EQ(::write(call.fds[1].get(), "y", 1), 1);
  char byte;
  EXPECT_EQ(::read(b.fds[0], &byte, 1), 1);
}

TEST_F(Handlers, DeviceResetWithNoReplyResetsSilently) {
  ASSERT_TRUE(client_->send(Client::frame(1, 13, {}, FLAG_NO_REPLY)).has_value());
  auto reply = raw(2, Command::DeviceReset, {});
  EXPECT_FALSE(reply.is_error());
  EXPECT_EQ(reply.header.message_size, 16u);
  EXPECT_EQ(backend_.calls.size(), 2u);
}

TEST_F(Handlers, OversizedWriteIsSkippedWithoutDisturbingTheNextRequest) {
  // A count above the bound is refused; its data, announced by message_size,
  // is discarded rather than read as headers.
  std::vector<std::uint8_t> data(vfio_user::kMaxDataTransfer + 1, 0xee);
  auto bytes = Client::frame(1, 10, access(0, 2, static_cast<std::uint32_t>(data.size()), data));
  EXPECT_TRUE(client_->send(bytes).has_value());
  auto reply = client_->receive();
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->header.error, 22u);
  auto value = client_->read32(2, 0);
  ASSERT_TRUE(value.has_value()) << value.error();
  ASSERT_EQ(backend_.calls.size(), 1u);
  EXPECT_EQ(backend_.calls[0].op, "region_read");
}

TEST_F(Handlers, DeviceGetInfoReportsTheTables) {
  auto reply = raw(1, Command::DeviceGetInfo, std::vector<std::uint8_t>(DeviceInfo::kSize, 0xaa));
  EXPECT_EQ(reply.header.message_size, 32u);
  ASSERT_EQ(reply.payload.size(), 16u);
  EXPECT_EQ(decoded<DeviceInfo>(reply.payload), (DeviceInfo{.argsz = 16, .flags = 3, .num_regions = 9, .num_irqs = 5}));
}

TEST_F(Handlers, RegionInfoOfTheNineRegions) {
  const std::uint64_t sizes[9] = {0x10000000, 0, 0x40000, 0, 0, 0, vfio_user::kMinRomSize,
                                  vfio_user::kConfigSpaceSize, 0};
  const std::uint32_t flags[9] = {3, 0, 3, 0, 0, 0, 1, 3, 0};
  for (std::uint32_t i = 0; i < 9; ++i) {
    auto reply = raw(static_cast<std::uint16_t>(i), Command::DeviceGetRegionInfo, region_query(i));
    EXPECT_EQ(reply.header.message_size, 48u);
    ASSERT_EQ(reply.payload.size(), 32u);
    EXPECT_EQ(decoded<RegionInfo>(reply.payload),
              (RegionInfo{.argsz = 32, .flags = flags[i], .index = i, .cap_offset = 0, .size = sizes[i], .offset = 0}));
  }
}

TEST_F(Handlers, IrqInfoOfTheFiveEntries) {
  for (std::uint32_t i = 0; i < 5; ++i) {
    auto info = client_->irq_info(i);
    ASSERT_TRUE(info.has_value()) << info.error();
    EXPECT_EQ(info->argsz, 16u);
    EXPECT_EQ(info->flags, 0u);
    EXPECT_EQ(info->index, i);
    EXPECT_EQ(info->count, 0u);
  }
}

class NoReplyQuery : public Handlers, public ::testing::WithParamInterface<std::pair<Command, std::size_t>> {};

TEST_P(NoReplyQuery, IsRefusedWithErrorZeroAndTheStreamStaysInStep) {
  auto [command, size] = GetParam();
  auto reply = raw(8, command, std::vector<std::uint8_t>(size, 0x41), FLAG_NO_REPLY);
  EXPECT_TRUE(reply.is_error());
  EXPECT_EQ(reply.header.error, 0u);
  auto info = client_->device_info();
  ASSERT_TRUE(info.has_value()) << info.error();
  EXPECT_EQ(log().at(0), fmt::format("ERROR vfio_user: Error handling command: {}: No_reply bit unexpectedly set "
                                     "for command: {}",
                                     static_cast<int>(command), vfio_user::command_name(command)));
}

INSTANTIATE_TEST_SUITE_P(All, NoReplyQuery,
                         ::testing::Values(std::pair{Command::Version, std::size_t{24}},
                                           std::pair{Command::DeviceGetInfo, DeviceInfo::kSize},
                                           std::pair{Command::DeviceGetRegionInfo, RegionInfo::kSize},
                                           std::pair{Command::GetIrqInfo, IrqInfo::kSize}));

class SparseRegion : public MemoryServer {
 protected:
  void SetUp() override {
    MemoryServer::SetUp();
    ASSERT_EQ(::pipe(pipe_), 0);
    auto regions = device_regions();
    regions[2].sparse_areas = {{0x1000, 0x2000}, {0x8000, 0x100}};
    regions[2].region_fd = pipe_[1];
    regions[0].region_fd = pipe_[1];
    start(false, std::move(regions));
  }
  void TearDown() override {
    ::close(pipe_[0]);
    ::close(pipe_[1]);
  }
  int pipe_[2] = {-1, -1};
};

TEST_F(SparseRegion, SmallArgszGetsTheSizeToAskForAndNoDescriptor) {
  auto client = connect();
  auto reply = client.call(Command::DeviceGetRegionInfo, region_query(2));
  ASSERT_TRUE(reply.has_value()) << reply.error();
  EXPECT_EQ(reply->header.message_size, 48u);
  EXPECT_EQ(decoded<RegionInfo>(reply->payload), (RegionInfo{.argsz = 80,
                                                             .flags = 3u | VFIO_REGION_INFO_FLAG_CAPS,
                                                             .index = 2,
                                                             .cap_offset = 32,
                                                             .size = 0x40000,
                                                             .offset = 0}));
  EXPECT_TRUE(reply->fds.empty());
}

TEST_F(SparseRegion, FullArgszGetsTheCapabilityAndTheDescriptor) {
  auto client = connect();
  auto reply = client.call(Command::DeviceGetRegionInfo, region_query(2));
  ASSERT_TRUE(reply.has_value());
  reply = client.call(Command::DeviceGetRegionInfo, region_query(2, 80));
  ASSERT_TRUE(reply.has_value()) << reply.error();
  EXPECT_EQ(reply->header.message_size, 96u);
  const RegionInfo info = decoded<RegionInfo>(reply->payload);
  EXPECT_EQ(info.argsz, 80u);
  EXPECT_EQ(info.cap_offset, 32u);
  auto cap = SparseMmapCapability::decode(std::span(reply->payload).subspan(info.cap_offset));
  ASSERT_TRUE(cap.has_value());
  EXPECT_EQ(cap->size(), reply->payload.size() - info.cap_offset);
  const SparseMmapCapability expected{.id = VFIO_REGION_INFO_CAP_SPARSE_MMAP,
                                      .version = 1,
                                      .next = 0,
                                      .areas = {{.offset = 0x1000, .size = 0x2000}, {.offset = 0x8000, .size = 0x100}}};
  EXPECT_EQ(*cap, expected);
  // The reserved word after nr_areas goes out as zero.
  EXPECT_EQ(reply->payload[info.cap_offset + 12] | reply->payload[info.cap_offset + 13] |
                reply->payload[info.cap_offset + 14] | reply->payload[info.cap_offset + 15],
            0);
  ASSERT_EQ(reply->fds.size(), 1u);
  ASSERT_EQ(::write(reply->fds[0], "z", 1), 1);
  char byte;
  EXPECT_EQ(::read(pipe_[0], &byte, 1), 1);
}

TEST_F(SparseRegion, DescriptorWithoutSparseAreasIsNotSent) {
  auto client = connect();
  auto reply = client.call(Command::DeviceGetRegionInfo, region_query(0, 64));
  ASSERT_TRUE(reply.has_value()) << reply.error();
  EXPECT_EQ(reply->header.message_size, 48u);
  EXPECT_TRUE(reply->fds.empty());
  auto info = client.device_info();
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->flags, 2u);
}

}  // namespace
}  // namespace zephon_test
