#include "backend.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "device.h"
#include "log.h"
#include "log_capture.h"

namespace zephon {
namespace {

using zephon_test::logged_by;

using pci::PciConfiguration;
using Bytes = std::vector<std::uint8_t>;

// The lines WARN events of the device model and of the configuration space
// leave once stripped.
std::string warning(const std::string& message) { return " WARN zephon: " + message + "\n"; }
std::string pci_warning(const std::string& message) { return " WARN zephon::pci: " + message + "\n"; }


constexpr std::size_t kRomLength = 3000;

// Never zero, so a byte of the image is told apart from padding.
Bytes rom_image(std::size_t length) {
  Bytes rom(length);
  for (std::size_t i = 0; i < length; ++i) rom[i] = static_cast<std::uint8_t>(i % 251 + 1);
  return rom;
}

PciConfiguration startup_config(std::size_t rom_length) {
  auto config = device::configuration(device::rom_size(rom_length));
  EXPECT_TRUE(config.has_value());
  return config.value_or(PciConfiguration::create(0, 0, 0, pci::PciDisplaySubclass(pci::PciDisplaySubclass::Other),
                                                  nullptr, pci::PciHeaderLayout::Device, 0, 0, 0));
}

std::array<std::uint32_t, PciConfiguration::kNumRegisters> config_registers(const Backend& backend) {
  std::array<std::uint32_t, PciConfiguration::kNumRegisters> regs{};
  for (std::size_t i = 0; i < regs.size(); ++i) regs[i] = backend.config().read_reg(i);
  return regs;
}

bool all_registers_zero(const Backend& backend) {
  return std::ranges::all_of(backend.regs(), [](std::uint32_t r) { return r == 0; });
}

class BackendTest : public ::testing::Test {
 protected:
  BackendTest() : backend_(std::make_unique<Backend>(startup_config(kRomLength), rom_image(kRomLength))) {}

  // Reads n bytes into a buffer that starts out as 0xAA, so untouched bytes show.
  Bytes read(std::uint32_t region, std::uint64_t offset, std::size_t n) {
    Bytes data(n, 0xAA);
    EXPECT_TRUE(backend_->region_read(region, offset, data).has_value());
    return data;
  }

  void write(std::uint32_t region, std::uint64_t offset, const Bytes& data) {
    EXPECT_TRUE(backend_->region_write(region, offset, data).has_value());
  }

