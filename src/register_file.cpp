#include "register_file.h"

#include <algorithm>

#include "log.h"

namespace zephon {

namespace {

// Appends "0x" and value in lower-case hex, zero-padded to at least `digits`.
char* append_hex(char* out, std::uint64_t value, int digits) {
  int width = 1;
  while (width < 16 && (value >> (4 * width)) != 0) ++width;
  width = std::max(width, digits);
  *out++ = '0';
  *out++ = 'x';
  for (int i = width - 1; i >= 0; --i) *out++ = "0123456789abcdef"[(value >> (4 * i)) & 0xf];
  return out;
}

// The message of a register event: exactly what the format
// "{} regs[{:#06x}] ({:#x}) = {:#010x}" gives, written out by hand because one
// is made per guest access, and parsing that format at run time cost more
// than building and writing the rest of the line.
class RegisterMessage {
 public:
  RegisterMessage(std::string_view verb, std::uint64_t reg, std::uint64_t offset, std::uint32_t value) {
    char* p = std::copy(verb.begin(), verb.end(), text_);
    p = std::copy_n(" regs[", 6, p);
    p = append_hex(p, reg, 4);
    p = std::copy_n("] (", 3, p);
    p = append_hex(p, offset, 1);
    p = std::copy_n(") = ", 4, p);
    p = append_hex(p, value, 8);
    size_ = static_cast<std::size_t>(p - text_);
  }
  std::string_view text() const { return {text_, size_}; }

 private:
  char text_[5 + 6 + 18 + 3 + 18 + 4 + 10];  // every part at its widest
  std::size_t size_ = 0;
};

}  // namespace

void log_register_event(std::string_view verb, std::uint64_t reg, std::uint32_t value) {
  if (log::enabled(log::Level::Debug)) {
    log::write_text(log::Level::Debug, log::kDeviceTarget, RegisterMessage(verb, reg, 4 * reg, value).text());
  }
}

}  // namespace zephon
