// VRAM behind BAR 0 in-process: the memory's bounds, its seals, the device
// model's BAR 0 with and without it, and the region table that offers it.
#include "vram.h"

#include <linux/vfio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "backend.h"
#include "device.h"
#include "vram_space.h"
#include "log_capture.h"

namespace zephon {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::unique_ptr<Backend> make_backend() {
  auto config = device::configuration(device::rom_size(0));
  EXPECT_TRUE(config.has_value());
  return std::make_unique<Backend>(*config, Bytes{});
}

TEST(Vram, ReadsZerosAndKeepsWhatIsWrittenUpToItsEnd) {
  auto vram = Vram::create(8192);
  ASSERT_TRUE(vram.has_value()) << vram.error();
  Bytes out(16, 0xAA);
  (*vram)->read(100, out);
  EXPECT_EQ(out, Bytes(16, 0));

  // A write across the end keeps what fits; a read across it pads with zeros.
  (*vram)->write(8190, Bytes{1, 2, 3, 4});
  out.assign(4, 0xAA);
  (*vram)->read(8190, out);
  EXPECT_EQ(out, (Bytes{1, 2, 0, 0}));
  (*vram)->write(UINT64_MAX, Bytes{9});
  out.assign(2, 0xAA);
  (*vram)->read(UINT64_MAX, out);
  EXPECT_EQ(out, Bytes(2, 0));
  EXPECT_EQ((*vram)->bytes()[8191], 2);

  // Sealed: a monitor holding the descriptor cannot cut the memory off.
  EXPECT_NE(::ftruncate((*vram)->fd(), 0), 0);
  EXPECT_NE(::ftruncate((*vram)->fd(), 16384), 0);
}

TEST(Vram, AnotherMappingOfTheDescriptorSeesTheSameBytes) {
  auto vram = Vram::create(4096);
  ASSERT_TRUE(vram.has_value()) << vram.error();
  void* other = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, (*vram)->fd(), 0);
  ASSERT_NE(other, MAP_FAILED);
  static_cast<std::uint8_t*>(other)[7] = 0x5A;
  Bytes out(1);
  (*vram)->read(7, out);
  EXPECT_EQ(out[0], 0x5A);
  (*vram)->write(8, Bytes{0xA5});
  EXPECT_EQ(static_cast<std::uint8_t*>(other)[8], 0xA5);
  ::munmap(other, 4096);
}

TEST(VramSpace, RefusesRangesBeforeEnableAndPastTheEndAndASecondEnable) {
  VramSpace space;
  Bytes out(4);
  EXPECT_EQ(space.read(0, out), std::unexpected(std::string_view("VRAM is not enabled")));
  EXPECT_EQ(space.mappable_fd(), std::nullopt);
  ASSERT_TRUE(space.enable(true).has_value());
  ASSERT_TRUE(space.mappable_fd().has_value());
  EXPECT_TRUE(space.write(VramSpace::kBytes - 4, Bytes{1, 2, 3, 4}).has_value());
  EXPECT_TRUE(space.read(VramSpace::kBytes - 4, out).has_value());
  EXPECT_EQ(out, (Bytes{1, 2, 3, 4}));
  const auto outside = std::unexpected(std::string_view("outside the 256 MiB of VRAM"));
  EXPECT_EQ(space.read(VramSpace::kBytes - 3, out), outside);
  EXPECT_EQ(space.write(UINT64_MAX, Bytes{1}), outside);
  Bytes none;
  EXPECT_TRUE(space.read(VramSpace::kBytes, none).has_value());
  EXPECT_EQ(space.enable(false), std::unexpected(std::string("VRAM is enabled already")));
  EXPECT_TRUE(space.mappable_fd().has_value());
}

TEST(BackendVram, Bar0RemembersAnyShapeSilentlyAndSurvivesAReset) {
  auto backend = make_backend();
  EXPECT_EQ(backend->bar0_fd(), std::nullopt);
  ASSERT_TRUE(backend->enable_vram(false).has_value());
  EXPECT_EQ(backend->bar0_fd(), std::nullopt);
  ASSERT_NE(backend->vram(), nullptr);
  EXPECT_EQ(backend->vram()->size(), VramSpace::kBytes);

  Bytes out(5, 0xAA);
  const std::string log = zephon_test::logged_by([&] {
    EXPECT_TRUE(backend->region_write(0, 0x40003, Bytes{1, 2, 3}).has_value());
    EXPECT_TRUE(backend->region_write(0, VramSpace::kBytes - 1, Bytes{7, 8}).has_value());
    EXPECT_TRUE(backend->reset().has_value());
    EXPECT_TRUE(backend->region_read(0, 0x40002, out).has_value());
  });
  EXPECT_EQ(out, (Bytes{0, 1, 2, 3, 0}));
  EXPECT_EQ(log, "");
  Bytes tail(2, 0xAA);
  EXPECT_TRUE(backend->region_read(0, VramSpace::kBytes - 1, tail).has_value());
  EXPECT_EQ(tail, (Bytes{7, 0}));
}

TEST(BackendVram, OnlyMappableVramIsOfferedInTheRegionTable) {
  auto plain = device::region_table(2048);
  auto backend = make_backend();
  ASSERT_TRUE(backend->enable_vram(true).has_value());
  ASSERT_TRUE(backend->bar0_fd().has_value());
  EXPECT_EQ(*backend->bar0_fd(), backend->vram()->fd());
  auto offered = device::region_table(2048, backend->bar0_fd());

  ASSERT_EQ(offered.size(), plain.size());
  EXPECT_EQ(plain[0].region_fd, std::nullopt);
  EXPECT_TRUE(plain[0].sparse_areas.empty());
  EXPECT_EQ(plain[0].region_info.flags, VFIO_REGION_INFO_FLAG_READ | VFIO_REGION_INFO_FLAG_WRITE);
  EXPECT_EQ(offered[0].region_fd, backend->vram()->fd());
  EXPECT_EQ(offered[0].region_info.flags,
            VFIO_REGION_INFO_FLAG_READ | VFIO_REGION_INFO_FLAG_WRITE | VFIO_REGION_INFO_FLAG_MMAP);
  ASSERT_EQ(offered[0].sparse_areas.size(), 1u);
  EXPECT_EQ(offered[0].sparse_areas[0].offset, 0u);
  EXPECT_EQ(offered[0].sparse_areas[0].size, device::kBar0Size);
  for (std::size_t i = 1; i < plain.size(); ++i) {
    EXPECT_EQ(offered[i].region_fd, std::nullopt);
    EXPECT_TRUE(offered[i].sparse_areas.empty());
    EXPECT_EQ(offered[i].region_info.flags, plain[i].region_info.flags);
  }
}

}  // namespace
}  // namespace zephon
