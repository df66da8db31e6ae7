// VRAM behind BAR 0, end to end: the real binary with scripts that enable
// it (or not), its region information and descriptor as the project's
// client receives them, the descriptor mapped here as a monitor maps it,
// and the same bytes read back over the socket and by the script.
#include <linux/vfio.h>
#include <sys/mman.h>

#include <gtest/gtest.h>

#include <cstring>

#include "script_run.h"
#include "vfio_user/payloads.h"

namespace zephon_test {
namespace {

using vfio_user::RegionInfo;
using vfio_user::SparseMmapCapability;
using vfio_user_client::Client;
using vfio_user_client::Reply;

constexpr std::uint64_t kVram = std::uint64_t{256} << 20;
constexpr std::uint32_t kReadWrite = VFIO_REGION_INFO_FLAG_READ | VFIO_REGION_INFO_FLAG_WRITE;
// Asked of BAR 0 with room for a capability of one area.
constexpr std::uint32_t kRoom = RegionInfo::kSize + SparseMmapCapability::kHeaderSize + SparseMmapCapability::kAreaSize;

// Writing an offset to register 0x10 makes the script copy the VRAM word
// there to register 0x11; writing one to 0x12 makes it store 0xfeedface there.
constexpr std::string_view kHooks = R"(
on_write[0x10] = function(offset) regs[0x11] = vram.read32(offset) end
on_write[0x12] = function(offset) vram.write32(offset, 0xfeedface) end
)";

// Returns BAR 0's region information reply, offering argsz bytes of room.
Reply bar0_info(Client& client, std::uint32_t argsz) {
  auto reply = client.call(vfio_user::Command::DeviceGetRegionInfo,
                           RegionInfo{.argsz = argsz, .index = 0}.encode());
  EXPECT_TRUE(reply.has_value()) << (reply ? "" : reply.error());
  return reply ? std::move(*reply) : Reply{};
}

std::vector<std::uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

// The script reads what the guest wrote to VRAM, and writes what the guest reads.
void expect_script_shares_vram(Client& client, std::uint64_t offset, std::uint32_t guest_word) {
  ASSERT_TRUE(client.write32(2, 0x40, static_cast<std::uint32_t>(offset)).has_value());
  EXPECT_EQ(client.read32(2, 0x44), guest_word);
  ASSERT_TRUE(client.write32(2, 0x48, static_cast<std::uint32_t>(offset + 0x100)).has_value());
  EXPECT_EQ(client.read32(0, offset + 0x100), 0xfeedfaceu);
}

using VramScript = ScriptRun;

TEST_F(VramScript, MappableVramIsOfferedWithItsDescriptorAndIsOneMemory) {
  auto [process, client] = serve(write_script("device.lua", "vram.enable()\n" + std::string(kHooks)));
  ASSERT_TRUE(client);

  Reply reply = bar0_info(*client, kRoom);
  ASSERT_EQ(reply.payload.size(), kRoom);
  const auto info = RegionInfo::decode(reply.payload);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->flags, kReadWrite | VFIO_REGION_INFO_FLAG_MMAP | VFIO_REGION_INFO_FLAG_CAPS);
  EXPECT_EQ(info->size, kVram);
  const auto cap = SparseMmapCapability::decode(std::span(reply.payload).subspan(RegionInfo::kSize));
  ASSERT_TRUE(cap.has_value());
  ASSERT_EQ(cap->areas.size(), 1u);
  EXPECT_EQ(cap->areas[0].offset, 0u);
  EXPECT_EQ(cap->areas[0].size, kVram);
  ASSERT_EQ(reply.fds.size(), 1u);
  // The other regions are as they always were.
  auto bar2 = client->region_info(2, kRoom);
  ASSERT_TRUE(bar2.has_value());
  EXPECT_EQ(bar2->flags, kReadWrite);

