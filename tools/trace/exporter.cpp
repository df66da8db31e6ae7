#include "exporter.h"

namespace zephon_trace {

Exporter::Exporter(Output& out, ExportFormat format) : out_(out), format_(format) {
  if (format_ == ExportFormat::Csv) out_.write("time,op,index,offset,value\n");
}

void Exporter::on_event(const Event& e) {
  // The timestamp has only digits, '-', ':', '.', 'T' and 'Z', so it needs
  // no quoting in either format.
  if (format_ == ExportFormat::Csv) {
    fmt::format_to(fmt::appender(out_.buffer()), FMT_COMPILE("{},{},{},{},{}\n"), e.time_text, op_name(e.op),
                   e.index, byte_offset(e.index), e.value);
  } else {
    fmt::format_to(fmt::appender(out_.buffer()),
                   FMT_COMPILE("{{\"time\":\"{}\",\"op\":\"{}\",\"index\":{},\"offset\":{},\"value\":{}}}\n"),
                   e.time_text, op_name(e.op), e.index, byte_offset(e.index), e.value);
  }
  out_.line_done();
}

}  // namespace zephon_trace
