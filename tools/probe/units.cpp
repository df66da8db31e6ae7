#include "units.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>

namespace zephon_probe {

std::string human_size(std::uint64_t size) {
  static constexpr std::array<const char*, 7> kUnits = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  std::size_t unit = 0;
  while (unit + 1 < kUnits.size() && size >= (std::uint64_t{1} << (10 * (unit + 1)))) ++unit;
  const std::uint64_t scale = std::uint64_t{1} << (10 * unit);
  if (size % scale == 0) return fmt::format("{} {}", size / scale, kUnits[unit]);
  return fmt::format("{:.1f} {}", static_cast<double>(size) / static_cast<double>(scale), kUnits[unit]);
}

std::string size_text(std::uint64_t size) { return fmt::format("{:#x} ({})", size, human_size(size)); }

std::string hex_dump(std::span<const std::uint8_t> bytes, std::uint64_t base) {
  constexpr std::size_t kPerLine = 16;
  std::string out;
  for (std::size_t line = 0; line < bytes.size(); line += kPerLine) {
    const auto row = bytes.subspan(line, std::min(kPerLine, bytes.size() - line));
    std::string hex;
    std::string text;
    for (std::size_t i = 0; i < kPerLine; ++i) {
      if (i == kPerLine / 2) hex += ' ';
      if (i < row.size()) {
        hex += fmt::format(" {:02x}", row[i]);
        text += (row[i] >= 0x20 && row[i] < 0x7f) ? static_cast<char>(row[i]) : '.';
      } else {
        hex += "   ";
      }
    }
    out += fmt::format("  {:08x} {}  |{}|\n", base + line, hex, text);
  }
  return out;
}

}  // namespace zephon_probe
