// Fuzz target: zephon-trace's log line parser, given any text a log file can
// hold.
//
// Input: the log; each line (cut at its newline) goes through one parser, in
// order, as zephon-trace reads a file, so the parser's memory of the last
// timestamp carries from line to line. Each line is also used as the message
// of log lines built the way zephon writes them.
//
// The run aborts (a finding) when a line reads differently to a fresh parser,
// when a malformed line has no reason, when a register event's time is not
// what its timestamp says or its timestamp is not taken from the line, when
// the line zephon would write for a register event does not read back as the
// same event, or when a line zephon would write is called malformed.
#include <fmt/format.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "finding.h"
#include "line_parser.h"
#include "log.h"

namespace {

using zephon_fuzz::finding;
using zephon_trace::LineKind;
using zephon_trace::LineParser;
using zephon_trace::ParsedLine;

bool same(const ParsedLine& a, const ParsedLine& b) {
  return a.kind == b.kind && a.reason == b.reason && a.event.op == b.event.op && a.event.index == b.event.index &&
         a.event.value == b.event.value && a.event.time_us == b.event.time_us &&
         a.event.time_text == b.event.time_text;
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  LineParser parser;
  for (;;) {
    const std::size_t end = input.find('\n');
    const std::string_view line = input.substr(0, end);
    const ParsedLine parsed = parser.parse(line);
    if (!same(parsed, LineParser().parse(line))) finding("a line reads differently to a fresh parser");
    if (parsed.kind == LineKind::Malformed && parsed.reason.empty()) finding("a malformed line without a reason");
    if (parsed.kind == LineKind::Register) check_register(line, parsed);
    check_as_message(line);
    if (end == std::string_view::npos) break;
    input.remove_prefix(end + 1);
  }
  return 0;
}
