#include "recording/line_parser.h"

#include "field_match.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace zephon_trace {

namespace {

using fields::decimal;
using fields::hex_fixed;
using fields::hex_variable;
using fields::is_digit;
using fields::kCut;
using fields::literal;
using fields::Match;

constexpr std::string_view kDim = "\x1b[2m";
constexpr std::string_view kReset = "\x1b[0m";
// What follows the timestamp on a register event, the common case that is
// matched in one comparison.
constexpr std::string_view kPlainMiddle = " DEBUG zephon: ";
constexpr std::string_view kColourMiddle = "\x1b[0m \x1b[34mDEBUG\x1b[0m \x1b[2mzephon\x1b[0m\x1b[2m:\x1b[0m ";
constexpr std::string_view kReadPrefix = "Read  regs[";
constexpr std::string_view kWritePrefix = "Write regs[";
// A register the device script changed on its own: same shape as an access.
constexpr std::string_view kSetPrefix = "Set   regs[";

constexpr std::array<std::string_view, 5> kLevels = {"TRACE", "DEBUG", " INFO", " WARN", "ERROR"};
constexpr std::array<std::string_view, 5> kLevelColours = {"\x1b[35m", "\x1b[34m", "\x1b[32m", "\x1b[33m",
                                                           "\x1b[31m"};

ParsedLine malformed(std::string_view reason) {
  ParsedLine line;
  line.kind = LineKind::Malformed;
  line.reason = reason;
  return line;
}

// Returns the malformed line for a failed match: cut short, or the field's reason.
ParsedLine failed(Match m, std::string_view reason) { return malformed(m == Match::Short ? kCut : reason); }

// The level, target and message of a log line that is not a register event.
struct Fields {
  std::string_view level;    // five characters, as the line shows it
  std::string_view target;
  std::string_view message;
};

ParsedLine classify(const Fields& fields, ParsedLine line);

// The message of a DEBUG zephon line.
ParsedLine parse_message(std::string_view msg, ParsedLine line) {
  if (msg.starts_with(kReadPrefix)) {
    line.event.op = Op::Read;
  } else if (msg.starts_with(kWritePrefix)) {
    line.event.op = Op::Write;
  } else if (msg.starts_with(kSetPrefix)) {
    line.event.op = Op::Set;
  } else if (msg.size() < kReadPrefix.size() &&
             (kReadPrefix.starts_with(msg) || kWritePrefix.starts_with(msg) || kSetPrefix.starts_with(msg))) {
    return malformed(kCut);
  } else if (msg.starts_with("Read") || msg.starts_with("Write")) {
    return malformed("message starts like a register access but is not one");
  } else if (msg.starts_with("Set ")) {
    return malformed("message starts like a register set but is not one");
  } else {
    return classify(Fields{"DEBUG", "zephon", msg}, line);
  }
  std::size_t p = kReadPrefix.size();
  std::uint64_t index = 0, offset = 0, value = 0;
  Match m = literal(msg, p, "0x");
  if (m == Match::Ok) m = hex_fixed(msg, p, 4, index);
  if (m != Match::Ok) return failed(m, "register index is not 0x and 4 hex digits");
  if (m = literal(msg, p, "] (0x"); m != Match::Ok) return failed(m, "expected \"] (0x\" after the register index");
  if (m = hex_variable(msg, p, 5, offset); m != Match::Ok) return failed(m, "byte offset is not a hex number");
  if (m = literal(msg, p, ") = 0x"); m != Match::Ok) return failed(m, "expected \") = 0x\" after the byte offset");
  if (m = hex_fixed(msg, p, 8, value); m != Match::Ok) return failed(m, "value is not 0x and 8 hex digits");
  if (p != msg.size()) return malformed("unexpected text after the value");
  if (offset != byte_offset(static_cast<std::uint16_t>(index))) {
    return malformed("byte offset is not 4 times the register index");
  }
  line.kind = LineKind::Register;
  line.event.index = static_cast<std::uint16_t>(index);
  line.event.value = value;
  return line;
}

// Checks the level and target of a plain log line that is not a register
// event; returns a malformed line, or another line with fields filled in.
ParsedLine check_plain_prefix(std::string_view rest, Fields& fields) {
  std::size_t p = 0;
  if (Match m = literal(rest, p, " "); m != Match::Ok) return failed(m, "no space after the timestamp");
  if (rest.size() < p + 6) return malformed(kCut);
  std::string_view level = rest.substr(p, 5);
  if (std::find(kLevels.begin(), kLevels.end(), level) == kLevels.end()) return malformed("unknown level");
  p += 5;
  if (rest[p] != ' ') return malformed("no space after the level");
  ++p;
  std::size_t colon = rest.find(": ", p);
  if (colon == std::string_view::npos) {
    return rest.find(' ', p) == std::string_view::npos ? malformed(kCut) : malformed("no ': ' after the target");
  }
  if (colon == p || rest.substr(p, colon - p).find(' ') != std::string_view::npos) {
    return malformed("no ': ' after the target");
  }
  fields = Fields{level, rest.substr(p, colon - p), rest.substr(colon + 2)};
  return ParsedLine{};
}

// The same for a coloured line.
ParsedLine check_colour_prefix(std::string_view rest, Fields& fields) {
  std::size_t p = 0;
  if (Match m = literal(rest, p, kReset); m != Match::Ok) return failed(m, "no reset after the timestamp");
  if (Match m = literal(rest, p, " \x1b[3"); m != Match::Ok) return failed(m, "no level colour");
  if (rest.size() < p + 2 + 5 + kReset.size() + 1) return malformed(kCut);
  std::string_view colour = rest.substr(p - 3, 5);  // ESC [ 3 N m
  std::string_view level = rest.substr(p + 2, 5);
  auto it = std::find(kLevels.begin(), kLevels.end(), level);
  if (it == kLevels.end()) return malformed("unknown level");
  if (kLevelColours[static_cast<std::size_t>(it - kLevels.begin())] != colour) {
    return malformed("level colour does not match the level");
  }
  p += 2 + 5;
  if (Match m = literal(rest, p, "\x1b[0m \x1b[2m"); m != Match::Ok) {
    return failed(m, "level not followed by the target");
  }
  constexpr std::string_view kTargetEnd = "\x1b[0m\x1b[2m:\x1b[0m ";
  std::size_t end = rest.find(kTargetEnd, p);
  if (end == std::string_view::npos) return malformed(kCut);
  if (end == p) return malformed("empty target");
  fields = Fields{level, rest.substr(p, end - p), rest.substr(end + kTargetEnd.size())};
  return ParsedLine{};
}

// Marks the server's line for the end of its one connection.
void connection_closed(std::string_view, ParsedLine& line) { line.ends_log = true; }

// Takes an interrupt line, "Irq   vector N (MSI-X)", apart into an Irq
// event, or marks it malformed.
void interrupt_raised(std::string_view msg, ParsedLine& line) {
  constexpr std::string_view kVector = "Irq   vector ";
  constexpr std::array<std::pair<std::string_view, IrqIndex>, 4> kIndexes = {{
      {"INTx", IrqIndex::IntX}, {"MSI", IrqIndex::Msi}, {"MSI-X", IrqIndex::MsiX}, {"other", IrqIndex::Other}}};
  auto bad = [&](Match m, std::string_view reason) { line = failed(m, reason); };
  std::size_t p = 0;
  if (Match m = literal(msg, p, kVector); m != Match::Ok) return bad(m, "message starts like an interrupt but is not one");
  std::uint64_t vector = 0;
  std::size_t digits = 0;
  for (; p < msg.size() && is_digit(msg[p]); ++p, ++digits) {
    vector = vector * 10 + static_cast<std::uint64_t>(msg[p] - '0');
    if (vector > UINT32_MAX) return bad(Match::Bad, "interrupt vector is not a 32-bit decimal number");
  }
  if (digits == 0) return bad(p >= msg.size() ? Match::Short : Match::Bad, "interrupt vector is not a decimal number");
  if (Match m = literal(msg, p, " ("); m != Match::Ok) return bad(m, "expected \" (\" after the interrupt vector");
  const std::size_t close = msg.find(')', p);
  if (close == std::string_view::npos) return bad(Match::Short, "");
  const std::string_view name = msg.substr(p, close - p);
  auto it = std::find_if(kIndexes.begin(), kIndexes.end(), [&](const auto& k) { return k.first == name; });
  if (it == kIndexes.end()) return bad(Match::Bad, "unknown interrupt index");
  if (close + 1 != msg.size()) return bad(Match::Bad, "unexpected text after the interrupt index");
  line.kind = LineKind::Register;
  line.event.op = Op::Irq;
  line.event.index = 0;
  line.event.value = static_cast<std::uint32_t>(vector);
  line.event.irq = it->second;
}

// Takes a device script's access to guest memory, "Dma   read  0x%016x +N"
// or "Dma   write 0x%016x +N", apart into a DMA event, or marks it malformed.
void memory_accessed(std::string_view msg, ParsedLine& line) {
  auto bad = [&](Match m, std::string_view reason) { line = failed(m, reason); };
  std::size_t p = 0;
  Op op = Op::DmaRead;
  if (Match m = literal(msg, p, "Dma   read  "); m == Match::Bad) {
    p = 0;
    if (m = literal(msg, p, "Dma   write "); m != Match::Ok) return bad(m, "message starts like a DMA but is not one");
    op = Op::DmaWrite;
  } else if (m == Match::Short) {
    return bad(m, "");
  }
  std::uint64_t address = 0;
  Match m = literal(msg, p, "0x");
  if (m == Match::Ok) m = hex_fixed(msg, p, 16, address);
  if (m != Match::Ok) return bad(m, "DMA address is not 0x and 16 hex digits");
  if (m = literal(msg, p, " +"); m != Match::Ok) return bad(m, "expected \" +\" after the DMA address");
  // Nineteen digits hold any length a script can ask for.
  std::uint64_t length = 0;
  if (m = decimal(msg, p, 19, length); m != Match::Ok) return bad(m, "DMA length is not a decimal number");
  if (p != msg.size()) return bad(Match::Bad, "unexpected text after the DMA length");
  line.kind = LineKind::Register;
  line.event.op = op;
  line.event.value = address;
  line.event.length = length;
}

// Lines other than register accesses that mean something to a reader. A new
// kind of line is recognised by adding its rule here (and, if it is to carry
// more than a flag, a field to ParsedLine): the level and target it is logged
// with, the start of its message (the whole message when exact), and what to
// make of it. Register accesses are matched before these, on their own fast
// path.
struct MessageRule {
  std::string_view level;
  std::string_view target;
  std::string_view prefix;
  bool exact;
  void (*apply)(std::string_view message, ParsedLine& line);
};
constexpr MessageRule kMessageRules[] = {
    {" INFO", "vfio_user", "Connection closed", true, connection_closed},
    {"DEBUG", "zephon", "Irq ", false, interrupt_raised},
    {"DEBUG", "zephon", "Dma ", false, memory_accessed},
};

// Returns the line after applying the rule its fields match, if any.
ParsedLine classify(const Fields& fields, ParsedLine line) {
  for (const MessageRule& rule : kMessageRules) {
    if (fields.level != rule.level || fields.target != rule.target) continue;
    if (rule.exact ? fields.message != rule.prefix : !fields.message.starts_with(rule.prefix)) continue;
    rule.apply(fields.message, line);
    break;
  }
  return line;
}

}  // namespace