  std::unique_ptr<Backend> backend_;
};

TEST_F(BackendTest, StartsWithZeroRegistersAndTheGivenConfigAndRom) {
  EXPECT_TRUE(all_registers_zero(*backend_));
  EXPECT_EQ(backend_->config().read_reg(0), 0x67801002u);
  EXPECT_TRUE(std::ranges::equal(backend_->rom(), rom_image(kRomLength)));
}

struct RoundTrip {
  std::string name;
  std::uint64_t offset;
  Bytes bytes;
  std::uint32_t value;
  std::string log;
};
void PrintTo(const RoundTrip& c, std::ostream* os) { *os << c.name; }

class BackendBar2RoundTrip : public BackendTest, public ::testing::WithParamInterface<RoundTrip> {};

// Little-endian both ways, logged with the register and value at full width.
TEST_P(BackendBar2RoundTrip, StoresReadsBackAndLogs) {
  const RoundTrip& c = GetParam();
  Bytes data;
  const std::string log = logged_by([&] {
    write(2, c.offset, c.bytes);
    data = read(2, c.offset, 4);
  });
  EXPECT_EQ(backend_->regs()[c.offset / 4], c.value);
  EXPECT_EQ(data, c.bytes);
  EXPECT_EQ(log, c.log);
}

INSTANTIATE_TEST_SUITE_P(
    Registers, BackendBar2RoundTrip,
    ::testing::Values(RoundTrip{"Register4", 0x10, {0x78, 0x56, 0x34, 0x12}, 0x12345678u,
                                "DEBUG zephon: Write regs[0x0004] (0x10) = 0x12345678\n"
                                "DEBUG zephon: Read  regs[0x0004] (0x10) = 0x12345678\n"},
                      RoundTrip{"LastRegister", 0x3FFFC, {0x01, 0x00, 0x00, 0x00}, 1u,
                                "DEBUG zephon: Write regs[0xffff] (0x3fffc) = 0x00000001\n"
                                "DEBUG zephon: Read  regs[0xffff] (0x3fffc) = 0x00000001\n"}),
    [](const auto& info) { return info.param.name; });

TEST_F(BackendTest, Bar2ReadOfZeroRegisterIsPadded) {
  Bytes data;
  const std::string log = logged_by([&] { data = read(2, 0x5C, 4); });
  EXPECT_EQ(data, (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(log, "DEBUG zephon: Read  regs[0x0017] (0x5c) = 0x00000000\n");
}

struct RefusedAccess {
  std::uint64_t offset;
  std::size_t length;
  std::string log;
};
void PrintTo(const RefusedAccess& c, std::ostream* os) { *os << c.length << " bytes at offset " << c.offset; }

class BackendBar2RefusedRead : public BackendTest, public ::testing::WithParamInterface<RefusedAccess> {};

TEST_P(BackendBar2RefusedRead, ReturnsZerosAndWarns) {
  // Registers that are not zero, so zeros in the answer come from the refusal.
  write(2, 0, {0xEF, 0xBE, 0xAD, 0xDE});
  write(2, 0x3FFFC, {0xEF, 0xBE, 0xAD, 0xDE});
  Bytes data;
  const std::string log = logged_by([&] { data = read(2, GetParam().offset, GetParam().length); });
  EXPECT_EQ(data, Bytes(GetParam().length, 0));
  EXPECT_EQ(log, GetParam().log);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, BackendBar2RefusedRead,
    ::testing::Values(RefusedAccess{0x40000, 4, warning("Invalid read of 0x4 bytes from register at offset 0x40000")},
                      RefusedAccess{0x2, 4, warning("Invalid read of 0x4 bytes from register at offset 0x2")},
                      RefusedAccess{0x3FFFE, 4, warning("Invalid read of 0x4 bytes from register at offset 0x3fffe")},
                      RefusedAccess{0, 2, warning("Invalid read of 0x2 bytes from register at offset 0x0")},
                      RefusedAccess{0, 8, warning("Invalid read of 0x8 bytes from register at offset 0x0")},
                      RefusedAccess{0x3FFFC, 1, warning("Invalid read of 0x1 bytes from register at offset 0x3fffc")},
                      RefusedAccess{0, 0, warning("Invalid read of 0x0 bytes from register at offset 0x0")},
                      RefusedAccess{UINT64_MAX - 3, 4,
                                    warning("Invalid read of 0x4 bytes from register at offset 0xfffffffffffffffc")}));

class BackendBar2RefusedWrite : public BackendTest, public ::testing::WithParamInterface<RefusedAccess> {};

TEST_P(BackendBar2RefusedWrite, ChangesNothingAndWarns) {
  const std::string log = logged_by([&] { write(2, GetParam().offset, Bytes(GetParam().length, 0xFF)); });
  EXPECT_TRUE(all_registers_zero(*backend_));
  EXPECT_EQ(log, GetParam().log);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, BackendBar2RefusedWrite,
    ::testing::Values(RefusedAccess{0x40000, 4,
                                    warning("Misaligned or out-of-bounds register write at offset 0x40000")},
                      RefusedAccess{0x2, 4, warning("Misaligned or out-of-bounds register write at offset 0x2")},
                      RefusedAccess{UINT64_MAX - 3, 4,
                                    warning("Misaligned or out-of-bounds register write at offset 0xfffffffffffffffc")},
                      RefusedAccess{0, 2, warning("Invalid write of 0x2 bytes to register at offset 0x0")},
                      RefusedAccess{0, 8, warning("Invalid write of 0x8 bytes to register at offset 0x0")},
                      RefusedAccess{0x40000, 2, warning("Invalid write of 0x2 bytes to register at offset 0x40000")},
                      RefusedAccess{0x10, 0, warning("Invalid write of 0x0 bytes to register at offset 0x10")}));

struct RomCase {
  std::uint64_t offset;
  std::size_t length;
  std::size_t image_bytes;  // how many bytes of the image come before the zeros
};
void PrintTo(const RomCase& c, std::ostream* os) { *os << c.length << " bytes at offset " << c.offset; }

class BackendRomRead : public BackendTest, public ::testing::WithParamInterface<RomCase> {};

TEST_P(BackendRomRead, ReturnsImageThenZeros) {
  const RomCase& c = GetParam();
  const Bytes rom = rom_image(kRomLength);
  Bytes expected(c.length, 0);
  std::copy_n(rom.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(c.offset, kRomLength)), c.image_bytes,
              expected.begin());
  Bytes data;
  const std::string log = logged_by([&] { data = read(6, c.offset, c.length); });
  EXPECT_EQ(data, expected);
  EXPECT_EQ(log, "");
}

INSTANTIATE_TEST_SUITE_P(Offsets, BackendRomRead,
                         ::testing::Values(RomCase{0, 16, 16}, RomCase{2992, 16, 8}, RomCase{2999, 1, 1},
                                           RomCase{2999, 4, 1}, RomCase{0, 4096, kRomLength}, RomCase{3000, 16, 0},
                                           RomCase{4000, 4, 0}, RomCase{UINT64_MAX, 4, 0}, RomCase{100, 0, 0}));

TEST(BackendEmptyRom, ReadsAsZeros) {
  auto backend = std::make_unique<Backend>(startup_config(0), Bytes{});
  Bytes data(8, 0xAA);
  ASSERT_TRUE(backend->region_read(6, 0, data).has_value());
  EXPECT_EQ(data, Bytes(8, 0));
}

struct ConfigReadCase {
  std::uint64_t offset;
  Bytes expected;
};
void PrintTo(const ConfigReadCase& c, std::ostream* os) { *os << c.expected.size() << " bytes at offset " << c.offset; }

class BackendConfigRead : public BackendTest, public ::testing::WithParamInterface<ConfigReadCase> {};

TEST_P(BackendConfigRead, AcceptedShapeReturnsRegisterBytes) {
  Bytes data;
  const std::string log = logged_by([&] { data = read(7, GetParam().offset, GetParam().expected.size()); });
  EXPECT_EQ(data, GetParam().expected);
  EXPECT_EQ(log, "");
}

constexpr std::uint8_t kFF = 0xFF;

INSTANTIATE_TEST_SUITE_P(
    Shapes, BackendConfigRead,
    ::testing::Values(ConfigReadCase{0x0B, {0x03}}, ConfigReadCase{0x01, {0x10}}, ConfigReadCase{0x03, {0x67}},
                      ConfigReadCase{0x02, {0x80, 0x67}}, ConfigReadCase{0x00, {0x02, 0x10}},
                      ConfigReadCase{0x00, {0x02, 0x10, 0x80}}, ConfigReadCase{0x00, {}},
                      ConfigReadCase{0x08, {0x00, 0x00, 0x80, 0x03}}, ConfigReadCase{0x100, {kFF, kFF, kFF, kFF}},
                      ConfigReadCase{0x1001, {kFF}}, ConfigReadCase{0xFC, {0x00, 0x00, 0x00, 0x00, kFF, kFF, kFF, kFF}},
                      ConfigReadCase{0x00, {0x02, 0x10, 0x80, 0x67, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x03}}));

class BackendConfigRefusedRead : public BackendTest,
                                 public ::testing::WithParamInterface<std::pair<std::uint64_t, std::size_t>> {};

TEST_P(BackendConfigRefusedRead, FailsWithInvalidInputLeavingBufferAlone) {
  const auto [offset, length] = GetParam();
  Bytes data(length, 0xAA);
  std::expected<void, vfio_user::IoError> result;
  const std::string log = logged_by([&] { result = backend_->region_read(7, offset, data); });
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), vfio_user::IoError::Kind::InvalidInput);
  EXPECT_EQ(result.error().code(), 0);
  EXPECT_EQ(result.error().debug(), vfio_user::IoError::category(vfio_user::IoError::Kind::InvalidInput).debug());
  EXPECT_EQ(data, Bytes(length, 0xAA));
  EXPECT_EQ(log, "");
}

INSTANTIATE_TEST_SUITE_P(Shapes, BackendConfigRefusedRead,
                         ::testing::Values(std::pair{1, 2}, std::pair{3, 2}, std::pair{1, 3}, std::pair{2, 3},
                                           std::pair{1, 4}, std::pair{2, 4}, std::pair{1, 0}, std::pair{3, 0},
                                           std::pair{0, 6}, std::pair{0, 5}, std::pair{2, 8}, std::pair{4, 7},
                                           std::pair{0x101, 2}));

TEST_F(BackendTest, ConfigWritesGoThroughTheMasks) {
  const std::string log = logged_by([&] { write(7, 0x10, {kFF, kFF, kFF, kFF}); });
  EXPECT_EQ(backend_->config().read_reg(4), 0xF0000000u);
  EXPECT_EQ(read(7, 0x10, 4), (Bytes{0x00, 0x00, 0x00, 0xF0}));
  EXPECT_EQ(log, "");
}

class BackendConfigRejectedWrite : public BackendTest, public ::testing::WithParamInterface<RefusedAccess> {};

TEST_P(BackendConfigRejectedWrite, IsLoggedUnderThePciTarget) {
  const auto before = config_registers(*backend_);
  const std::string log = logged_by([&] { write(7, GetParam().offset, Bytes(GetParam().length, 0xFF)); });
  EXPECT_EQ(config_registers(*backend_), before);
  EXPECT_EQ(log, GetParam().log);
}

INSTANTIATE_TEST_SUITE_P(Shapes, BackendConfigRejectedWrite,
                         ::testing::Values(RefusedAccess{0x05, 2, pci_warning("bad PCI config word write offset 5")},
                                           RefusedAccess{0x101, 2, pci_warning("bad PCI config word write offset 257")},
                                           RefusedAccess{0x102, 4,
                                                         pci_warning("bad PCI config dword write offset 258")},
                                           RefusedAccess{0x100, 4, pci_warning("bad PCI dword write 256")},
                                           RefusedAccess{0x100, 1, pci_warning("bad PCI config byte write offset 256")},
                                           RefusedAccess{0x04, 3, ""}));

class BackendBar0 : public BackendTest, public ::testing::WithParamInterface<std::pair<std::uint64_t, std::size_t>> {};

TEST_P(BackendBar0, ReadsZerosAndDropsWritesSilently) {
  const auto [offset, length] = GetParam();
  const auto config_before = config_registers(*backend_);
  Bytes data;
  const std::string log = logged_by([&] {
    data = read(0, offset, length);
    write(0, offset, Bytes(length, 0xFF));
  });
  EXPECT_EQ(data, Bytes(length, 0));
  EXPECT_TRUE(all_registers_zero(*backend_));
  EXPECT_EQ(config_registers(*backend_), config_before);
  EXPECT_EQ(log, "");
}

INSTANTIATE_TEST_SUITE_P(Offsets, BackendBar0,
                         ::testing::Values(std::pair{0, 4}, std::pair{0x10, 4}, std::pair{3, 2},
                                           std::pair{0x0FFF'FFFC, 4}, std::pair{0x1000'0000, 8},
                                           std::pair{UINT64_MAX, 1}, std::pair{0, 4096}));

class BackendUnservedRegion : public BackendTest, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(BackendUnservedRegion, ReadWarnsAndReturnsZeros) {
  Bytes data;
  const std::string log = logged_by([&] { data = read(GetParam(), 0x20, 16); });
  EXPECT_EQ(data, Bytes(16, 0));
  EXPECT_EQ(log,
            warning(fmt::format("Invalid read of 0x10 bytes attempted from region {} at offset 0x20", GetParam())));
}

TEST_P(BackendUnservedRegion, WriteWarnsAndChangesNothing) {
  const auto config_before = config_registers(*backend_);
  const std::string log = logged_by([&] { write(GetParam(), 0x800, {1, 2, 3, 4}); });
  EXPECT_TRUE(all_registers_zero(*backend_));
  EXPECT_EQ(config_registers(*backend_), config_before);
  EXPECT_EQ(log, warning(fmt::format("Invalid write of 0x4 bytes attempted to region {} at offset 0x800", GetParam())));
}

INSTANTIATE_TEST_SUITE_P(Regions, BackendUnservedRegion, ::testing::Values(1, 3, 4, 5, 8, 9, UINT32_MAX));

TEST_F(BackendTest, RomRegionRefusesWrites) {
  const std::string log = logged_by([&] { write(6, 0x10, {0, 0}); });
  EXPECT_EQ(log, warning("Invalid write of 0x2 bytes attempted to region 6 at offset 0x10"));
  EXPECT_EQ(read(6, 0x10, 2), (Bytes{0x11, 0x12}));
}

TEST_F(BackendTest, ResetClearsRegistersButKeepsConfigAndRom) {
  write(2, 0, {1, 2, 3, 4});
  write(2, 0x3FFFC, {5, 6, 7, 8});
  write(7, 0x10, {0x00, 0x00, 0x00, 0xE0});
  write(7, 0x3C, {0x0B});
  const auto config_before = config_registers(*backend_);

  EXPECT_TRUE(backend_->reset().has_value());
  EXPECT_TRUE(all_registers_zero(*backend_));
  EXPECT_EQ(read(2, 0, 4), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(config_registers(*backend_), config_before);
  EXPECT_EQ(backend_->config().read_reg(4), 0xE0000000u);
  EXPECT_TRUE(std::ranges::equal(backend_->rom(), rom_image(kRomLength)));
}

// A pipe whose read end tells, without blocking, whether the write end is
// still open anywhere: EOF once it was closed, EAGAIN while it is open.
struct Pipe {
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
  }
  bool writer_closed() const {
    char byte;
    return ::read(read_end.get(), &byte, 1) == 0;
  }
  vfio_user::UniqueFd read_end;
  vfio_user::UniqueFd write_end;
};

TEST_F(BackendTest, DmaMapClosesItsDescriptor) {
  Pipe pipe;
  ASSERT_FALSE(pipe.writer_closed());
  EXPECT_TRUE(backend_->dma_map(3, 0, 0x10000, 0x1000, std::move(pipe.write_end)).has_value());
  EXPECT_TRUE(pipe.writer_closed());
  EXPECT_TRUE(backend_->dma_map(3, 0, 0x10000, 0x1000, std::nullopt).has_value());
  EXPECT_TRUE(backend_->dma_unmap(0, 0x10000, 0x1000).has_value());
}

TEST_F(BackendTest, SetIrqsClosesEveryDescriptor) {
  Pipe first;
  Pipe second;
  vfio_user::FdList files;
  ASSERT_TRUE(files.push(std::move(first.write_end)));
  ASSERT_TRUE(files.push(std::move(second.write_end)));
  ASSERT_FALSE(first.writer_closed());
  EXPECT_TRUE(backend_->set_irqs(2, 0x24, 0, 2, std::move(files)).has_value());
  EXPECT_TRUE(first.writer_closed());
  EXPECT_TRUE(second.writer_closed());
  EXPECT_TRUE(backend_->set_irqs(0, 0x21, 0, 0, vfio_user::FdList()).has_value());
}

TEST_F(BackendTest, DumpWritesRegistersLittleEndianInOrder) {
  write(2, 0, {0x78, 0x56, 0x34, 0x12});
  write(2, 0x3FFFC, {0xD4, 0xC3, 0xB2, 0xA1});
  write(2, 0x5C, {0x01, 0x00, 0x00, 0x00});
  Bytes out(Backend::kDumpBytes, 0xAA);
  backend_->dump(std::span<std::uint8_t, Backend::kDumpBytes>(out.data(), out.size()));
  Bytes expected(Backend::kDumpBytes, 0);
  std::ranges::copy(Bytes{0x78, 0x56, 0x34, 0x12}, expected.begin());
  expected[0x5C] = 0x01;
  std::ranges::copy(Bytes{0xD4, 0xC3, 0xB2, 0xA1}, expected.end() - 4);
  EXPECT_TRUE(out == expected);
}

}  // namespace
}  // namespace zephon
