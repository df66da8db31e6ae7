// GuestMemory in-process: which maps it keeps, refuses and forgets, and what
// an access gets from a file that is too short or shrinks under its map.
#include <linux/vfio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "guest_memory.h"
#include "vfio_user/unique_fd.h"

namespace zephon_test {
namespace {

using zephon::GuestMemory;
using vfio_user::UniqueFd;

constexpr std::uint32_t kRead = VFIO_DMA_MAP_FLAG_READ;
constexpr std::uint32_t kWrite = VFIO_DMA_MAP_FLAG_WRITE;

// Returns a memfd of size bytes, byte i holding i % 251.
UniqueFd memfd(std::size_t size) {
  UniqueFd fd(::memfd_create("guest", MFD_CLOEXEC));
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % 251);
  EXPECT_EQ(::write(fd.get(), bytes.data(), size), static_cast<ssize_t>(size));
  return fd;
}

// Returns the error number of a refused map, 0 for a kept one.
int map_error(GuestMemory& memory, std::uint64_t address, std::uint64_t size) {
  auto kept = memory.map(kRead, 0, address, size, std::nullopt);
  return kept ? 0 : kept.error().code();
}

TEST(GuestMemory, RefusesMapsAsTheKernelsVfioDoes) {
  GuestMemory memory;
  ASSERT_EQ(map_error(memory, 0x10000, 0x1000), 0);
  EXPECT_EQ(map_error(memory, 0x20000, 0), EINVAL);
  EXPECT_EQ(map_error(memory, ~std::uint64_t{0} - 0xfff, 0x2000), EINVAL);
  EXPECT_EQ(map_error(memory, 0xf000, 0x1001), EEXIST);
  EXPECT_EQ(map_error(memory, 0x10fff, 0x10), EEXIST);
  EXPECT_EQ(map_error(memory, ~std::uint64_t{0} - 0xfff, 0x1000), 0);  // up to the last address
  for (std::uint64_t n = memory.count(); n < GuestMemory::kMaxMaps; ++n) {
    ASSERT_EQ(map_error(memory, 0x100000 + n * 0x1000, 0x1000), 0);
  }
  EXPECT_EQ(map_error(memory, 0x80000000, 0x1000), ENOSPC);
  EXPECT_EQ(memory.count(), GuestMemory::kMaxMaps);
}

TEST(GuestMemory, UnmapForgetsEveryMapItTouchesWhole) {
  GuestMemory memory;
  for (std::uint64_t address : {0x1000, 0x2000, 0x3000, 0x5000}) ASSERT_EQ(map_error(memory, address, 0x1000), 0);
  memory.unmap(0, 0x2fff, 0x1002);  // the last byte of one map, the first of the next
  EXPECT_EQ(memory.count(), 2u);
  EXPECT_EQ(map_error(memory, 0x2000, 0x2000), 0);
  memory.unmap(0, 0x4000, 0);
  EXPECT_EQ(memory.count(), 3u);
  memory.unmap(VFIO_DMA_UNMAP_FLAG_ALL, 0, 0);
  EXPECT_EQ(memory.count(), 0u);
}

TEST(GuestMemory, AccessFollowsTheFlagsAndTheFileOffset) {
  GuestMemory memory;
  ASSERT_TRUE(memory.map(kWrite, 0, 0x1000, 0x1000, memfd(0x1000)));
  // An offset that is not page-aligned still maps from that byte.
  ASSERT_TRUE(memory.map(kRead, 0x1010, 0x2000, 0x100, memfd(0x2000)));
  std::uint8_t byte = 0;
  EXPECT_EQ(memory.read(0x1000, {&byte, 1}).error(), "the map there is write-only");
  EXPECT_TRUE(memory.write(0x1000, std::span<const std::uint8_t>(&byte, 1)));
  ASSERT_TRUE(memory.read(0x2000, {&byte, 1}));
  EXPECT_EQ(byte, 0x1010 % 251);
  EXPECT_EQ(memory.read(0x20ff, {&byte, 2}).error(), "not wholly inside guest memory");
}

TEST(GuestMemory, AFileTooShortOrShrunkCostsTheAccessNotTheProcess) {
  GuestMemory memory;
  UniqueFd shrinking = memfd(0x4000);
  const int fd = shrinking.get();
  ASSERT_TRUE(memory.map(kRead | kWrite, 0, 0x10000, 0x4000, UniqueFd(::dup(fd))));
  ASSERT_TRUE(memory.map(kRead, 0, 0x20000, 0x2000, memfd(0x1000)));
  std::uint8_t bytes[8] = {};
  EXPECT_EQ(memory.read(0x20000, bytes).error(), "the file of the map there is shorter than the map");
  ASSERT_TRUE(memory.read(0x13000, bytes));
  ASSERT_EQ(::ftruncate(fd, 0x1000), 0);
  EXPECT_EQ(memory.read(0x13000, bytes).error(), "the file of the map there was shrunk under it");
  EXPECT_EQ(memory.write(0x12ffc, std::span<const std::uint8_t>(bytes)).error(),
            "the file of the map there was shrunk under it");
  EXPECT_TRUE(memory.read(0x10ff8, bytes));
}

}  // namespace
}  // namespace zephon_test
