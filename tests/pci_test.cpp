#include "pci.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "device.h"
#include "log.h"
#include "log_capture.h"
#include "pci_test_util.h"

namespace zephon::pci {
namespace {

using zephon_test::logged_by;

// The line a WARN event of the configuration space leaves once stripped.
std::string warning(const std::string& message) { return " WARN zephon::pci: " + message + "\n"; }

std::uint64_t rom_bar_size(std::size_t rom_length) {
  std::uint64_t size = 2048;
  while (size < rom_length) size *= 2;
  return size;
}

// The device as start-up builds it, for a ROM image of rom_length bytes.
PciConfiguration startup_device(std::size_t rom_length) {
  EXPECT_EQ(device::rom_size(rom_length), rom_bar_size(rom_length));
  auto config = device::configuration(device::rom_size(rom_length));
  EXPECT_TRUE(config.has_value()) << to_string(config.error());
  return config.value_or(bare_device());
}

// A ROM BAR must fit below 4 GiB; the refusal names the BAR's address and
// size as start-up reports them.
TEST(PciStartupDevice, RefusesARomBarOfFourGib) {
  auto config = device::configuration(device::rom_size(std::uint64_t{1} << 32));
  ASSERT_FALSE(config.has_value());
  EXPECT_EQ(to_string(config.error()), "BarAddressInvalid(0, 4294967296)");
  EXPECT_TRUE(device::configuration(device::rom_size(std::uint64_t{1} << 31)).has_value());
}

TEST(PciStartupDevice, RegistersBeforeAnyWrite) {
  Registers expected{};
  expected[0] = 0x67801002;
  expected[1] = 0x00000002;
  expected[2] = 0x03800000;
  EXPECT_EQ(registers_of(startup_device(4096)), expected);
}

// The MSI capability's vector count is capped at the 32 MSI allows; only
// the message control's enable and vector-count bits, the address and the
// data are writable, and Multiple Message Enable takes no encoding past the
// vectors offered.
TEST(PciMsiCapability, CapsTheVectorsAndMasksTheMessageControl) {
  for (const auto& [log2, capable] : {std::pair{0u, 0x0u}, std::pair{3u, 0x6u}, std::pair{9u, 0xAu}}) {
    PciConfiguration config = bare_device();
    ASSERT_EQ(config.add_msi_capability(log2), 0x50);
    EXPECT_EQ(config.read_reg(0x50 / 4), 0x00800005u | capable << 16) << log2;
    EXPECT_EQ(config.msi_control().vectors, 1u);
    write_dword(config, 0x50, 0xFFFFFFFF);
    EXPECT_EQ(config.read_reg(0x50 / 4), 0x00810005u | capable << 16) << log2;
    const std::uint32_t enable = std::min(log2, 5u);
    write_dword(config, 0x50, 0x00010000 | enable << 20);
    EXPECT_EQ(config.read_reg(0x50 / 4), 0x00810005u | capable << 16 | enable << 20) << log2;
    EXPECT_TRUE(config.msi_control().enabled);
    EXPECT_EQ(config.msi_control().vectors, 1u << enable);
    if (enable < 5) {
      // One past the offer: the field keeps what it held, the enable bit goes.
      write_dword(config, 0x50, (enable + 1) << 20);
      EXPECT_EQ(config.read_reg(0x50 / 4), 0x00800005u | capable << 16 | enable << 20) << log2;
    }
  }
}

// Capabilities are linked in the order added, dword-aligned one after the
// other; each field is writable as its mask says; a refused one changes
// nothing.
TEST(PciCapabilityList, LinksCapabilitiesAndRefusesWhatDoesNotFit) {
  PciConfiguration config = bare_device();
  const PciCapabilityField power[] = {{.offset = 2, .width = 2, .value = 0x0003, .write_mask = 0},
                                      {.offset = 4, .width = 2, .value = 0, .write_mask = 0x0003}};
  ASSERT_EQ(config.add_capability(0x01, power), 0x50);
  EXPECT_EQ(config.read_reg(1) & 0x00100000u, 0x00100000u);
  EXPECT_EQ(config.read_reg(0x34 / 4), 0x50u);
  const PciCapabilityField vendor[] = {{.offset = 3, .width = 1, .value = 0x42, .write_mask = 0xF0}};
  ASSERT_EQ(config.add_capability(0x09, vendor), 0x58);
  EXPECT_EQ(config.read_reg(0x50 / 4), 0x00035801u);
  EXPECT_EQ(config.read_reg(0x58 / 4), 0x42000009u);
  write_dword(config, 0x54, 0xFFFFFFFF);
  write_dword(config, 0x58, 0xFFFFFFFF);
  EXPECT_EQ(config.read_reg(0x54 / 4), 0x3u);
  EXPECT_EQ(config.read_reg(0x58 / 4), 0xF2000009u);

  const Registers before = registers_of(config);
  const PciCapabilityField misplaced[] = {{.offset = 6, .width = 4}};
  const PciCapabilityField over_header[] = {{.offset = 1, .width = 1}};
  const PciCapabilityField too_long[] = {{.offset = 0xA4, .width = 4}};
  EXPECT_EQ(config.add_capability(0x10, {}), std::unexpected(Error::capability_empty()));
  EXPECT_EQ(config.add_capability(0x10, misplaced), std::unexpected(Error::capability_length_invalid(10)));
  EXPECT_EQ(config.add_capability(0x10, over_header), std::unexpected(Error::capability_length_invalid(2)));
  EXPECT_EQ(config.add_capability(0x10, too_long), std::unexpected(Error::capability_space_full(0xA8)));
  EXPECT_EQ(registers_of(config), before);
  const PciCapabilityField last[] = {{.offset = 0xA0, .width = 4}};
  EXPECT_EQ(config.add_capability(0x10, last), 0x5C);
}

// Interrupt Status is the device's to set; the guest cannot write it.
TEST(PciInterruptState, StatusFollowsTheLineAndDisableIsTheGuests) {
  PciConfiguration config = bare_device();
  write_dword(config, 0x04, 0xFFFFFFFF);
  EXPECT_EQ(config.read_reg(1), 0x0000FFFFu);
  EXPECT_TRUE(config.interrupt_disabled());
  config.set_interrupt_status(true);
  write_dword(config, 0x04, 0x00000000);
  EXPECT_EQ(config.read_reg(1), 0x00080000u);
  EXPECT_FALSE(config.interrupt_disabled());
  config.set_interrupt_status(false);
  EXPECT_EQ(config.read_reg(1), 0u);
  EXPECT_EQ(config.msi_control().vectors, 0u);
}

struct MaskCase {
  std::size_t rom_length;
  std::uint32_t rom_mask;
};
void PrintTo(const MaskCase& c, std::ostream* os) { *os << "ROM of " << c.rom_length << " bytes"; }

class PciStartupMasks : public ::testing::TestWithParam<MaskCase> {};

TEST_P(PciStartupMasks, OnlyCommandCacheLineBarsRomAndInterruptLineAreWritable) {
  Registers expected{};
  expected[1] = 0x0000FFFF;
  expected[3] = 0x000000FF;
  expected[4] = 0xF0000000;
  expected[6] = 0xFFFC0000;
  expected[12] = GetParam().rom_mask;
  expected[15] = 0x000000FF;
  EXPECT_EQ(masks_of(startup_device(GetParam().rom_length)), expected);
}

INSTANTIATE_TEST_SUITE_P(RomLengths, PciStartupMasks,
                         ::testing::Values(MaskCase{0, 0xFFFFF801}, MaskCase{100, 0xFFFFF801},
                                           MaskCase{2048, 0xFFFFF801}, MaskCase{2049, 0xFFFFF001},
                                           MaskCase{4096, 0xFFFFF001}, MaskCase{65537, 0xFFFE0001}));

struct SizingCase {
  std::uint64_t address;
  std::size_t rom_length;
  std::uint32_t read_back;
};
void PrintTo(const SizingCase& c, std::ostream* os) {
  *os << "offset " << c.address << ", ROM of " << c.rom_length << " bytes";
}

class PciBarSizing : public ::testing::TestWithParam<SizingCase> {};

TEST_P(PciBarSizing, AllOnesReadsBackTheSizeMask) {
  PciConfiguration config = startup_device(GetParam().rom_length);
  const std::string log = logged_by([&] { write_dword(config, GetParam().address, 0xFFFFFFFF); });
  EXPECT_EQ(config.read_reg(GetParam().address / 4), GetParam().read_back);
  EXPECT_EQ(log, "");
}

INSTANTIATE_TEST_SUITE_P(StartupBars, PciBarSizing,
                         ::testing::Values(SizingCase{0x10, 4096, 0xF0000000}, SizingCase{0x14, 4096, 0},
                                           SizingCase{0x18, 4096, 0xFFFC0000}, SizingCase{0x1C, 4096, 0},
                                           SizingCase{0x24, 4096, 0}, SizingCase{0x30, 4096, 0xFFFFF001},
                                           SizingCase{0x30, 1, 0xFFFFF801},
                                           SizingCase{0x30, 3 * 1024 * 1024, 0xFFC00001}));

TEST(PciBarSizing, ProgrammedAddressReadsBack) {
  PciConfiguration config = startup_device(4096);
  write_dword(config, 0x10, 0xFFFFFFFF);
  write_dword(config, 0x10, 0xE0000000);
  write_dword(config, 0x18, 0xFEDC1234);
  write_dword(config, 0x30, 0x000C0001);
  EXPECT_EQ(config.read_reg(4), 0xE0000000u);
  EXPECT_EQ(config.read_reg(6), 0xFEDC0000u);
  EXPECT_EQ(config.read_reg(12), 0x000C0001u);
}

struct WriteCase {
  std::string name;
  std::uint64_t address;
  std::vector<std::uint8_t> data;
  std::optional<std::pair<std::size_t, std::uint32_t>> change;  // register and its new value
  std::string log;
};
void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

class PciWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(PciWrite, ChangesOnlyWritableBitsAndLogsRejections) {
  const WriteCase& c = GetParam();
  PciConfiguration config = startup_device(4096);
  Registers expected = registers_of(config);
  if (c.change) expected[c.change->first] = c.change->second;
  const std::string log = logged_by([&] { write_bytes(config, c.address, c.data); });
  EXPECT_EQ(registers_of(config), expected);
  EXPECT_EQ(log, c.log);
}

constexpr std::uint8_t kFF = 0xFF;

INSTANTIATE_TEST_SUITE_P(
    Writes, PciWrite,
    ::testing::Values(
        WriteCase{"IdentityIsReadOnly", 0x00, {kFF, kFF, kFF, kFF}, std::nullopt, ""},
        WriteCase{"StatusStaysZero", 0x04, {kFF, kFF, kFF, kFF}, std::pair{1, 0x0000FFFF}, ""},
        WriteCase{"CommandWord", 0x04, {0x06, 0x01}, std::pair{1, 0x00000106}, ""},
        WriteCase{"StatusWordIgnored", 0x06, {kFF, kFF}, std::nullopt, ""},
        WriteCase{"ClassCodeIsReadOnly", 0x08, {kFF, kFF, kFF, kFF}, std::nullopt, ""},
        WriteCase{"CacheLineByte", 0x0C, {0x10}, std::pair{3, 0x00000010}, ""},
        WriteCase{"HeaderTypeByteIgnored", 0x0E, {kFF}, std::nullopt, ""},
        WriteCase{"BarUpperWord", 0x12, {kFF, kFF}, std::pair{4, 0xF0000000}, ""},
        WriteCase{"BarTopByte", 0x13, {0xAB}, std::pair{4, 0xA0000000}, ""},
        WriteCase{"InterruptLineByte", 0x3C, {0x0B}, std::pair{15, 0x0000000B}, ""},
        WriteCase{"InterruptPinByteIgnored", 0x3D, {0x01}, std::nullopt, ""},
        WriteCase{"LastByte", 0xFF, {kFF}, std::nullopt, ""},
        WriteCase{"ByteBeyondSpace", 0x100, {kFF}, std::nullopt, warning("bad PCI config byte write offset 256")},
        WriteCase{"WordOddOffset", 0x05, {kFF, kFF}, std::nullopt, warning("bad PCI config word write offset 5")},
        WriteCase{"WordOffsetThree", 0x07, {kFF, kFF}, std::nullopt, warning("bad PCI config word write offset 7")},
        WriteCase{"WordBeyondSpace", 0x100, {kFF, kFF}, std::nullopt, warning("bad PCI config word write offset 256")},
        WriteCase{"WordMisalignedBeyondSpace",
                  0x101,
                  {kFF, kFF},
                  std::nullopt,
                  warning("bad PCI config word write offset 257")},
        WriteCase{"DwordMisaligned",
                  0x06,
                  {kFF, kFF, kFF, kFF},
                  std::nullopt,
                  warning("bad PCI config dword write offset 6")},
        WriteCase{"DwordMisalignedBeyondSpace",
                  0x102,
                  {kFF, kFF, kFF, kFF},
                  std::nullopt,
                  warning("bad PCI config dword write offset 258")},
        WriteCase{"DwordBeyondSpace", 0x100, {kFF, kFF, kFF, kFF}, std::nullopt, warning("bad PCI dword write 256")},
        WriteCase{
            "DwordFarBeyondSpace", 0x40000, {kFF, kFF, kFF, kFF}, std::nullopt, warning("bad PCI dword write 262144")},
        WriteCase{"EmptyIgnored", 0x04, {}, std::nullopt, ""},
        WriteCase{"ThreeBytesIgnored", 0x04, {kFF, kFF, kFF}, std::nullopt, ""},
        WriteCase{"ThreeBytesBeyondSpaceSilent", 0x101, {kFF, kFF, kFF}, std::nullopt, ""},
        WriteCase{"EightBytesIgnored", 0x10, {kFF, kFF, kFF, kFF, kFF, kFF, kFF, kFF}, std::nullopt, ""},
        WriteCase{"EightBytesMisalignedSilent", 0x102, {kFF, kFF, kFF, kFF, kFF, kFF, kFF, kFF}, std::nullopt, ""}),
    [](const ::testing::TestParamInfo<WriteCase>& info) { return info.param.name; });

class PciReadBeyondSpace : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PciReadBeyondSpace, ReadsAllOnes) { EXPECT_EQ(startup_device(4096).read_reg(GetParam()), 0xFFFFFFFFu); }

INSTANTIATE_TEST_SUITE_P(Indices, PciReadBeyondSpace, ::testing::Values(64, 65, 1000, SIZE_MAX));

TEST(PciReadReg, LastRegisterIsInsideTheSpace) {
  PciConfiguration config = bare_device();
  EXPECT_EQ(config.read_reg(63), 0u);
}

class FixedProgrammingInterface final : public PciProgrammingInterface {
 public:
  std::uint8_t get_register_value() const override { return 0x01; }
};

class FixedSubclass final : public PciSubclass {
 public:
  std::uint8_t get_register_value() const override { return 0x04; }
};

struct LayoutCase {
  std::string name;
  PciHeaderLayout layout;
  std::vector<std::pair<std::size_t, std::uint32_t>> values;  // registers that are not zero
  std::vector<std::pair<std::size_t, std::uint32_t>> masks;   // masks that are not zero
};
void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class PciCreate : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(PciCreate, WritesIdentityAndHeader) {
  const FixedProgrammingInterface prog_if;
  const PciConfiguration config = PciConfiguration::create(0x8086, 0x1234, 0x06, FixedSubclass(), &prog_if,
                                                           GetParam().layout, 0xABCD, 0x5678, 0x07);
  Registers values{};
  for (auto [reg, value] : GetParam().values) values[reg] = value;
  Registers masks{};
  for (auto [reg, mask] : GetParam().masks) masks[reg] = mask;
  EXPECT_EQ(registers_of(config), values);
  EXPECT_EQ(masks_of(config), masks);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, PciCreate,
    ::testing::Values(
        LayoutCase{"Device",
                   PciHeaderLayout::Device,
                   {{0, 0x12348086}, {2, 0x06040107}, {11, 0x5678ABCD}},
                   {{1, 0x0000FFFF}, {3, 0x000000FF}, {15, 0x000000FF}}},
        LayoutCase{
            "Bridge",
            PciHeaderLayout::Bridge,
            {{0, 0x12348086}, {2, 0x06040107}, {3, 0x00010000}, {7, 0x000000F0}, {8, 0x0000FFF0}, {9, 0x0001FFF1}},
            {{1, 0x0000FFFF},
             {3, 0x000000FF},
             {6, 0x00FFFFFF},
             {7, 0xF9000000},
             {8, 0xFFF0FFF0},
             {9, 0xFFF0FFF0},
             {10, 0xFFFFFFFF},
             {11, 0xFFFFFFFF},
             {15, 0xFFFF00FF}}}),
    [](const ::testing::TestParamInfo<LayoutCase>& info) { return info.param.name; });

class PciDisplaySubclasses : public ::testing::TestWithParam<std::pair<PciDisplaySubclass::Value, std::uint32_t>> {};

TEST_P(PciDisplaySubclasses, SubclassByteLandsInClassRegister) {
  const PciConfiguration config = PciConfiguration::create(0x1002, 0x6780, 0x03, PciDisplaySubclass(GetParam().first),
                                                           nullptr, PciHeaderLayout::Device, 0, 0, 0);
  EXPECT_EQ(config.read_reg(2), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Values, PciDisplaySubclasses,
                         ::testing::Values(std::pair{PciDisplaySubclass::VgaCompatible, 0x03000000u},
                                           std::pair{PciDisplaySubclass::Xga, 0x03010000u},
                                           std::pair{PciDisplaySubclass::ThreeDController, 0x03020000u},
                                           std::pair{PciDisplaySubclass::Other, 0x03800000u}));

}  // namespace
}  // namespace zephon::pci
