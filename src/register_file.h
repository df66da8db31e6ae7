// The BAR 2 register file of the emulated device, and the DEBUG line each
// event on one of its registers is logged as.
//
// Contract: kNumRegs 32-bit registers, register i answering BAR 2 bytes 4i
// to 4i+3. log_register_event() formats nothing unless DEBUG lines are
// written, and never allocates: it runs once per guest access.
#ifndef ZEPHON_REGISTER_FILE_H_
#define ZEPHON_REGISTER_FILE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zephon {

inline constexpr std::size_t kNumRegs = 65536;

using Registers = std::array<std::uint32_t, kNumRegs>;

// Writes the DEBUG line of one register event, target "zephon", in the form
// "Read  regs[0x0010] (0x40) = 0x0000cafe"; verb is "Read ", "Write" or
// "Set  " (a register the device script changed).
void log_register_event(std::string_view verb, std::uint64_t reg, std::uint32_t value);

}  // namespace zephon

#endif  // ZEPHON_REGISTER_FILE_H_
