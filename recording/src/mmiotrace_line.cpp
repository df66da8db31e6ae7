#include "recording/mmiotrace_line.h"

#include <cstring>

#include "field_match.h"

namespace zephon_trace {

namespace {

using fields::decimal;
using fields::hex_variable;
using fields::kCut;
using fields::literal;
using fields::Match;

MmioRecord malformed(std::string_view reason) {
  MmioRecord r;
  r.kind = MmioKind::Malformed;
  r.reason = reason;
  return r;
}

// The fields of a record after its keyword, read in order; the first that
// fails leaves the reason and stops the rest.
class Fields {
 public:
  Fields(std::string_view line, std::size_t at) : s_(line), p_(at) {}

  bool ok() const { return reason_.empty(); }
  std::string_view reason() const { return reason_; }

  // One space, then "SECONDS.MICROS" (the kernel's "%u.%06lu").
  void time(MmioRecord& r) {
    const std::size_t start = p_ + 1;
    std::uint64_t seconds = 0, micros = 0;
    std::size_t before = 0;
    if (!space()) return;
    Match m = decimal(s_, p_, 10, seconds);
    if (m == Match::Ok) m = literal(s_, p_, ".");
    before = p_;
    if (m == Match::Ok) m = decimal(s_, p_, 6, micros);
    if (m == Match::Ok && p_ - before != 6) m = p_ == s_.size() ? Match::Short : Match::Bad;
    if (!check(m, "time is not SECONDS.MICROSECONDS")) return;
    r.time_us = static_cast<std::int64_t>(seconds * 1000000 + micros);
    r.time_text = s_.substr(start, p_ - start);
  }
  // One space, then a decimal number.
  void number(std::uint64_t& out, std::string_view reason) {
    if (space()) check(decimal(s_, p_, 19, out), reason);
  }
  // One space, then 0x and 1 to 16 hex digits.
  void hex(std::uint64_t& out, std::string_view reason) {
    if (!space()) return;
    Match m = literal(s_, p_, "0x");
    if (m == Match::Ok) m = hex_variable(s_, p_, 16, out);
    check(m, reason);
  }
  // One space, then three bytes of an undecoded instruction: "xx,xx,xx".
  void opcode_bytes() {
    if (!space()) return;
    std::uint64_t byte = 0;
    Match m = hex_variable(s_, p_, 2, byte);
    for (int i = 0; i < 2 && m == Match::Ok; ++i) {
      m = literal(s_, p_, ",");
      if (m == Match::Ok) m = hex_variable(s_, p_, 2, byte);
    }
    check(m, "instruction bytes are not three hex bytes");
  }
  // Nothing may follow the last field.
  void end() {
    if (ok() && p_ != s_.size()) reason_ = "unexpected text after the record";
  }
  // One space, then the rest of the line.
  std::string_view rest() {
    if (!space()) return {};
    return s_.substr(p_);
  }

 private:
  bool space() {
    if (!ok()) return false;
    return check(literal(s_, p_, " "), "fields are not one space apart");
  }
  bool check(Match m, std::string_view reason) {
    if (m == Match::Ok || !ok()) return ok();
    reason_ = m == Match::Short ? kCut : reason;
    return false;
  }

  std::string_view s_;
  std::size_t p_;
  std::string_view reason_;  // empty while every field matched
};

constexpr std::string_view kPhys = "physical address is not 0x and hex digits";
constexpr std::string_view kMapId = "mapping id is not a decimal number";

// The tail every access and mapping record ends with: the program counter
// and the process id.
void pc_and_pid(Fields& f) {
  std::uint64_t unused = 0;
  f.hex(unused, "program counter is not 0x and hex digits");
  f.number(unused, "process id is not a decimal number");
}

MmioRecord access(std::string_view line, MmioKind kind) {
  MmioRecord r;
  r.kind = kind;
  Fields f(line, 1);
  std::uint64_t width = 0;
  f.number(width, "access width is not a decimal number");
  if (f.ok() && width != 1 && width != 2 && width != 4 && width != 8) return malformed("access width is not 1, 2, 4 or 8 bytes");
  f.time(r);
  f.number(r.map_id, kMapId);
  f.hex(r.phys, kPhys);
  f.hex(r.value, "value is not 0x and hex digits");
  pc_and_pid(f);
  f.end();
  if (!f.ok()) return malformed(f.reason());
  r.width = static_cast<std::uint8_t>(width);
  if (width < 8) r.value &= (std::uint64_t{1} << (8 * width)) - 1;
  return r;
}

MmioRecord mapping(std::string_view line) {
  MmioRecord r;
  r.kind = MmioKind::Map;
  Fields f(line, 3);
  std::uint64_t virt = 0;
  f.time(r);
  f.number(r.map_id, kMapId);
  f.hex(r.phys, kPhys);
  f.hex(virt, "virtual address is not 0x and hex digits");
  f.hex(r.value, "mapping length is not 0x and hex digits");
  pc_and_pid(f);
  f.end();
  return f.ok() ? r : malformed(f.reason());
}

MmioRecord unmapping(std::string_view line) {
  MmioRecord r;
  r.kind = MmioKind::Unmap;
  Fields f(line, 5);
  f.time(r);
  f.number(r.map_id, kMapId);
  pc_and_pid(f);
  f.end();
  return f.ok() ? r : malformed(f.reason());
}

MmioRecord unknown(std::string_view line) {
  MmioRecord r;
  r.kind = MmioKind::Unknown;
  Fields f(line, 7);
  f.time(r);
  f.number(r.map_id, kMapId);
  f.hex(r.phys, kPhys);
  f.opcode_bytes();
  pc_and_pid(f);
  f.end();
  return f.ok() ? r : malformed(f.reason());
}

MmioRecord marker(std::string_view line) {
  MmioRecord r;
  r.kind = MmioKind::Mark;
  Fields f(line, 4);
  f.time(r);
  r.text = f.rest();
  return f.ok() ? r : malformed(f.reason());
}

}  // namespace

MmioRecord parse_mmiotrace_line(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (std::memchr(line.data(), '\0', line.size()) != nullptr) return malformed("binary data (a NUL byte)");
  const std::string_view keyword = line.substr(0, line.find(' '));
  if (keyword == "R") return access(line, MmioKind::Read);
  if (keyword == "W") return access(line, MmioKind::Write);
  if (keyword == "MAP") return mapping(line);
  if (keyword == "UNMAP") return unmapping(line);
  if (keyword == "MARK") return marker(line);
  if (keyword == "UNKNOWN") return unknown(line);
  MmioRecord r;
  if (keyword == "VERSION") {
    r.kind = MmioKind::Version;
    r.text = line.size() > 8 ? line.substr(8) : std::string_view();
  } else if (keyword == "PCIDEV" || keyword == "LSPCI") {
    r.kind = MmioKind::Header;
  }
  return r;
}

}  // namespace zephon_trace
