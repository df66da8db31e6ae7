// The Lua table through which a device script reads and writes a memory
// (guest memory as `dma`; any MemorySpace a device model lends a script):
//
//   t.read(addr, len)     a string of len bytes (0 to kMaxAccess)
//   t.write(addr, bytes)  stores a string of at most kMaxAccess bytes
//   t.read8/16/32/64(addr)          an integer, little-endian
//   t.write8/16/32/64(addr, value)  stores value's low 8 to 64 bits
//
// Contract: addresses are Lua integers taken as 64-bit unsigned, any
// alignment. Every access copies: nothing of the memory stays reachable from
// Lua between calls. A refused range (MemorySpace's reason), a bad argument
// or a copy past the script's budget is a Lua error naming the function,
// e.g. "dma.write32 0x0000000000100000 +4 refused: the map there is
// read-only". Each access done is logged at DEBUG, target "zephon", as
// "Dma   read  0x0000000000100100 +16": the table's line kind and the
// direction, each padded to 5, the address in 16 hex digits, the length.
// The functions raise Lua errors, so they hold nothing with a destructor.
#ifndef ZEPHON_MEMORY_BINDINGS_H_
#define ZEPHON_MEMORY_BINDINGS_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "memory_space.h"

struct lua_State;

namespace zephon {

// The most bytes one read or write call copies.
inline constexpr std::size_t kMaxAccess = std::size_t{16} << 20;

struct MemoryTable {
  MemorySpace* space = nullptr;  // must outlive the Lua state
  const char* name = nullptr;    // the global's name, e.g. "dma"; static
  const char* line_kind = nullptr;  // the log line's first word, e.g. "Dma"; static
  // Counts a call copying `bytes` against the calling script's budget;
  // raises a Lua error once it is spent. Every function calls it before it
  // copies.
  void (*charge)(lua_State* state, std::size_t bytes) = nullptr;
};

// Makes the global table.name a table of the functions above, bound to a
// copy of table kept in the Lua state. Raises a Lua error on lack of memory.
void open_memory_table(lua_State* state, const MemoryTable& table);

}  // namespace zephon

#endif  // ZEPHON_MEMORY_BINDINGS_H_
