#include "recording/printable.h"

#include <fmt/compile.h>

namespace zephon_trace {

void append_printable(fmt::memory_buffer& out, std::string_view text) {
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f) fmt::format_to(fmt::appender(out), FMT_COMPILE("\\x{:02x}"), c);
    else out.push_back(ch);
  }
}

}  // namespace zephon_trace
