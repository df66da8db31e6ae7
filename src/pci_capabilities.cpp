// The configuration space's capability list and the interrupt state it
// shows: the interrupt pin, the status register's Interrupt Status bit, the
// command register's Interrupt Disable bit and the MSI capability.
#include <algorithm>

#include "pci.h"
#include "vfio_user/limits.h"

namespace zephon::pci {

namespace {

constexpr std::size_t kCommandReg = 1;
constexpr std::size_t kCapabilityPointerReg = 0x34 / 4;
constexpr std::size_t kInterruptReg = 15;

constexpr std::uint32_t kInterruptDisable = 0x00000400;  // command bit 10
constexpr std::uint32_t kInterruptStatus = 0x00080000;   // status bit 3
constexpr std::uint32_t kCapabilityList = 0x00100000;    // status bit 4

// MSI's message control, in the upper half of the capability's first register.
constexpr std::uint32_t kMsiEnable = 0x00010000;
constexpr unsigned kMultipleMessageCapableShift = 17;
constexpr unsigned kMultipleMessageEnableShift = 20;
constexpr std::uint32_t kMultipleMessageEnable = 0x7u << kMultipleMessageEnableShift;

constexpr std::size_t kConfigSize = vfio_user::kConfigSpaceSize;

constexpr std::uint32_t width_mask(std::uint8_t width) {
  return width == 4 ? 0xFFFFFFFF : (std::uint32_t{1} << (8 * width)) - 1;
}

}  // namespace

std::expected<std::uint8_t, Error> PciConfiguration::add_capability(std::uint8_t id,
                                                                    std::span<const PciCapabilityField> fields) {
  // Every check comes before any change, as for BARs.
  if (fields.empty()) return std::unexpected(Error::capability_empty());
  std::size_t length = 2;
  for (const PciCapabilityField& field : fields) {
    const std::size_t end = std::size_t{field.offset} + field.width;
    const bool shaped =
        (field.width == 1 || field.width == 2 || field.width == 4) && field.offset >= 2 && field.offset % field.width == 0;
    if (!shaped) return std::unexpected(Error::capability_length_invalid(end));
    length = std::max(length, end);
  }
  const std::size_t at = next_capability_;
  if (at + length > kConfigSize) return std::unexpected(Error::capability_space_full(length));

  // The ID, and no next capability yet.
  registers_[at / 4] = id;
  for (const PciCapabilityField& field : fields) {
    const std::size_t address = at + field.offset;
    const unsigned shift = 8 * (address % 4);
    const std::uint32_t lane = width_mask(field.width) << shift;
    registers_[address / 4] = (registers_[address / 4] & ~lane) | ((field.value << shift) & lane);
    write_masks_[address / 4] = (write_masks_[address / 4] & ~lane) | ((field.write_mask << shift) & lane);
  }
  if (last_capability_ == 0) {
    registers_[kCapabilityPointerReg] = static_cast<std::uint32_t>(at);
    registers_[kCommandReg] |= kCapabilityList;
  } else {
    // The previous capability's next pointer is its second byte.
    const std::size_t previous = last_capability_;
    registers_[previous / 4] = (registers_[previous / 4] & ~0x0000FF00u) | static_cast<std::uint32_t>(at) << 8;
  }
  last_capability_ = static_cast<std::uint8_t>(at);
  next_capability_ = static_cast<std::uint16_t>((at + length + 3) / 4 * 4);
  return static_cast<std::uint8_t>(at);
}

std::expected<std::uint8_t, Error> PciConfiguration::add_msi_capability(unsigned vectors_log2) {
  constexpr std::uint8_t kMsiId = 0x05;
  constexpr std::uint32_t kAddress64 = 0x0080;
  const std::uint32_t capable = std::min(vectors_log2, kMaxMsiVectorsLog2) << (kMultipleMessageCapableShift - 16);
  const PciCapabilityField fields[] = {
      // Message control: enable and vectors enabled are the guest's.
      {.offset = 2, .width = 2, .value = capable | kAddress64,
       .write_mask = (kMsiEnable | kMultipleMessageEnable) >> 16},
      {.offset = 4, .width = 4, .value = 0, .write_mask = 0xFFFFFFFC},  // message address, dword aligned
      {.offset = 8, .width = 4, .value = 0, .write_mask = 0xFFFFFFFF},  // upper message address
      {.offset = 12, .width = 2, .value = 0, .write_mask = 0xFFFF},     // message data
  };
  auto at = add_capability(kMsiId, fields);
  if (at) msi_reg_ = static_cast<std::uint8_t>(*at / 4);
  return at;
}

std::uint32_t PciConfiguration::msi_control_after(std::uint32_t before, std::uint32_t written) const {
  // Hardware that offers 2^n vectors takes no larger encoding; the field
  // keeps what it held.
  const std::uint32_t capable = (before >> kMultipleMessageCapableShift) & 0x7;
  const std::uint32_t enabled = (written & kMultipleMessageEnable) >> kMultipleMessageEnableShift;
  if (enabled <= capable) return written;
  return (written & ~kMultipleMessageEnable) | (before & kMultipleMessageEnable);
}

void PciConfiguration::set_interrupt_pin(std::uint8_t pin) {
  registers_[kInterruptReg] = (registers_[kInterruptReg] & 0xFFFF00FF) | (std::uint32_t{pin} << 8);
}

void PciConfiguration::set_interrupt_status(bool asserted) {
  if (asserted) {
    registers_[kCommandReg] |= kInterruptStatus;
  } else {
    registers_[kCommandReg] &= ~kInterruptStatus;
  }
}

bool PciConfiguration::interrupt_disabled() const { return (registers_[kCommandReg] & kInterruptDisable) != 0; }

MsiControl PciConfiguration::msi_control() const {
  if (msi_reg_ == 0) return {};
  const std::uint32_t control = registers_[msi_reg_];
  return {.offered = std::uint32_t{1} << ((control >> kMultipleMessageCapableShift) & 0x7),
          .enabled = (control & kMsiEnable) != 0,
          .vectors = std::uint32_t{1} << ((control & kMultipleMessageEnable) >> kMultipleMessageEnableShift)};
}

}  // namespace zephon::pci
