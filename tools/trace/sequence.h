// Sequence prints the events of a log in order, one per line, as a list that
// can be replayed: "write 0x0004 = 0x12345678 (was 0x00000000)", "read 0x0004
// = 0x12345678", and a run of identical reads of one register as one line,
// "read 0x0e50 ×4096 = 0x00000000", so a polling loop shows as one line.
// Accesses of other widths than 32 bits name theirs, and one that starts
// inside a register says at which byte: "read8 0x0017+1 = 0x12", "write64
// 0x0040 = 0x0000000100000002 (was 0x0000000000000000)". A marker of an
// mmiotrace shows in its place as "mark TEXT".
//
// What a device script did shows too: "set 0x0021 = 0x00001234 (was
// 0x00000000)" for a register it set, "irq vector 0 (MSI-X)" for an
// interrupt, "dma read 0x0000000000100100 +16" for its access to guest
// memory. A script line that does not touch the polled register does not end
// a run of reads: a script that answers every poll would otherwise cut one
// wait into thousands of lines. Such lines are held while the run lasts and
// printed after it, in order: indented by two spaces when they came between
// reads of the run, not indented when they came after its last read.
// Identical consecutive ones are one line with their count ("set 0x0020
// ×4096 = 0x00000001 (was 0x00000000)"), and when the same few lines came
// between every two reads, they are printed once under a line giving how
// many times they came ("  ×4095:", the lines indented by four). At most
// kHeldLines lines are held; one more ends the run there, as does a guest
// write, a marker or a set of the polled register.
//
// Contract: streams: each line is written as soon as it is known (a run and
// its held lines when the run ends), and memory is one value per register
// plus the held lines. A write's "was" is what the log last showed for those
// bytes, read, written or set, or zero before any (zephon starts with every
// register zero; a device reset is not logged, so after one it may be
// stale). With times on, each line starts with the seconds since the first
// event of the log (for a run, of its first read; for a held line, of its
// first occurrence). finish() must be called to print a run still open at
// the end. With names, a register's name follows its index: "read 0x30d3
// RLC_STAT ×100000 = ...".
//
// For a live view, pending() tells whether a run is open, and
// write_pending() prints it as it stands without closing it.
#ifndef ZEPHON_TRACE_SEQUENCE_H_
#define ZEPHON_TRACE_SEQUENCE_H_

#include <array>
#include <cstdint>
#include <vector>

#include "recording/event.h"
#include "names.h"
#include "output.h"

namespace zephon_trace {

class Sequence final : public EventSink {
 public:
  static constexpr std::size_t kHeldLines = 64;

  Sequence(Output& out, bool with_time, const RegisterNames* names = nullptr)
      : out_(out), with_time_(with_time), names_(names) {}

  void on_event(const Event& event) override;
  // Returns nothing; prints the run of reads still open, and its held lines.
  void finish();
  // Returns the number of reads in the open run, 0 when none is open.
  std::uint64_t pending() const { return run_.count; }
  // Returns nothing; appends the open run's line as it stands, without its
  // newline, leaving the run open.
  void write_pending(fmt::memory_buffer& out) const;
  // Returns the number of lines written so far (an open run not counted).
  std::uint64_t lines() const { return lines_; }

 private:
  // A line to print, with the number of identical consecutive ones it
  // stands for: a run of reads, or a script line held during one.
  struct Line {
    Op op = Op::Read;
    std::uint8_t width = 4;
    std::uint8_t byte = 0;
    std::uint16_t index = 0;
    IrqIndex irq = IrqIndex::IntX;
    std::uint64_t value = 0;
    std::uint64_t length = 0;  // a DMA's
    std::uint64_t was = 0;     // a set's previous value, of its first occurrence
    std::int64_t time_us = 0;  // of its first occurrence
    std::uint64_t count = 0;
  };
  // Script lines that came between two reads of the run, the same block
  // of them between consecutive reads counted once.
  struct Group {
    std::vector<Line> lines;
    std::uint64_t times = 1;
  };
  static Line line_of(const Event& e);
  static bool same(const Line& a, const Line& b);
  // Returns nothing; the lines held since the last read came between reads.
  void close_gap();
  // Returns whether a set of these bytes touches the register the open run polls.
  bool touches_run(const Line& set) const;
  void hold(const Line& line);
  void flush_run();
  void print(const Line& line, bool indented, bool in_group = false);
  // Returns nothing; appends the line, indent times two spaces after its time.
  void append_line(fmt::memory_buffer& out, const Line& line, int indent) const;
  void append_time(fmt::memory_buffer& out, std::int64_t time_us) const;

  Output& out_;
  bool with_time_;
  const RegisterNames* names_;  // not owned; null for none
  std::uint64_t lines_ = 0;
  std::array<std::uint32_t, kRegisterCount> last_{};  // last value shown per register
  bool started_ = false;
  std::int64_t start_us_ = 0;
  Line run_;                    // the open run of identical reads; count 0 when none
  std::vector<Group> during_;   // script lines held between reads of the run
  std::vector<Line> after_;     // script lines held since its last read
  std::size_t held_ = 0;        // lines in during_ and after_
};

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_SEQUENCE_H_
