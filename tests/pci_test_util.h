// What the configuration-space tests share: reading all registers, writing
// a dword at a byte address, finding every write mask from the outside, a
// bare device, and add_pci_bar's outcome as text.
#ifndef ZEPHON_TESTS_PCI_TEST_UTIL_H_
#define ZEPHON_TESTS_PCI_TEST_UTIL_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "pci.h"

namespace zephon::pci {

using Registers = std::array<std::uint32_t, PciConfiguration::kNumRegisters>;

// Returns every register of the space.
inline Registers registers_of(const PciConfiguration& config) {
  Registers regs{};
  for (std::size_t i = 0; i < regs.size(); ++i) regs[i] = config.read_reg(i);
  return regs;
}

// Writes bytes at a byte address of the space.
inline void write_bytes(PciConfiguration& config, std::uint64_t address, std::vector<std::uint8_t> bytes) {
  config.write_reg(address / 4, address % 4, bytes);
}

// Writes a little-endian dword at a byte address of the space.
inline void write_dword(PciConfiguration& config, std::uint64_t address, std::uint32_t value) {
  write_bytes(config, address,
              {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
               static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)});
}

// Finds every register's write mask from the outside, on a copy: a bit reads
// back differently after writing all ones and all zeros exactly when the
// guest may change it.
inline Registers masks_of(PciConfiguration config) {
  Registers masks{};
  for (std::size_t i = 0; i < masks.size(); ++i) {
    write_dword(config, 4 * i, 0xFFFFFFFF);
    const std::uint32_t ones = config.read_reg(i);
    write_dword(config, 4 * i, 0);
    masks[i] = ones ^ config.read_reg(i);
  }
  return masks;
}

// The slot index, or the error's text form, so failures print readably.
inline std::string outcome(const std::expected<std::size_t, Error>& result) {
  return result ? std::to_string(*result) : to_string(result.error());
}

// Returns the start-up identity with no BAR registered.
inline PciConfiguration bare_device() {
  return PciConfiguration::create(0x1002, 0x6780, 0x03, PciDisplaySubclass(PciDisplaySubclass::Other), nullptr,
                                  PciHeaderLayout::Device, 0, 0, 0);
}

}  // namespace zephon::pci

#endif  // ZEPHON_TESTS_PCI_TEST_UTIL_H_
