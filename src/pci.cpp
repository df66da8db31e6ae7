#include "pci.h"

#include <fmt/format.h>

#include <algorithm>

#include "log.h"
#include "vfio_user/limits.h"

namespace zephon::pci {

namespace {

constexpr std::string_view kTarget = "zephon::pci";

constexpr std::size_t kCommandReg = 1;
constexpr std::size_t kClassReg = 2;
constexpr std::size_t kHeaderTypeReg = 3;
constexpr std::size_t kFirstBarReg = 4;
constexpr std::size_t kSubsystemReg = 11;
constexpr std::size_t kRomReg = 12;
constexpr std::size_t kInterruptReg = 15;
// A 64-bit BAR needs a second BAR slot above it, and the ROM slot is not one.
constexpr std::size_t kLastBar64Index = 4;

constexpr std::uint32_t kIoSpaceEnable = 0x1;
constexpr std::uint32_t kMemorySpaceEnable = 0x2;
constexpr std::uint32_t kRomEnable = 0x1;
constexpr std::uint32_t kIoAddressMask = 0xFFFFFFFC;
constexpr std::uint32_t kMemoryAddressMask = 0xFFFFFFF0;

constexpr std::uint64_t kMinIoSize = 4;
constexpr std::uint64_t kMinMemorySize = 16;
// BARs whose upper half is not registered must end below 4 GiB.
constexpr std::uint64_t k32BitLimit = std::uint64_t{1} << 32;

constexpr std::uint64_t kConfigSize = vfio_user::kConfigSpaceSize;
static_assert(PciConfiguration::kNumRegisters * 4 == kConfigSize);

// Type-1 header registers that a bridge exposes beyond the common ones.
struct BridgeRegister {
  std::size_t index;
  std::uint32_t value;
  std::uint32_t mask;
};
constexpr std::array<BridgeRegister, 8> kBridgeRegisters{{
    {3, 0x00010000, 0x000000FF},
    {6, 0x00000000, 0x00FFFFFF},
    {7, 0x000000F0, 0xF9000000},
    {8, 0x0000FFF0, 0xFFF0FFF0},
    {9, 0x0001FFF1, 0xFFF0FFF0},
    {10, 0x00000000, 0xFFFFFFFF},
    {11, 0x00000000, 0xFFFFFFFF},
    {15, 0x00000000, 0xFFFF00FF},
}};

constexpr std::uint32_t low32(std::uint64_t v) { return static_cast<std::uint32_t>(v); }
constexpr std::uint32_t high32(std::uint64_t v) { return static_cast<std::uint32_t>(v >> 32); }
constexpr bool is_power_of_two(std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

Error Error::bar_address_invalid(std::uint64_t address, std::uint64_t size) {
  return Error{.kind = Kind::BarAddressInvalid, .address = address, .size = size};
}
Error Error::bar_alignment_invalid(std::uint64_t address, std::uint64_t size) {
  return Error{.kind = Kind::BarAlignmentInvalid, .address = address, .size = size};
}
Error Error::bar_in_use(std::size_t index) { return Error{.kind = Kind::BarInUse, .index = index}; }
Error Error::bar_in_use64(std::size_t index) { return Error{.kind = Kind::BarInUse64, .index = index}; }
Error Error::bar_invalid(std::size_t index) { return Error{.kind = Kind::BarInvalid, .index = index}; }
Error Error::bar_invalid64(std::size_t index) { return Error{.kind = Kind::BarInvalid64, .index = index}; }
Error Error::bar_invalid_rom_type() { return Error{.kind = Kind::BarInvalidRomType}; }
Error Error::bar_size_invalid(std::uint64_t size) { return Error{.kind = Kind::BarSizeInvalid, .size = size}; }
Error Error::capability_empty() { return Error{.kind = Kind::CapabilityEmpty}; }
Error Error::capability_length_invalid(std::size_t length) {
  return Error{.kind = Kind::CapabilityLengthInvalid, .length = length};
}
Error Error::capability_space_full(std::size_t length) {
  return Error{.kind = Kind::CapabilitySpaceFull, .length = length};
}

std::string_view kind_name(Error::Kind kind) {
  switch (kind) {
    case Error::Kind::BarAddressInvalid:
      return "BarAddressInvalid";
    case Error::Kind::BarAlignmentInvalid:
      return "BarAlignmentInvalid";
    case Error::Kind::BarInUse:
      return "BarInUse";
    case Error::Kind::BarInUse64:
      return "BarInUse64";
    case Error::Kind::BarInvalid:
      return "BarInvalid";
    case Error::Kind::BarInvalid64:
      return "BarInvalid64";
    case Error::Kind::BarInvalidRomType:
      return "BarInvalidRomType";
    case Error::Kind::BarSizeInvalid:
      return "BarSizeInvalid";
    case Error::Kind::CapabilityEmpty:
      return "CapabilityEmpty";
    case Error::Kind::CapabilityLengthInvalid:
      return "CapabilityLengthInvalid";
    case Error::Kind::CapabilitySpaceFull:
      return "CapabilitySpaceFull";
  }
  return "Unknown";
}

std::string to_string(const Error& error) {
  const std::string_view name = kind_name(error.kind);
  switch (error.kind) {
    case Error::Kind::BarAddressInvalid:
    case Error::Kind::BarAlignmentInvalid:
      return fmt::format("{}({}, {})", name, error.address, error.size);
    case Error::Kind::BarInUse:
    case Error::Kind::BarInUse64:
    case Error::Kind::BarInvalid:
    case Error::Kind::BarInvalid64:
      return fmt::format("{}({})", name, error.index);
    case Error::Kind::BarSizeInvalid:
      return fmt::format("{}({})", name, error.size);
    case Error::Kind::CapabilityLengthInvalid:
    case Error::Kind::CapabilitySpaceFull:
      return fmt::format("{}({})", name, error.length);
    case Error::Kind::BarInvalidRomType:
    case Error::Kind::CapabilityEmpty:
      break;
  }
  return std::string(name);
}

PciConfiguration PciConfiguration::create(std::uint16_t vendor_id, std::uint16_t device_id, std::uint8_t class_code,
                                          const PciSubclass& subclass, const PciProgrammingInterface* prog_if,
                                          PciHeaderLayout layout, std::uint16_t subsystem_vendor_id,
                                          std::uint16_t subsystem_id, std::uint8_t revision_id) {
  PciConfiguration config;
  const std::uint32_t prog_if_byte = prog_if != nullptr ? prog_if->get_register_value() : 0;
  config.registers_[0] = std::uint32_t{device_id} << 16 | vendor_id;
  config.registers_[kClassReg] = std::uint32_t{class_code} << 24 | std::uint32_t{subclass.get_register_value()} << 16 |
                                 prog_if_byte << 8 | revision_id;
  // The whole command register is the guest's. The status register is read
  // only: its Capabilities List bit says whether add_capability() made a
  // list, its Interrupt Status bit follows the device's interrupt line
  // (set_interrupt_status), and the rest stay zero.
  config.write_masks_[kCommandReg] = 0x0000FFFF;
  config.write_masks_[kHeaderTypeReg] = 0x000000FF;

  switch (layout) {
    case PciHeaderLayout::Device:
      config.registers_[kSubsystemReg] = std::uint32_t{subsystem_id} << 16 | subsystem_vendor_id;
      config.write_masks_[kInterruptReg] = 0x000000FF;
      break;
    case PciHeaderLayout::Bridge:
      for (const BridgeRegister& reg : kBridgeRegisters) {
        config.registers_[reg.index] = reg.value;
        config.write_masks_[reg.index] = reg.mask;
      }
      break;
  }
  return config;
}

std::expected<std::size_t, Error> PciConfiguration::add_pci_bar(const PciBarSpec& bar) {
  // Every check comes before any change, so a refused BAR leaves no trace.
  if (bar.index >= kNumBarSlots) return std::unexpected(Error::bar_invalid(bar.index));
  if (bar_taken_[bar.index]) return std::unexpected(Error::bar_in_use(bar.index));
  if (!is_power_of_two(bar.size)) return std::unexpected(Error::bar_size_invalid(bar.size));
  const bool is_rom = bar.index == kRomSlot;
  if (is_rom && bar.kind != PciBarKind::Memory32) return std::unexpected(Error::bar_invalid_rom_type());
  const std::uint64_t min_size =
      is_rom ? vfio_user::kMinRomSize : bar.kind == PciBarKind::Io ? kMinIoSize : kMinMemorySize;
  if (bar.size < min_size) return std::unexpected(Error::bar_size_invalid(bar.size));
  if (bar.address % bar.size != 0) return std::unexpected(Error::bar_alignment_invalid(bar.address, bar.size));
  if (bar.address > UINT64_MAX - bar.size) return std::unexpected(Error::bar_address_invalid(bar.address, bar.size));
  const std::uint64_t end = bar.address + bar.size;

  if (bar.kind == PciBarKind::Memory64) {
    if (bar.index > kLastBar64Index) return std::unexpected(Error::bar_invalid64(bar.index));
    if (end >= k32BitLimit) return std::unexpected(Error::bar_address_invalid(bar.address, bar.size));
    if (bar_taken_[bar.index + 1]) return std::unexpected(Error::bar_in_use64(bar.index));
    const std::size_t upper = kFirstBarReg + bar.index + 1;
    registers_[upper] = high32(bar.address);
    write_masks_[upper] = ~high32(bar.size - 1);
    bar_taken_[bar.index + 1] = true;
  } else if (end >= k32BitLimit) {
    return std::unexpected(Error::bar_address_invalid(bar.address, bar.size));
  }

  const std::size_t reg = is_rom ? kRomReg : kFirstBarReg + bar.index;
  std::uint32_t type_bits;
  std::uint32_t address_mask;
  if (bar.kind == PciBarKind::Io) {
    type_bits = static_cast<std::uint32_t>(PciBarKind::Io);
    address_mask = kIoAddressMask;
    registers_[kCommandReg] |= kIoSpaceEnable;
  } else {
    type_bits = std::uint32_t{bar.prefetch} | static_cast<std::uint32_t>(bar.kind);
    address_mask = kMemoryAddressMask;
    registers_[kCommandReg] |= kMemorySpaceEnable;
  }
  registers_[reg] = (low32(bar.address) & address_mask) | type_bits;
  // The bits below the size are the BAR's offset within itself, so they read
  // back as zeros when the guest sizes the BAR with all ones.
  write_masks_[reg] = low32(~(bar.size - 1)) | (is_rom ? kRomEnable : 0);
  bar_taken_[bar.index] = true;
  return bar.index;
}

std::uint32_t PciConfiguration::read_reg(std::size_t reg_idx) const {
  // All ones is what a read of a nonexistent function returns on a real bus.
  return reg_idx < kNumRegisters ? registers_[reg_idx] : 0xFFFFFFFF;
}

void PciConfiguration::write_reg(std::size_t reg_idx, std::uint64_t offset, std::span<const std::uint8_t> data) {
  const std::uint64_t address = std::uint64_t{reg_idx} * 4 + offset;
  switch (data.size()) {
    case 1:
      write_byte_internal(address, data[0]);
      break;
    case 2:
      write_word(address, static_cast<std::uint16_t>(data[0] | data[1] << 8));
      break;
    case 4:
      write_dword(address, std::uint32_t{data[0]} | std::uint32_t{data[1]} << 8 | std::uint32_t{data[2]} << 16 |
                               std::uint32_t{data[3]} << 24);
      break;
    default:
      break;
  }
}

void PciConfiguration::write_byte_internal(std::uint64_t address, std::uint8_t value) {
  if (address >= kConfigSize) {
    log::emit(log::Level::Warn, kTarget, "bad PCI config byte write offset {}", address);
    return;
  }
  const unsigned shift = 8 * (address % 4);
  masked_write(address / 4, std::uint32_t{0xFF} << shift, std::uint32_t{value} << shift);
}

void PciConfiguration::write_word(std::uint64_t address, std::uint16_t value) {
  if (address % 2 != 0 || address >= kConfigSize) {
    log::emit(log::Level::Warn, kTarget, "bad PCI config word write offset {}", address);
    return;
  }
  const unsigned shift = 8 * (address % 4);
  masked_write(address / 4, std::uint32_t{0xFFFF} << shift, std::uint32_t{value} << shift);
}

void PciConfiguration::write_dword(std::uint64_t address, std::uint32_t value) {
  if (address % 4 != 0) {
    log::emit(log::Level::Warn, kTarget, "bad PCI config dword write offset {}", address);
    return;
  }
  if (address >= kConfigSize) {
    log::emit(log::Level::Warn, kTarget, "bad PCI dword write {}", address);
    return;
  }
  masked_write(address / 4, 0xFFFFFFFF, value);
}

void PciConfiguration::masked_write(std::size_t reg, std::uint32_t lane, std::uint32_t value) {
  const std::uint32_t writable = lane & write_masks_[reg];
  const std::uint32_t written = (registers_[reg] & ~writable) | (value & writable);
  registers_[reg] = reg == msi_reg_ && msi_reg_ != 0 ? msi_control_after(registers_[reg], written) : written;
}

}  // namespace zephon::pci
