// MemorySpace is a byte-addressed memory that a device script reaches
// through a table of Lua functions (memory_bindings.h): guest memory, and
// any other memory a device model lends a script.
//
// Contract: read() and write() copy a whole range or refuse it without
// copying, except when what backs the memory goes away during the copy
// (then part may have been copied). Addresses are 64-bit; a range past 2^64
// is refused. No pointer into the memory is handed out, so what backs it may
// change between calls. A refusal's text is static.
#ifndef ZEPHON_MEMORY_SPACE_H_
#define ZEPHON_MEMORY_SPACE_H_

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

namespace zephon {

class MemorySpace {
 public:
  virtual ~MemorySpace() = default;

  // Returns success after filling out with the bytes from address on, or
  // why the range cannot be read.
  virtual std::expected<void, std::string_view> read(std::uint64_t address, std::span<std::uint8_t> out) = 0;
  // Returns success after storing data from address on, or why the range
  // cannot be written.
  virtual std::expected<void, std::string_view> write(std::uint64_t address, std::span<const std::uint8_t> data) = 0;
};

}  // namespace zephon

#endif  // ZEPHON_MEMORY_SPACE_H_
