// The memory behind VRAM in-process: its bounds and its seals (the rest is
// tested over a real socket in script_vram_test.cpp).
#include "vram.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <vector>

namespace zephon {
namespace {

using Bytes = std::vector<std::uint8_t>;

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

}  // namespace
}  // namespace zephon
