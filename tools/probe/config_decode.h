// The probe's reading of a PCI configuration space: a pure function of the
// first 256 bytes and of what the BAR registers read back while they held
// all ones, so that it can be checked without a device.
//
// Contract: nothing here talks to a device. The caller sizes the BARs
// (saving, writing 0xFFFFFFFF, reading back, restoring) for the registers
// that bar_count() and rom_offset() name, and passes the read-back values.
#ifndef ZEPHON_TOOLS_PROBE_CONFIG_DECODE_H_
#define ZEPHON_TOOLS_PROBE_CONFIG_DECODE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vfio_user/limits.h"

namespace zephon_probe {

inline constexpr std::size_t kConfigHeaderBytes = vfio_user::kConfigSpaceSize;
inline constexpr std::size_t kMaxBars = 6;
inline constexpr std::uint32_t kFirstBarOffset = 0x10;

// The configuration bytes and the all-ones read-backs of the sized BARs.
struct ConfigSnapshot {
  std::array<std::uint8_t, kConfigHeaderBytes> bytes{};
  std::array<std::optional<std::uint32_t>, kMaxBars> bar_all_ones{};  // per BAR register
  std::optional<std::uint32_t> rom_all_ones;
};

enum class BarKind { Unused, Mem32, Mem64, Io, Mem64Upper };

struct DecodedBar {
  unsigned index = 0;
  BarKind kind = BarKind::Unused;
  bool prefetchable = false;
  std::uint64_t address = 0;
  std::uint64_t size = 0;  // 0 when the size could not be found
};

struct DecodedRom {
  bool present = false;  // the header type has a ROM BAR
  std::uint32_t offset = 0;
  std::uint32_t address = 0;
  bool enabled = false;
  std::uint64_t size = 0;  // 0 when not implemented
};

struct DecodedConfig {
  std::uint16_t vendor_id = 0, device_id = 0, command = 0, status = 0;
  std::uint8_t revision = 0, prog_if = 0, subclass = 0, class_code = 0;
  std::uint8_t header_type = 0;  // layout, without the multi-function bit
  bool multifunction = false;
  std::uint16_t subsystem_vendor_id = 0, subsystem_id = 0;
  std::vector<DecodedBar> bars;
  DecodedRom rom;
  std::uint8_t interrupt_line = 0, interrupt_pin = 0;
};

// Returns how many BAR registers the header layout has (6, 2 or 0).
std::size_t bar_count(std::uint8_t header_type_byte);
// Returns the offset of the ROM BAR register of the layout, if it has one.
std::optional<std::uint32_t> rom_offset(std::uint8_t header_type_byte);

// Returns the size decoded by a memory BAR: the lowest address bit that
// stayed writable; upper_all_ones is the next register's read-back for a
// 64-bit BAR. 0 means not implemented.
std::uint64_t memory_bar_size(std::uint32_t all_ones, std::optional<std::uint32_t> upper_all_ones = std::nullopt);
// Returns the size decoded by an I/O BAR, 0 when not implemented.
std::uint64_t io_bar_size(std::uint32_t all_ones);
// Returns the size decoded by a ROM BAR, 0 when not implemented.
std::uint64_t rom_bar_size(std::uint32_t all_ones);

// Returns the decoded header.
DecodedConfig decode_config(const ConfigSnapshot& snapshot);

// Returns the name of a class code, "unknown class" if it has none.
std::string class_name(std::uint8_t class_code);
// Returns the name of a subclass within its class, empty if unknown.
std::string subclass_name(std::uint8_t class_code, std::uint8_t subclass);
// Returns the names of the set command-register bits, comma-separated.
std::string command_bits(std::uint16_t command);
// Returns the names of the set status-register bits, comma-separated.
std::string status_bits(std::uint16_t status);

// Returns the decoded header as indented text lines.
std::vector<std::string> describe_config(const DecodedConfig& config);

}  // namespace zephon_probe

#endif  // ZEPHON_TOOLS_PROBE_CONFIG_DECODE_H_
