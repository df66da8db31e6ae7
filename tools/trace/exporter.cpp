#include "exporter.h"

#include <nlohmann/json.hpp>

#include "access_text.h"

namespace zephon_trace {

namespace {

// Returns text as a JSON string; bytes that are not UTF-8 become U+FFFD.
std::string json_string(std::string_view text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Returns nothing; appends text as a quoted CSV field.
void append_csv_quoted(fmt::memory_buffer& b, std::string_view text) {
  b.push_back('"');
  for (char c : text) {
    if (c == '"') b.push_back('"');
    b.push_back(c);
  }
  b.push_back('"');
}

}  // namespace

Exporter::Exporter(Output& out, ExportFormat format, const RegisterNames* names)
    : out_(out), format_(format), names_(names) {
  if (format_ == ExportFormat::Csv) out_.write(names_ ? "time,op,index,offset,value,name\n" : "time,op,index,offset,value\n");
}

void Exporter::other_row(const Event& e) {
  auto& b = out_.buffer();
  const bool csv = format_ == ExportFormat::Csv;
  // An interrupt's vector goes in the index field and its interrupt index's
  // name in the value field; a DMA's guest address in the offset field and
  // its length in the value field; a marker's text in the value field.
  if (csv) fmt::format_to(fmt::appender(b), FMT_COMPILE("{},{},"), e.time_text, op_name(e.op));
  else fmt::format_to(fmt::appender(b), FMT_COMPILE("{{\"time\":\"{}\",\"op\":\"{}\","), e.time_text, op_name(e.op));
  switch (e.op) {
    case Op::Irq:
      if (csv) fmt::format_to(fmt::appender(b), FMT_COMPILE("{},,{}"), e.value, irq_index_name(e.irq));
      else fmt::format_to(fmt::appender(b), FMT_COMPILE("\"index\":{},\"offset\":null,\"value\":\"{}\""), e.value,
                          irq_index_name(e.irq));
      break;
    case Op::DmaRead:
    case Op::DmaWrite:
      if (csv) fmt::format_to(fmt::appender(b), FMT_COMPILE(",{},{}"), e.value, e.length);
      else fmt::format_to(fmt::appender(b), FMT_COMPILE("\"index\":null,\"offset\":{},\"value\":{}"), e.value,
                          e.length);
      break;
    default:
      if (csv) {
        append_text(b, ",,");
        append_csv_quoted(b, e.text);
      } else {
        append_text(b, "\"index\":null,\"offset\":null,\"value\":");
        append_text(b, json_string(e.text));
      }
      break;
  }
  if (names_ != nullptr) append_text(b, csv ? "," : ",\"name\":null");
  append_text(b, csv ? "\n" : "}\n");
  out_.line_done();
}

void Exporter::on_event(const Event& e) {
  if (!has_register(e)) return other_row(e);
  // The timestamp has only digits, '-', ':', '.', 'T' and 'Z', so it needs
  // no quoting in either format; nor do names.
  fmt::memory_buffer op;
  append_verb(op, e.op, e.width);
  const std::string_view verb(op.data(), op.size());
  auto& b = out_.buffer();
  if (format_ == ExportFormat::Csv) {
    fmt::format_to(fmt::appender(b), FMT_COMPILE("{},{},{},{},{}"), e.time_text, verb, e.index, byte_offset(e),
                   e.value);
    if (names_ != nullptr) fmt::format_to(fmt::appender(b), FMT_COMPILE(",{}"), names_->name(e.index));
    b.push_back('\n');
  } else {
    fmt::format_to(fmt::appender(b),
                   FMT_COMPILE("{{\"time\":\"{}\",\"op\":\"{}\",\"index\":{},\"offset\":{},\"value\":{}"),
                   e.time_text, verb, e.index, byte_offset(e), e.value);
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
