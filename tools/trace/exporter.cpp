#include "exporter.h"

namespace zephon_trace {

Exporter::Exporter(Output& out, ExportFormat format, const RegisterNames* names)
    : out_(out), format_(format), names_(names) {
  if (format_ == ExportFormat::Csv) out_.write(names_ ? "time,op,index,offset,value,name\n" : "time,op,index,offset,value\n");
}

void Exporter::on_event(const Event& e) {
  // The timestamp has only digits, '-', ':', '.', 'T' and 'Z', so it needs
  // no quoting in either format; nor do names.
  auto& b = out_.buffer();
  if (e.op == Op::Irq) {
    // An interrupt names no register: its vector goes in the index field
    // and its interrupt index's name in the value field.
    if (format_ == ExportFormat::Csv) {
      fmt::format_to(fmt::appender(b), FMT_COMPILE("{},irq,{},,{}{}\n"), e.time_text, e.value,
                     irq_index_name(e.irq), names_ != nullptr ? "," : "");
    } else {
      fmt::format_to(fmt::appender(b),
                     FMT_COMPILE("{{\"time\":\"{}\",\"op\":\"irq\",\"index\":{},\"offset\":null,\"value\":\"{}\"{}}}\n"),
                     e.time_text, e.value, irq_index_name(e.irq), names_ != nullptr ? ",\"name\":null" : "");
    }
    out_.line_done();
    return;
  }
  if (format_ == ExportFormat::Csv) {
    fmt::format_to(fmt::appender(b), FMT_COMPILE("{},{},{},{},{}"), e.time_text, op_name(e.op), e.index,
                   byte_offset(e.index), e.value);
    if (names_ != nullptr) fmt::format_to(fmt::appender(b), FMT_COMPILE(",{}"), names_->name(e.index));
    b.push_back('\n');
  } else {
    fmt::format_to(fmt::appender(b),
                   FMT_COMPILE("{{\"time\":\"{}\",\"op\":\"{}\",\"index\":{},\"offset\":{},\"value\":{}"),
                   e.time_text, op_name(e.op), e.index, byte_offset(e.index), e.value);
    if (names_ != nullptr) {
      const std::string_view name = names_->name(e.index);
      if (name.empty()) append_text(b, ",\"name\":null");
      else fmt::format_to(fmt::appender(b), FMT_COMPILE(",\"name\":\"{}\""), name);
    }
    append_text(b, "}\n");
  }
  out_.line_done();
}

}  // namespace zephon_trace
