// Little-endian fields in byte buffers, the only byte order of option ROMs
// and of the ATOM tables inside them, and ImageBuffer, which lays out the
// structures of an image being built one after another.
//
// Contract: the getters and setters do not check bounds; every caller has
// checked that the field lies inside the span first. ImageBuffer grows as
// structures are placed and never shrinks.
#ifndef ZEPHON_TOOLS_ROM_BYTES_H_
#define ZEPHON_TOOLS_ROM_BYTES_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace zephon_rom {

using Bytes = std::span<const std::uint8_t>;

// Returns the byte at off.
inline std::uint8_t get8(Bytes b, std::size_t off) { return b[off]; }
// Returns the 16-bit little-endian field at off.
inline std::uint16_t get16(Bytes b, std::size_t off) {
  return static_cast<std::uint16_t>(b[off] | (b[off + 1] << 8));
}
// Returns the 32-bit little-endian field at off.
inline std::uint32_t get32(Bytes b, std::size_t off) {
  return static_cast<std::uint32_t>(get16(b, off)) | (static_cast<std::uint32_t>(get16(b, off + 2)) << 16);
}
// Returns nothing; stores v at off.
inline void put8(std::span<std::uint8_t> b, std::size_t off, std::uint8_t v) { b[off] = v; }
// Returns nothing; stores v little-endian at off.
inline void put16(std::span<std::uint8_t> b, std::size_t off, std::uint16_t v) {
  b[off] = static_cast<std::uint8_t>(v);
  b[off + 1] = static_cast<std::uint8_t>(v >> 8);
}
// Returns nothing; stores v little-endian at off.
inline void put32(std::span<std::uint8_t> b, std::size_t off, std::uint32_t v) {
  put16(b, off, static_cast<std::uint16_t>(v));
  put16(b, off + 2, static_cast<std::uint16_t>(v >> 16));
}
// Returns nothing; copies the characters of text to off.
inline void put_text(std::span<std::uint8_t> b, std::size_t off, std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) b[off + i] = static_cast<std::uint8_t>(text[i]);
}
// Returns whether the bytes at off spell text.
inline bool has_text(Bytes b, std::size_t off, std::string_view text) {
  if (off > b.size() || b.size() - off < text.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (b[off + i] != static_cast<std::uint8_t>(text[i])) return false;
  }
  return true;
}

// The bytes of an image under construction. Fixed fields are written at
// their offsets with at(); structures whose place is free are appended with
// place(), which returns where each one went so that pointers can name it.
class ImageBuffer {
 public:
  explicit ImageBuffer(std::size_t initial_size) : bytes_(initial_size, 0) {}

  // Returns the offset at which bytes now lie, appended after every byte
  // placed so far at the next multiple of align.
  std::size_t place(Bytes bytes, std::size_t align = 2) {
    std::size_t off = (bytes_.size() + align - 1) / align * align;
    bytes_.resize(off + bytes.size(), 0);
    std::copy(bytes.begin(), bytes.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(off));
    return off;
  }
  // Returns the n bytes at off, growing the buffer with zeros to hold them.
  std::span<std::uint8_t> at(std::size_t off, std::size_t n) {
    if (bytes_.size() < off + n) bytes_.resize(off + n, 0);
    return std::span(bytes_).subspan(off, n);
  }
  // Returns the number of bytes laid out so far.
  std::size_t size() const { return bytes_.size(); }
  // Returns the image, leaving the buffer empty.
  std::vector<std::uint8_t> take() { return std::move(bytes_); }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace zephon_rom

#endif  // ZEPHON_TOOLS_ROM_BYTES_H_
