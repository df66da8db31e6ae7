// add_pci_bar: which BARs it refuses (the first failed check, nothing
// changed), what an accepted BAR writes (register, mask, command bit), and
// the text of each error.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "pci.h"
#include "pci_test_util.h"

namespace zephon::pci {
namespace {

struct RefusedBarCase {
  std::string name;
  std::vector<PciBarSpec> before;  // registered first, each must succeed
  PciBarSpec bar;
  std::string error;
};
void PrintTo(const RefusedBarCase& c, std::ostream* os) { *os << c.name; }

class PciAddBarRefused : public ::testing::TestWithParam<RefusedBarCase> {};

TEST_P(PciAddBarRefused, ReportsFirstFailedCheckAndChangesNothing) {
  PciConfiguration config = bare_device();
  for (const PciBarSpec& bar : GetParam().before) ASSERT_TRUE(config.add_pci_bar(bar).has_value());
  const Registers values = registers_of(config);
  const Registers masks = masks_of(config);
  const auto result = config.add_pci_bar(GetParam().bar);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(to_string(result.error()), GetParam().error);
  EXPECT_EQ(registers_of(config), values);
  EXPECT_EQ(masks_of(config), masks);
}

constexpr std::uint64_t k4G = std::uint64_t{1} << 32;
constexpr std::uint64_t k2Pow63 = std::uint64_t{1} << 63;
constexpr PciBarKind kIo = PciBarKind::Io;
constexpr PciBarKind kMem64 = PciBarKind::Memory64;

INSTANTIATE_TEST_SUITE_P(
    Checks, PciAddBarRefused,
    ::testing::Values(
        RefusedBarCase{"IndexAboveRom", {}, {.size = 0x1000, .index = 7}, "BarInvalid(7)"},
        RefusedBarCase{"IndexCheckedFirst", {}, {.address = 3, .size = 6, .index = 7, .kind = kIo}, "BarInvalid(7)"},
        RefusedBarCase{"SlotTaken", {{.size = 0x1000, .index = 2}}, {.size = 0x1000, .index = 2}, "BarInUse(2)"},
        RefusedBarCase{"SlotTakenBeforeSize", {{.size = 0x1000, .index = 2}}, {.size = 0, .index = 2}, "BarInUse(2)"},
        RefusedBarCase{"SlotTakenAsUpperHalf",
                       {{.size = 0x1000, .index = 0, .kind = kMem64}},
                       {.size = 0x1000, .index = 1},
                       "BarInUse(1)"},
        RefusedBarCase{"SizeZero", {}, {.size = 0, .index = 0}, "BarSizeInvalid(0)"},
        RefusedBarCase{"SizeNotPowerOfTwo", {}, {.size = 6, .index = 0}, "BarSizeInvalid(6)"},
        RefusedBarCase{"SizeBeforeRomType", {}, {.size = 6, .index = 6, .kind = kIo}, "BarSizeInvalid(6)"},
        RefusedBarCase{"RomOfIoKind", {}, {.size = 0x1000, .index = 6, .kind = kIo}, "BarInvalidRomType"},
        RefusedBarCase{"RomTypeBeforeMinimum", {}, {.size = 4, .index = 6, .kind = kIo}, "BarInvalidRomType"},
        RefusedBarCase{"RomOf64BitKind", {}, {.size = 0x1000, .index = 6, .kind = kMem64}, "BarInvalidRomType"},
        RefusedBarCase{"RomBelowMinimum", {}, {.size = 1024, .index = 6}, "BarSizeInvalid(1024)"},
        RefusedBarCase{"IoBelowMinimum", {}, {.size = 2, .index = 1, .kind = kIo}, "BarSizeInvalid(2)"},
        RefusedBarCase{"MemoryBelowMinimum", {}, {.size = 8, .index = 0}, "BarSizeInvalid(8)"},
        RefusedBarCase{"Memory64BelowMinimum", {}, {.size = 8, .index = 0, .kind = kMem64}, "BarSizeInvalid(8)"},
        RefusedBarCase{
            "Misaligned", {}, {.address = 0x1000, .size = 0x2000, .index = 0}, "BarAlignmentInvalid(4096, 8192)"},
        RefusedBarCase{
            "MisalignedRom", {}, {.address = 0x800, .size = 0x1000, .index = 6}, "BarAlignmentInvalid(2048, 4096)"},
        RefusedBarCase{"MisalignedBeforeInvalid64",
                       {},
                       {.address = 0x10, .size = 0x1000, .index = 5, .kind = kMem64},
                       "BarAlignmentInvalid(16, 4096)"},
        RefusedBarCase{"EndOverflows",
                       {},
                       {.address = k2Pow63, .size = k2Pow63, .index = 0},
                       "BarAddressInvalid(9223372036854775808, 9223372036854775808)"},
        RefusedBarCase{"OverflowBeforeInvalid64",
                       {},
                       {.address = k2Pow63, .size = k2Pow63, .index = 5, .kind = kMem64},
                       "BarAddressInvalid(9223372036854775808, 9223372036854775808)"},
        RefusedBarCase{"EndAt4G",
                       {},
                       {.address = 0xF000'0000, .size = 0x1000'0000, .index = 0},
                       "BarAddressInvalid(4026531840, 268435456)"},
        RefusedBarCase{"IoEndAt4G",
                       {},
                       {.address = 0xFFFF'FFFC, .size = 4, .index = 0, .kind = kIo},
                       "BarAddressInvalid(4294967292, 4)"},
        RefusedBarCase{
            "RomAbove4G", {}, {.address = k4G, .size = 0x1000, .index = 6}, "BarAddressInvalid(4294967296, 4096)"},
        RefusedBarCase{"Memory64AtLastBar", {}, {.size = 0x1000, .index = 5, .kind = kMem64}, "BarInvalid64(5)"},
        RefusedBarCase{
            "Invalid64BeforeBound", {}, {.address = k4G, .size = k4G, .index = 5, .kind = kMem64}, "BarInvalid64(5)"},
        RefusedBarCase{"Memory64EndAt4G",
                       {},
                       {.address = k4G, .size = k4G, .index = 0, .kind = kMem64},
                       "BarAddressInvalid(4294967296, 4294967296)"},
        RefusedBarCase{"BoundBeforeInUse64",
                       {{.size = 0x1000, .index = 1}},
                       {.address = 0xF000'0000, .size = 0x1000'0000, .index = 0, .kind = kMem64},
                       "BarAddressInvalid(4026531840, 268435456)"},
        RefusedBarCase{"UpperSlotTaken",
                       {{.size = 0x1000, .index = 1}},
                       {.size = 0x1000, .index = 0, .kind = kMem64},
                       "BarInUse64(0)"}),
    [](const ::testing::TestParamInfo<RefusedBarCase>& info) { return info.param.name; });

TEST(PciAddBar, RefusedBarLeavesItsSlotsFree) {
  PciConfiguration config = bare_device();
  ASSERT_TRUE(config.add_pci_bar({.size = 0x1000, .index = 1}).has_value());
  ASSERT_EQ(outcome(config.add_pci_bar({.size = 0x1000, .index = 0, .kind = kMem64})), "BarInUse64(0)");
  ASSERT_EQ(outcome(config.add_pci_bar({.address = k4G, .size = 0x1000, .index = 3, .kind = kMem64})),
            "BarAddressInvalid(4294967296, 4096)");
  EXPECT_EQ(outcome(config.add_pci_bar({.size = 0x1000, .index = 0})), "0");
  EXPECT_EQ(outcome(config.add_pci_bar({.size = 0x1000, .index = 3, .kind = kMem64})), "3");
}

struct BarCase {
  std::string name;
  PciBarSpec bar;
  std::uint32_t command;                                                    // register 1 afterwards
  std::vector<std::tuple<std::size_t, std::uint32_t, std::uint32_t>> regs;  // register, value, mask
  std::uint32_t sized;  // the BAR register after the guest writes all ones
};
void PrintTo(const BarCase& c, std::ostream* os) { *os << c.name; }

class PciAddBarAccepted : public ::testing::TestWithParam<BarCase> {};

TEST_P(PciAddBarAccepted, WritesRegisterMaskAndCommandBit) {
  const BarCase& c = GetParam();
  PciConfiguration config = bare_device();
  Registers values = registers_of(config);
  Registers masks = masks_of(config);
  values[1] = c.command;
  for (auto [reg, value, mask] : c.regs) values[reg] = value, masks[reg] = mask;

  EXPECT_EQ(outcome(config.add_pci_bar(c.bar)), std::to_string(c.bar.index));
  EXPECT_EQ(registers_of(config), values);
  EXPECT_EQ(masks_of(config), masks);
  const std::size_t reg = std::get<0>(c.regs.front());
  write_dword(config, 4 * reg, 0xFFFFFFFF);
  EXPECT_EQ(config.read_reg(reg), c.sized);
  EXPECT_EQ(outcome(config.add_pci_bar(c.bar)), "BarInUse(" + std::to_string(c.bar.index) + ")");
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PciAddBarAccepted,
    ::testing::Values(BarCase{"Memory32",
                              {.address = 0x2000'0000, .size = 0x1000'0000, .index = 0},
                              0x2,
                              {{4, 0x2000'0000, 0xF000'0000}},
                              0xF000'0000},
                      BarCase{"Memory32Prefetchable",
                              {.address = 0x1000, .size = 0x1000, .index = 1, .prefetch = 0x08},
                              0x2,
                              {{5, 0x1008, 0xFFFF'F000}},
                              0xFFFF'F008},
                      BarCase{"Memory32EndBelow4G",
                              {.address = 0xE000'0000, .size = 0x1000'0000, .index = 5},
                              0x2,
                              {{9, 0xE000'0000, 0xF000'0000}},
                              0xF000'0000},
                      BarCase{"IoOfMinimumSize",
                              {.address = 0x1004, .size = 4, .index = 3, .kind = kIo},
                              0x1,
                              {{7, 0x1005, 0xFFFF'FFFC}},
                              0xFFFF'FFFD},
                      BarCase{"IoIgnoresPrefetch",
                              {.address = 0x100, .size = 0x100, .index = 2, .prefetch = 0x08, .kind = kIo},
                              0x1,
                              {{6, 0x101, 0xFFFF'FF00}},
                              0xFFFF'FF01},
                      BarCase{"RomOfMinimumSize", {.size = 2048, .index = 6}, 0x2, {{12, 0, 0xFFFF'F801}}, 0xFFFF'F801},
                      BarCase{"RomAtAddress",
                              {.address = 0xC'0000, .size = 0x1'0000, .index = 6},
                              0x2,
                              {{12, 0xC'0000, 0xFFFF'0001}},
                              0xFFFF'0001},
                      BarCase{"Memory64",
                              {.address = 0x2000, .size = 0x1000, .index = 0, .kind = kMem64},
                              0x2,
                              {{4, 0x2004, 0xFFFF'F000}, {5, 0, 0xFFFF'FFFF}},
                              0xFFFF'F004},
                      BarCase{
                          "Memory64Prefetchable",
                          {.address = 0x4000'0000, .size = 0x4000'0000, .index = 4, .prefetch = 0x08, .kind = kMem64},
                          0x2,
                          {{8, 0x4000'000C, 0xC000'0000}, {9, 0, 0xFFFF'FFFF}},
                          0xC000'000C}),
    [](const ::testing::TestParamInfo<BarCase>& info) { return info.param.name; });

TEST(PciAddBar, CommandBitsAccumulateAcrossKinds) {
  PciConfiguration config = bare_device();
  ASSERT_TRUE(config.add_pci_bar({.size = 0x100, .index = 0, .kind = kIo}).has_value());
  ASSERT_TRUE(config.add_pci_bar({.size = 0x1000, .index = 1}).has_value());
  EXPECT_EQ(config.read_reg(1), 0x3u);
}

class PciErrorText : public ::testing::TestWithParam<std::pair<Error, std::string>> {};

TEST_P(PciErrorText, NamesKindAndFields) { EXPECT_EQ(to_string(GetParam().first), GetParam().second); }

INSTANTIATE_TEST_SUITE_P(
    Kinds, PciErrorText,
    ::testing::Values(std::pair{Error::bar_in_use64(3), std::string("BarInUse64(3)")},
                      std::pair{Error::bar_size_invalid(UINT64_MAX),
                                std::string("BarSizeInvalid(18446744073709551615)")},
                      std::pair{Error::capability_empty(), std::string("CapabilityEmpty")},
                      std::pair{Error::capability_length_invalid(12), std::string("CapabilityLengthInvalid(12)")},
                      std::pair{Error::capability_space_full(300), std::string("CapabilitySpaceFull(300)")}));

}  // namespace
}  // namespace zephon::pci
