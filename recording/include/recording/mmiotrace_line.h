// parse_mmiotrace_line takes one record of a Linux mmiotrace text log
// (format version 20070824) apart: R and W (an access: width, time, mapping
// id, physical address, value), MAP (a mapping: id, physical address,
// length), UNMAP, MARK (a person's marker: its text), UNKNOWN (an access the
// tracer could not decode), and the header records VERSION, PCIDEV and LSPCI.
//
// Contract: the fields are those the kernel prints, one space apart, numbers
// in the kernel's forms ("%u.%06lu" seconds, decimal ids, "0x%llx"
// addresses); a record with a field that is wrong or cut short, or text after
// its last field, is malformed with a short static reason. A value with bits
// beyond the access's width (a sign-extending read) keeps its low bytes. A
// line that starts with no known keyword is another line. Stateless; nothing
// is allocated; the views point into the line.
#ifndef RECORDING_MMIOTRACE_LINE_H_
#define RECORDING_MMIOTRACE_LINE_H_

#include <cstdint>
#include <string_view>

namespace zephon_trace {

enum class MmioKind : std::uint8_t { Read, Write, Map, Unmap, Mark, Unknown, Version, Header, Other, Malformed };

struct MmioRecord {
  MmioKind kind = MmioKind::Other;
  std::uint8_t width = 0;       // R, W: bytes, 1, 2, 4 or 8
  std::int64_t time_us = 0;     // microseconds since boot
  std::string_view time_text;   // the time as the record shows it
  std::uint64_t map_id = 0;     // R, W, MAP, UNMAP, UNKNOWN
  std::uint64_t phys = 0;       // R, W, MAP, UNKNOWN: the physical address
  std::uint64_t value = 0;      // R, W: the value; MAP: the length in bytes
  std::string_view text;        // MARK: its text; VERSION: the version
  std::string_view reason;      // Malformed: why
};

// Returns what the line is; line is without its newline (a trailing carriage
// return is ignored).
MmioRecord parse_mmiotrace_line(std::string_view line);

// The format version mmiotrace writes, the only one read.
inline constexpr std::string_view kMmiotraceVersion = "20070824";

}  // namespace zephon_trace

#endif  // RECORDING_MMIOTRACE_LINE_H_
