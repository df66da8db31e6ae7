// Fuzz target: zephon-trace's log line parsers, given any text a log file can
// hold: zephon's log lines and mmiotrace records.
//
// Input: the log; each line (cut at its newline) goes through one zephon line
// parser, in order, as zephon-trace reads a file, so the parser's memory of
// the last timestamp carries from line to line; through the mmiotrace record
// parser; and through one LogReader, which tells the format by the first line
// (an input that starts with "VERSION 20070824" is read as an mmiotrace, with
// its mappings and register BAR). Each line is also used as the message of
// log lines built the way zephon writes them.
//
// The run aborts (a finding) when a line reads differently to a fresh parser,
// when a malformed or refused line has no reason, when a register event's
// time is not what its timestamp says or its timestamp is not taken from the
// line, when the line zephon would write for a register event does not read
// back as the same event, when a line zephon would write is called
// malformed, when an mmiotrace record printed as the kernel prints it does
// not read back as the same record, when an access of the register BAR lies
// outside it, or when an event written by export --format=mmiotrace does not
// read back as the same event.
#include <fmt/format.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "finding.h"
#include "recording/line_parser.h"
#include "log.h"
#include "recording/log_reader.h"
#include "recording/mmiotrace_line.h"
#include "mmiotrace_writer.h"