  // The descriptor mapped as a monitor maps it: the guest's accesses.
  void* mapped = ::mmap(nullptr, kVram, PROT_READ | PROT_WRITE, MAP_SHARED, reply.fds[0], 0);
  ASSERT_NE(mapped, MAP_FAILED);
  auto* guest = static_cast<std::uint8_t*>(mapped);
  std::memcpy(guest + 0x40000, "\x11\x22\x33\x44\x55", 5);
  std::memcpy(guest + kVram - 2, "\x66\x77", 2);
  EXPECT_EQ(client->region_read(0, 0x40001, 3), bytes("\x22\x33\x44"));
  EXPECT_EQ(client->region_read(0, kVram - 2, 4), bytes(std::string_view("\x66\x77\0\0", 4)));
  ASSERT_TRUE(client->region_write(0, 0x123457, bytes("\xaa\xbb\xcc")).has_value());
  EXPECT_EQ(std::memcmp(guest + 0x123457, "\xaa\xbb\xcc", 3), 0);
  expect_script_shares_vram(*client, 0x40000, 0x44332211);
  EXPECT_EQ(std::memcmp(guest + 0x40100, "\xce\xfa\xed\xfe", 4), 0);
  ::munmap(mapped, kVram);

  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.dump.size(), 262144u);
  EXPECT_GE(run.find("DEBUG zephon: Vram  read  0x0000000000040000 +4"), 0) << run.err;
}

TEST_F(VramScript, VramKeptOnTheSocketOffersNoDescriptorButRemembers) {
  auto [process, client] = serve(write_script("device.lua", "vram.enable{mappable = false}\n" + std::string(kHooks)));
  ASSERT_TRUE(client);
  Reply reply = bar0_info(*client, kRoom);
  const auto info = RegionInfo::decode(reply.payload);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->argsz, RegionInfo::kSize);
  EXPECT_EQ(info->flags, kReadWrite);
  EXPECT_EQ(reply.payload.size(), RegionInfo::kSize);
  EXPECT_TRUE(reply.fds.empty());

  ASSERT_TRUE(client->region_write(0, 0x1000, bytes("\x01\x02\x03\x04\x05\x06\x07\x08"), true).has_value());
  EXPECT_EQ(client->region_read(0, 0x1002, 2), bytes("\x03\x04"));
  expect_script_shares_vram(*client, 0x1004, 0x08070605);
  ASSERT_TRUE(client->reset().has_value());
  EXPECT_EQ(client->region_read(0, 0x1000, 1), bytes("\x01"));  // VRAM outlives a reset
  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
}

// A scripted device that does not enable VRAM, or tries too late, keeps
// BAR 0 as it always was: zeros, writes dropped, nothing to map.
TEST_F(VramScript, WithoutEnableBar0IsUnchangedAndAHookCannotEnableIt) {
  auto [process, client] = serve(write_script("device.lua", R"(
on_write[0x10] = function() vram.enable() end
on_write[0x11] = function() regs[0x12] = vram.read8(0) end
)"));
  ASSERT_TRUE(client);
  Reply reply = bar0_info(*client, kRoom);
  const auto info = RegionInfo::decode(reply.payload);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->argsz, 32u);
  EXPECT_EQ(info->flags, kReadWrite);
  EXPECT_EQ(info->size, kVram);
  EXPECT_TRUE(reply.fds.empty());
  ASSERT_TRUE(client->write32(2, 0x40, 1).has_value());
  ASSERT_TRUE(client->write32(2, 0x44, 1).has_value());
  ASSERT_TRUE(client->region_write(0, 0x10, bytes("\x01\x02\x03\x04")).has_value());
  EXPECT_EQ(client->region_read(0, 0x10, 4), bytes(std::string_view("\0\0\0\0", 4)));
  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.count_containing("ERROR zephon::script: Script error in on_write[0x0010], the access is served as a "
                                 "plain register: " + (dir_ / "device.lua").string() +
                                 ":2: vram.enable() can only be called while the script loads"),
            1u)
      << run.err;
  EXPECT_EQ(run.count_containing("vram.read8 0x0000000000000000 +1 refused: VRAM is not enabled"), 1u) << run.err;
}

}  // namespace
}  // namespace zephon_test
