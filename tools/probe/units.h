// Text forms of sizes and byte strings shared by the probe's reports.
//
// Contract: pure functions of their arguments; nothing is printed here.
#ifndef ZEPHON_TOOLS_PROBE_UNITS_H_
#define ZEPHON_TOOLS_PROBE_UNITS_H_

#include <cstdint>
#include <span>
#include <string>

namespace zephon_probe {

// Returns size in binary units: "256 MiB", "2 KiB", "12 B", or one decimal
// place ("2.9 KiB") when the size is not a whole number of the unit.
std::string human_size(std::uint64_t size);

// Returns "0x<hex> (<human>)", the form every size is shown in.
std::string size_text(std::uint64_t size);

// Returns a hex dump of bytes, 16 to a line, each line starting with the
// address of its first byte counted from base, and ending with a newline.
std::string hex_dump(std::span<const std::uint8_t> bytes, std::uint64_t base);

}  // namespace zephon_probe

#endif  // ZEPHON_TOOLS_PROBE_UNITS_H_