namespace {

using zephon_fuzz::finding;
using zephon_trace::LineKind;
using zephon_trace::LineParser;
using zephon_trace::ParsedLine;

bool same(const ParsedLine& a, const ParsedLine& b) {
  return a.kind == b.kind && a.reason == b.reason && a.event.op == b.event.op && a.event.index == b.event.index &&
         a.event.value == b.event.value && a.event.time_us == b.event.time_us &&
         a.event.time_text == b.event.time_text && a.event.length == b.event.length && a.event.irq == b.event.irq;
}

bool same_record(const zephon_trace::MmioRecord& a, const zephon_trace::MmioRecord& b) {
  return a.kind == b.kind && a.width == b.width && a.time_us == b.time_us && a.time_text == b.time_text &&
         a.map_id == b.map_id && a.phys == b.phys && a.value == b.value && a.text == b.text && a.reason == b.reason;
}

bool inside(std::string_view part, std::string_view line) {
  return part.empty() || (part.data() >= line.data() && part.data() + part.size() <= line.data() + line.size());
}

int digits(std::string_view text, std::size_t at, std::size_t n) {
  int value = 0;
  for (std::size_t i = at; i < at + n; ++i) value = value * 10 + (text[i] - '0');
  return value;
}

// The microseconds since the epoch of an accepted timestamp, by the C
// library's reckoning (which also carries a leap second into the next minute).
std::int64_t reference_micros(std::string_view stamp) {
  std::tm parts{};
  parts.tm_year = digits(stamp, 0, 4) - 1900;
  parts.tm_mon = digits(stamp, 5, 2) - 1;
  parts.tm_mday = digits(stamp, 8, 2);
  parts.tm_hour = digits(stamp, 11, 2);
  parts.tm_min = digits(stamp, 14, 2);
  parts.tm_sec = digits(stamp, 17, 2);
  return std::int64_t{::timegm(&parts)} * 1000000 + digits(stamp, 20, 6);
}

// Returns the line zephon writes, without its newline.
std::string zephon_line(bool colour, std::string_view stamp, zephon::log::Level level, std::string_view target,
                        std::string_view message) {
  std::string line = zephon::log::format_line(colour, stamp, level, target, message);
  line.pop_back();
  return line;
}

void check_register(std::string_view line, const ParsedLine& parsed) {
  const zephon_trace::Event& event = parsed.event;
  if (event.time_text.size() != zephon_trace::kTimestampSize || event.time_text.data() < line.data() ||
      event.time_text.data() + event.time_text.size() > line.data() + line.size()) {
    finding("a register event whose timestamp is not taken from its line");
  }
  if (event.time_us != reference_micros(event.time_text)) finding("a register event at the wrong time");
  // Each kind of event as zephon words it: the guest's reads and writes, a
  // device script's own register changes and the interrupts it raises.
  std::string message;
  switch (event.op) {
    case zephon_trace::Op::Read:
    case zephon_trace::Op::Write:
    case zephon_trace::Op::Set:
      message = fmt::format("{} regs[{:#06x}] ({:#x}) = {:#010x}",
                            event.op == zephon_trace::Op::Read    ? "Read "
                            : event.op == zephon_trace::Op::Write ? "Write"
                                                                   : "Set  ",
                            event.index, zephon_trace::byte_offset(event.index), event.value);
      break;
    case zephon_trace::Op::Irq:
      message = fmt::format("Irq   vector {} ({})", event.value, zephon_trace::irq_index_name(event.irq));
      break;
    case zephon_trace::Op::DmaRead:
    case zephon_trace::Op::DmaWrite:
      message = fmt::format("Dma   {} {:#018x} +{}", event.op == zephon_trace::Op::DmaRead ? "read " : "write",
                            event.value, event.length);
      break;
    case zephon_trace::Op::Mark:
      finding("a marker read from a zephon log");
  }
  for (bool colour : {false, true}) {
    const std::string own = zephon_line(colour, event.time_text, zephon::log::Level::Debug, "zephon", message);
    ParsedLine again = LineParser().parse(own);
    again.event.time_text = event.time_text;  // it points into `own`
    if (again.kind != LineKind::Register || !same(again, parsed)) {
      finding("the line zephon writes for a register event does not read back as that event");
    }
  }
}

// Lines zephon writes that are not register events must never be malformed,
// whatever their message. The line's length picks the colouring, level and
// target, so that one input always makes the same checks.
void check_as_message(std::string_view message) {
  if (message.find('\0') != std::string_view::npos) return;  // binary lines are malformed by design
  constexpr std::string_view kStamp = "2026-03-01T12:00:00.000123Z";
  constexpr zephon::log::Level kLevels[] = {zephon::log::Level::Info, zephon::log::Level::Warn,
                                            zephon::log::Level::Error};
  constexpr std::string_view kTargets[] = {"vfio_user", "zephon", "zephon::pci"};
  const std::size_t pick = message.size();
  const ParsedLine parsed = LineParser().parse(
      zephon_line(pick % 2 == 1, kStamp, kLevels[pick / 2 % 3], kTargets[pick / 6 % 3], message));
  if (parsed.kind != LineKind::Other) finding("a line zephon writes is not read as another line");
}

// An mmiotrace record: the same to a second parse, and, for the records
// zephon-trace takes fields from, the same again when printed as the kernel
// prints it.
void check_record(std::string_view line) {
  using zephon_trace::MmioKind;
  const zephon_trace::MmioRecord r = zephon_trace::parse_mmiotrace_line(line);
  if (!same_record(r, zephon_trace::parse_mmiotrace_line(line))) finding("an mmiotrace record reads differently twice");
  if (r.kind == MmioKind::Malformed && r.reason.empty()) finding("a malformed mmiotrace record without a reason");
  if (!inside(r.time_text, line) || !inside(r.text, line)) finding("an mmiotrace record's text not taken from its line");
  std::string kernel;
  if (r.kind == MmioKind::Read || r.kind == MmioKind::Write) {
    if (r.width != 1 && r.width != 2 && r.width != 4 && r.width != 8) finding("an access of another width");
    if (r.width < 8 && r.value >> (8 * r.width) != 0) finding("an access's value wider than the access");
    kernel = fmt::format("{} {} {} {} {:#x} {:#x} 0x0 0", r.kind == MmioKind::Read ? 'R' : 'W', r.width, r.time_text,
                         r.map_id, r.phys, r.value);
  } else if (r.kind == MmioKind::Map) {
    kernel = fmt::format("MAP {} {} {:#x} 0x0 {:#x} 0x0 0", r.time_text, r.map_id, r.phys, r.value);
  } else if (r.kind == MmioKind::Mark) {
    kernel = fmt::format("MARK {} {}", r.time_text, r.text);
  } else {
    return;
  }
  zephon_trace::MmioRecord again = zephon_trace::parse_mmiotrace_line(kernel);
  again.time_text = r.time_text;  // they point into `kernel`
  again.text = r.text;
  if (!same_record(again, r)) finding("an mmiotrace record printed as the kernel prints it reads back otherwise");
}

// An event as export --format=mmiotrace writes it reads back as that event
// (a device script's line as a marker holding its message).
void check_exported(const zephon_trace::Event& e, bool mmiotrace) {
  using zephon_trace::Op;
  constexpr std::uint64_t kBar = 0xfe000000;
  zephon_trace::Output out(-1, SIZE_MAX);  // never flushed: the text stays in its buffer
  zephon_trace::MmiotraceWriter writer(out, kBar);
  writer.on_event(e);
  std::string_view text(out.buffer().data(), out.buffer().size());
  text.remove_suffix(1);  // the newline that ends every record
  const std::string_view last = text.substr(text.rfind('\n') + 1);
  zephon_trace::LogReader reader;
  (void)reader.read("VERSION 20070824");
  (void)reader.read(fmt::format("MAP 0.000000 1 {:#x} 0x0 0x40000 0x0 0", kBar));
  const ParsedLine back = reader.read(last);
  if (back.kind != LineKind::Register) finding("an exported event does not read back");
  const bool access = e.op == Op::Read || e.op == Op::Write;
  if (back.event.op != (access ? e.op : Op::Mark)) finding("an exported event reads back as another kind");
  if (access && (back.event.width != e.width || zephon_trace::byte_offset(back.event) != zephon_trace::byte_offset(e) ||
                 back.event.value != e.value)) {
    finding("an exported access reads back otherwise");
  }
  std::string_view mark = e.text;  // carriage returns at its end are the line's, not the marker's
  while (mark.ends_with('\r')) mark.remove_suffix(1);
  if (e.op == Op::Mark && back.event.text != mark) finding("an exported marker reads back otherwise");
  if (mmiotrace && back.event.time_us != e.time_us) finding("an exported mmiotrace event at another time");
}

// What the reader that tells the formats apart made of a line.
void check_read(std::string_view line, const ParsedLine& parsed, zephon_trace::LogFormat format) {
  if ((parsed.kind == LineKind::Malformed || parsed.kind == LineKind::Refused) && parsed.reason.empty()) {
    finding("a line refused or malformed without a reason");
  }
  if (parsed.kind != LineKind::Register) return;
  const zephon_trace::Event& e = parsed.event;
  if (!inside(e.time_text, line) || !inside(e.text, line)) finding("an event's text not taken from its line");
  if (zephon_trace::has_register(e) && zephon_trace::byte_offset(e) + e.width > zephon_trace::kBarSize) {
    finding("a register access past the end of the register BAR");
  }
  check_exported(e, format == zephon_trace::LogFormat::Mmiotrace);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  LineParser parser;
  zephon_trace::LogReader reader;
  for (;;) {
    const std::size_t end = input.find('\n');
    const std::string_view line = input.substr(0, end);
    const ParsedLine parsed = parser.parse(line);
    if (!same(parsed, LineParser().parse(line))) finding("a line reads differently to a fresh parser");
    if (parsed.kind == LineKind::Malformed && parsed.reason.empty()) finding("a malformed line without a reason");
    if (parsed.kind == LineKind::Register) check_register(line, parsed);
    check_as_message(line);
    check_record(line);
    const ParsedLine read = reader.read(line);
    check_read(line, read, reader.format());
    if (read.kind == LineKind::Refused) break;  // zephon-trace reads no further
    if (end == std::string_view::npos) break;
    input.remove_prefix(end + 1);
  }
  (void)reader.finish();
  return 0;
}
