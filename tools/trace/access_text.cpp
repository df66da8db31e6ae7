#include "access_text.h"

#include <fmt/compile.h>

#include "output.h"

namespace zephon_trace {

void append_register(fmt::memory_buffer& out, std::uint16_t index, std::uint8_t byte, const RegisterNames* names) {
  fmt::format_to(fmt::appender(out), FMT_COMPILE("{:#06x}"), index);
  if (byte != 0) fmt::format_to(fmt::appender(out), FMT_COMPILE("+{}"), byte);
  if (names == nullptr) return;
  if (const std::string_view name = names->name(index); !name.empty()) {
    out.push_back(' ');
    append_text(out, name);
  }
}

void append_verb(fmt::memory_buffer& out, Op op, std::uint8_t width) {
  append_text(out, op_name(op));
  if (width != 4 && (op == Op::Read || op == Op::Write || op == Op::Set)) {
    fmt::format_to(fmt::appender(out), FMT_COMPILE("{}"), 8 * width);
  }
}

void append_value(fmt::memory_buffer& out, std::uint64_t value, std::uint8_t width) {
  switch (width) {
    case 1: fmt::format_to(fmt::appender(out), FMT_COMPILE("{:#04x}"), value); return;
    case 2: fmt::format_to(fmt::appender(out), FMT_COMPILE("{:#06x}"), value); return;
    case 8: fmt::format_to(fmt::appender(out), FMT_COMPILE("{:#018x}"), value); return;
    default: fmt::format_to(fmt::appender(out), FMT_COMPILE("{:#010x}"), value); return;
  }
}

}  // namespace zephon_trace
