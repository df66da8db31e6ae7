// How the reports write a register access: the register ("0x0017", or
// "0x0017+1" for an access that starts at byte 1 of it) with its name, the
// verb with the width when it is not 32 bits ("read", "write8", "read64"),
// and the value with as many hex digits as the access has bytes
// ("0x12", "0x00001234", "0x0000000000001234").
//
// Contract: appends to a buffer, allocating nothing else; a zephon log's
// accesses (32 bits at a register's start) read exactly as they always have.
#ifndef ZEPHON_TRACE_ACCESS_TEXT_H_
#define ZEPHON_TRACE_ACCESS_TEXT_H_

#include <fmt/format.h>

#include <cstdint>
#include <string_view>

#include "recording/event.h"
#include "names.h"

namespace zephon_trace {

// Returns nothing; appends "0x0017" or "0x0017+1", then " NAME" when names
// give the register one.
void append_register(fmt::memory_buffer& out, std::uint16_t index, std::uint8_t byte, const RegisterNames* names);

// Returns nothing; appends the op's name, with the width in bits after it
// for an access that is not 32 bits ("read8", "write64").
void append_verb(fmt::memory_buffer& out, Op op, std::uint8_t width);

// Returns nothing; appends value as 0x and two hex digits per byte of width.
void append_value(fmt::memory_buffer& out, std::uint64_t value, std::uint8_t width);

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_ACCESS_TEXT_H_
