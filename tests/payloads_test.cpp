// The payload codecs: every type round-trips, refuses a buffer one byte
// short, ignores what follows it, and lays its fields out byte for byte as
// the Linux VFIO structure it carries, which is what real monitors send.
#include <gtest/gtest.h>
#include <linux/vfio.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <vector>

#include "vfio_user/payloads.h"

namespace {

using vfio_user::DeviceInfo;
using vfio_user::DmaMap;
using vfio_user::DmaUnmap;
using vfio_user::IrqInfo;
using vfio_user::IrqSet;
using vfio_user::RegionAccess;
using vfio_user::RegionInfo;
using vfio_user::ShortPayload;
using vfio_user::SparseMmapCapability;

// The wire sizes and field offsets are the kernel's.
static_assert(RegionInfo::kSize == sizeof(vfio_region_info));
static_assert(offsetof(vfio_region_info, index) == 8 && offsetof(vfio_region_info, cap_offset) == 12);
static_assert(offsetof(vfio_region_info, size) == 16 && offsetof(vfio_region_info, offset) == 24);
static_assert(IrqInfo::kSize == sizeof(vfio_irq_info));
static_assert(IrqSet::kSize == sizeof(vfio_irq_set));
static_assert(offsetof(vfio_irq_set, start) == 12 && offsetof(vfio_irq_set, count) == 16);
static_assert(DeviceInfo::kSize == offsetof(vfio_device_info, num_irqs) + sizeof(vfio_device_info::num_irqs));
static_assert(DmaMap::kSize == sizeof(vfio_iommu_type1_dma_map));
static_assert(offsetof(vfio_iommu_type1_dma_map, vaddr) == 8 && offsetof(vfio_iommu_type1_dma_map, iova) == 16);
static_assert(DmaUnmap::kSize == sizeof(vfio_iommu_type1_dma_unmap));
static_assert(offsetof(vfio_iommu_type1_dma_unmap, iova) == 8 && offsetof(vfio_iommu_type1_dma_unmap, size) == 16);
static_assert(SparseMmapCapability::kHeaderSize == sizeof(vfio_region_info_cap_sparse_mmap));
static_assert(SparseMmapCapability::kAreaSize == sizeof(vfio_region_sparse_mmap_area));

// One example of each payload, every field distinct from the others and
// from zero, so a swapped, dropped or misplaced field shows.
template <typename Payload>
Payload sample();

template <>
RegionAccess sample() {
  return {.offset = 0x0102030405060708, .region = 0x11121314, .count = 0x21222324};
}
template <>
DmaMap sample() {
  return {.argsz = 0x31323334,
          .flags = 0x41424344,
          .offset = 0x5152535455565758,
          .address = 0x6162636465666768,
          .size = 0x7172737475767778};
}
template <>
DmaUnmap sample() {
  return {.argsz = 0x31323334, .flags = 0x41424344, .address = 0x6162636465666768, .size = 0x7172737475767778};
}
template <>
DeviceInfo sample() {
  return {.argsz = 0x81828384, .flags = 0x91929394, .num_regions = 0xa1a2a3a4, .num_irqs = 0xb1b2b3b4};
}
template <>
RegionInfo sample() {
  return {.argsz = 0x81828384,
          .flags = 0x91929394,
          .index = 0xa1a2a3a4,
          .cap_offset = 0xb1b2b3b4,
          .size = 0xc1c2c3c4c5c6c7c8,
          .offset = 0xd1d2d3d4d5d6d7d8};
}
template <>
IrqInfo sample() {
  return {.argsz = 0x81828384, .flags = 0x91929394, .index = 0xa1a2a3a4, .count = 0xb1b2b3b4};
}
template <>
IrqSet sample() {
  return {.argsz = 0x81828384, .flags = 0x91929394, .index = 0xa1a2a3a4, .start = 0xb1b2b3b4, .count = 0xc1c2c3c4};
}
template <>
SparseMmapCapability sample() {
  return {.id = 0x0102, .version = 0x0304, .next = 0x05060708,
          .areas = {{.offset = 0x1112131415161718, .size = 0x2122232425262728},
                    {.offset = 0x3132333435363738, .size = 0x4142434445464748}}};
}

// Returns the bytes of sample<Payload>(): a fixed array, or the capability's
// vector.
template <typename Payload>
std::vector<std::uint8_t> sample_bytes() {
  const auto bytes = sample<Payload>().encode();
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

// Returns how many bytes decode needs before it accepts the sample.
template <typename Payload>
std::size_t fixed_size() {
  if constexpr (std::is_same_v<Payload, SparseMmapCapability>) {
    return sample<Payload>().size();
  } else {
    return Payload::kSize;
  }
}

// Returns v's bytes, as a vector, for comparisons.
template <typename Array>
std::vector<std::uint8_t> vec(const Array& v) {
  return std::vector<std::uint8_t>(v.begin(), v.end());
}

template <typename Payload>
class PayloadCodec : public ::testing::Test {};

using AllPayloads =
    ::testing::Types<RegionAccess, DmaMap, DmaUnmap, DeviceInfo, RegionInfo, IrqInfo, IrqSet, SparseMmapCapability>;
TYPED_TEST_SUITE(PayloadCodec, AllPayloads);

TYPED_TEST(PayloadCodec, RoundTrips) {
  const std::vector<std::uint8_t> bytes = sample_bytes<TypeParam>();
  ASSERT_EQ(bytes.size(), fixed_size<TypeParam>());
  const auto decoded = TypeParam::decode(bytes);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(*decoded, sample<TypeParam>());
  EXPECT_EQ(sample_bytes<TypeParam>(), bytes) << "encoding is not deterministic";
}

TYPED_TEST(PayloadCodec, DefaultRoundTrips) {
  const auto bytes = TypeParam{}.encode();
  const auto decoded = TypeParam::decode(bytes);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(*decoded, TypeParam{});
}

TYPED_TEST(PayloadCodec, RefusesOneByteShort) {
  const std::vector<std::uint8_t> bytes = sample_bytes<TypeParam>();
  const std::size_t size = fixed_size<TypeParam>();
  const auto decoded = TypeParam::decode(std::span(bytes).first(size - 1));
  ASSERT_FALSE(decoded.has_value());
  EXPECT_EQ(decoded.error(), (ShortPayload{size, size - 1}));
}

TYPED_TEST(PayloadCodec, RefusesNothing) {
  const auto decoded = TypeParam::decode({});
  ASSERT_FALSE(decoded.has_value());
  EXPECT_EQ(decoded.error().got, 0u);
  EXPECT_GT(decoded.error().needed, 0u);
}

TYPED_TEST(PayloadCodec, IgnoresTrailingBytes) {
  std::vector<std::uint8_t> bytes = sample_bytes<TypeParam>();
  bytes.insert(bytes.end(), {0xde, 0xad, 0xbe, 0xef});
  const auto decoded = TypeParam::decode(bytes);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(*decoded, sample<TypeParam>());
}

TYPED_TEST(PayloadCodec, EveryFieldReachesTheWire) {
  // Changing any single byte of the encoding changes what is decoded, so
  // no field overlaps another or is left out.
  const std::vector<std::uint8_t> bytes = sample_bytes<TypeParam>();
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if constexpr (std::is_same_v<TypeParam, SparseMmapCapability>) {
      // nr_areas is the areas' length and the reserved word is not kept.
      if (i >= 8 && i < 16) continue;
    }
    std::vector<std::uint8_t> changed = bytes;
    changed[i] ^= 0xff;
    const auto decoded = TypeParam::decode(changed);
    ASSERT_TRUE(decoded.has_value()) << "byte " << i;
    EXPECT_NE(*decoded, sample<TypeParam>()) << "byte " << i << " is not part of any field";
    EXPECT_EQ(vec(decoded->encode()), changed);
  }
}

// Returns the bytes of a kernel structure as they sit in memory, which on
// a little-endian host are the wire bytes.
template <typename T>
std::vector<std::uint8_t> memory_of(const T& value, std::size_t size = sizeof(T)) {
  std::vector<std::uint8_t> out(size);
  std::memcpy(out.data(), &value, size);
  return out;
}

class KernelLayout : public ::testing::Test {
 protected:
  void SetUp() override {
    if constexpr (std::endian::native != std::endian::little) GTEST_SKIP() << "the host is not little-endian";
  }
};

TEST_F(KernelLayout, RegionInfoIsVfioRegionInfo) {
  const RegionInfo p = sample<RegionInfo>();
  const vfio_region_info k{.argsz = p.argsz, .flags = p.flags, .index = p.index, .cap_offset = p.cap_offset,
                           .size = p.size, .offset = p.offset};
  EXPECT_EQ(vec(p.encode()), memory_of(k));
  EXPECT_EQ(RegionInfo::of(k), p);
}

TEST_F(KernelLayout, IrqInfoIsVfioIrqInfo) {
  const IrqInfo p = sample<IrqInfo>();
  const vfio_irq_info k{.argsz = p.argsz, .flags = p.flags, .index = p.index, .count = p.count};
  EXPECT_EQ(vec(p.encode()), memory_of(k));
}

TEST_F(KernelLayout, IrqSetIsTheFixedPartOfVfioIrqSet) {
  const IrqSet p = sample<IrqSet>();
  vfio_irq_set k{};
  k.argsz = p.argsz;
  k.flags = p.flags;
  k.index = p.index;
  k.start = p.start;
  k.count = p.count;
  EXPECT_EQ(vec(p.encode()), memory_of(k));
}

TEST_F(KernelLayout, DeviceInfoIsTheFirstFourFieldsOfVfioDeviceInfo) {
  const DeviceInfo p = sample<DeviceInfo>();
  vfio_device_info k{};
  k.argsz = p.argsz;
  k.flags = p.flags;
  k.num_regions = p.num_regions;
  k.num_irqs = p.num_irqs;
  EXPECT_EQ(vec(p.encode()), memory_of(k, DeviceInfo::kSize));
}

TEST_F(KernelLayout, DmaMapIsVfioDmaMapWithTheFileOffsetForVaddr) {
  const DmaMap p = sample<DmaMap>();
  const vfio_iommu_type1_dma_map k{.argsz = p.argsz, .flags = p.flags, .vaddr = p.offset, .iova = p.address,
                                   .size = p.size};
  EXPECT_EQ(vec(p.encode()), memory_of(k));
}

TEST_F(KernelLayout, DmaUnmapIsTheFixedPartOfVfioDmaUnmap) {
  const DmaUnmap p = sample<DmaUnmap>();
  vfio_iommu_type1_dma_unmap k{};
  k.argsz = p.argsz;
  k.flags = p.flags;
  k.iova = p.address;
  k.size = p.size;
  EXPECT_EQ(vec(p.encode()), memory_of(k));
}

TEST_F(KernelLayout, SparseMmapIsVfioRegionInfoCapSparseMmap) {
  const SparseMmapCapability p = sample<SparseMmapCapability>();
  // The kernel structure ends in a flexible array of areas.
  alignas(vfio_region_info_cap_sparse_mmap) std::array<std::uint8_t, 16 + 2 * 16> memory{};
  vfio_region_info_cap_sparse_mmap header{};
  header.header.id = p.id;
  header.header.version = p.version;
  header.header.next = p.next;
  header.nr_areas = 2;
  std::memcpy(memory.data(), &header, sizeof header);
  std::memcpy(memory.data() + offsetof(vfio_region_info_cap_sparse_mmap, areas), p.areas.data(),
              2 * sizeof(vfio_region_sparse_mmap_area));
  EXPECT_EQ(p.encode(), vec(memory));
}

// The layout written out byte by byte, host-independent: little-endian
// fields at the offsets the protocol gives.
TEST(PayloadBytes, RegionAccessIsOffsetRegionCount) {
  const std::array<std::uint8_t, 16> expected = {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,
                                                 0x14, 0x13, 0x12, 0x11, 0x24, 0x23, 0x22, 0x21};
  EXPECT_EQ(sample<RegionAccess>().encode(), expected);
}

TEST(PayloadBytes, SparseMmapHeaderCountsItsAreas) {
  const SparseMmapCapability cap{.areas = {{.offset = 0x1000, .size = 0x2000}}};
  const std::vector<std::uint8_t> expected = {
      0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,  // id 1 (sparse mmap), version 1, next 0
      0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // nr_areas 1, reserved
      0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // offset
      0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // size
  };
  EXPECT_EQ(cap.encode(), expected);
  EXPECT_EQ(cap.size(), expected.size());
  // Into a span one byte short: refused, nothing written.
  std::vector<std::uint8_t> out(expected.size() - 1, 0xee);
  EXPECT_EQ(cap.encode(std::span(out)), std::unexpected(ShortPayload{expected.size(), out.size()}));
  EXPECT_EQ(out, std::vector<std::uint8_t>(expected.size() - 1, 0xee));
  out.push_back(0xee);
  EXPECT_TRUE(cap.encode(std::span(out)).has_value());
  EXPECT_EQ(out, expected);
}

TEST(PayloadBytes, SparseMmapRefusesAreasItWasNotGiven) {
  // nr_areas announces more areas than the bytes hold: refused before any
  // are reserved, however large the number.
  std::vector<std::uint8_t> bytes = sample<SparseMmapCapability>().encode();
  bytes[8] = 0xff;
  bytes[9] = 0xff;
  bytes[10] = 0xff;
  bytes[11] = 0xff;
  const auto decoded = SparseMmapCapability::decode(bytes);
  ASSERT_FALSE(decoded.has_value());
  EXPECT_EQ(decoded.error(), (ShortPayload{16 + 16 * std::size_t{0xffffffff}, bytes.size()}));
}

TEST(PayloadBytes, SparseMmapWithoutAreasIsItsHeader) {
  const SparseMmapCapability cap{};
  EXPECT_EQ(cap.size(), SparseMmapCapability::kHeaderSize);
  const auto decoded = SparseMmapCapability::decode(cap.encode());
  ASSERT_TRUE(decoded.has_value());
  EXPECT_TRUE(decoded->areas.empty());
}

}  // namespace
