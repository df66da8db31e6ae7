// The bytes of BAR 2 as a file of 32-bit registers: an access of 1, 2, 4 or
// 8 bytes at any byte offset reads or changes the bytes it covers, least
// significant first, as the device's little-endian registers are laid out.
//
// Contract: offsets and widths past the end of the file touch only the bytes
// inside it (the rest read as zero); nothing is allocated.
#ifndef ZEPHON_TRACE_REGISTER_BYTES_H_
#define ZEPHON_TRACE_REGISTER_BYTES_H_

#include <cstdint>
#include <span>

namespace zephon_trace {

// Returns the width bytes at byte offset at, least significant first.
inline std::uint64_t load_bytes(std::span<const std::uint32_t> regs, std::uint32_t at, unsigned width) {
  std::uint64_t value = 0;
  for (unsigned i = 0; i < width; ++i) {
    const std::uint64_t pos = std::uint64_t{at} + i;
    if (pos / 4 >= regs.size()) break;
    value |= std::uint64_t{(regs[pos / 4] >> (8 * (pos % 4))) & 0xff} << (8 * i);
  }
  return value;
}

// Returns nothing; stores the low width bytes of value at byte offset at.
inline void store_bytes(std::span<std::uint32_t> regs, std::uint32_t at, unsigned width, std::uint64_t value) {
  for (unsigned i = 0; i < width; ++i) {
    const std::uint64_t pos = std::uint64_t{at} + i;
    if (pos / 4 >= regs.size()) break;
    const unsigned shift = 8 * (pos % 4);
    std::uint32_t& reg = regs[pos / 4];
    reg = (reg & ~(std::uint32_t{0xff} << shift)) | static_cast<std::uint32_t>((value >> (8 * i)) & 0xff) << shift;
  }
}

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_REGISTER_BYTES_H_
