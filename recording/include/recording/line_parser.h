// LineParser recognises the lines of a zephon log: "TIMESTAMP LEVEL TARGET:
// MESSAGE", plain or wrapped in terminal colour escapes, and takes the BAR 2
// register accesses ("Read  regs[0x0017] (0x5c) = 0x00000000", "Write ...")
// apart into events, with what a device script adds: registers it set
// ("Set   regs[...] (...) = ...", Op::Set), interrupts it raised
// ("Irq   vector 0 (MSI-X)", Op::Irq) and its reads and writes of guest
// memory ("Dma   read  0x0000000000100100 +16", Op::DmaRead, Op::DmaWrite);
// these are events too.
//
// Contract: every line is classified as a register event, another line
// (a log line of another kind, or text that is not a log line at all, such as
// a fatal error report), or malformed: a log line with a field that is wrong
// or cut short, or a line holding binary bytes. Malformed lines carry a short
// static reason. Among the other lines, the server's "Connection closed",
// after which zephon logs no more, is flagged. Fields are read at fixed places; nothing is allocated.
#ifndef RECORDING_LINE_PARSER_H_
#define RECORDING_LINE_PARSER_H_

#include <string_view>

#include "recording/event.h"
#include "recording/timestamp.h"

namespace zephon_trace {

// What a line of a log is. Register lines carry an event; the other kinds
// are counted. Outside, Undecoded and Refused come only from an mmiotrace:
// an access to a mapping that is not the register BAR, an access to it that
// mmiotrace could not decode (UNKNOWN), and a trace that cannot be read on
// (the register BAR is ambiguous).
enum class LineKind : std::uint8_t { Register, Other, Malformed, Outside, Undecoded, Refused };

struct ParsedLine {
  LineKind kind = LineKind::Other;
  Event event;              // when kind is Register (line number left 0)
  std::string_view reason;  // when kind is Malformed (static text) or Refused (valid until the next line)
  bool ends_log = false;    // an Other line that zephon writes last: its connection closed
};

class LineParser {
 public:
  // Returns what the line is; line is without its newline (a trailing
  // carriage return is ignored).
  ParsedLine parse(std::string_view line);

 private:
  TimestampParser timestamps_;
};

}  // namespace zephon_trace

#endif  // RECORDING_LINE_PARSER_H_