ParsedLine LineParser::parse(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (std::memchr(line.data(), '\0', line.size()) != nullptr) return malformed("binary data (a NUL byte)");
  std::size_t at = 0;
  bool colour = false;
  if (line.starts_with(kDim)) {
    colour = true;
    at = kDim.size();
  } else if (line.size() < 5 || !is_digit(line[0]) || !is_digit(line[1]) || !is_digit(line[2]) ||
             !is_digit(line[3]) || line[4] != '-') {
    return ParsedLine{};  // not a log line: an error report, a usage text, ...
  }
  if (line.size() < at + kTimestampSize) return malformed(kCut);
  std::string_view stamp = line.substr(at, kTimestampSize);
  auto micros = timestamps_.parse(stamp);
  if (!micros) return malformed("timestamp is not YYYY-MM-DDTHH:MM:SS.ffffffZ");
  std::string_view rest = line.substr(at + kTimestampSize);
  std::string_view middle = colour ? kColourMiddle : kPlainMiddle;
  if (rest.starts_with(middle)) {
    ParsedLine parsed;
    parsed.event.time_us = *micros;
    parsed.event.time_text = stamp;
    return parse_message(rest.substr(middle.size()), parsed);
  }
  Fields fields;
  ParsedLine checked = colour ? check_colour_prefix(rest, fields) : check_plain_prefix(rest, fields);
  if (checked.kind == LineKind::Malformed) return checked;
  return classify(fields, checked);
}

}  // namespace zephon_trace
