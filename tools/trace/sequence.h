// Sequence prints the register accesses of a log in order, one per line, as
// a list that can be replayed: "write 0x0004 = 0x12345678 (was 0x00000000)",
// "read 0x0004 = 0x12345678", and a run of identical reads of one register
// as one line, "read 0x0e50 ×4096 = 0x00000000", so a polling loop shows as
// one line. What a device script did shows in its place: "set 0x0021 =
// 0x00001234 (was 0x00000000)" for a register it set, "irq vector 0 (MSI-X)"
// for an interrupt it raised; either ends an open run of reads, since a run
// is the guest's reads with nothing else between them.
//
// Contract: streams: each line is written as soon as it is known (a run when
// it ends), and memory is one value per register. A write's "was" is the last
// value the log showed for that register, read, written or set, or zero before
// any (zephon starts with every register zero; a device reset is not logged,
// so after one it may be stale). With times on, each line starts with the
// seconds since the first access of the log (for a run, of its first read).
// finish() must be called to print a run still open at the end. With names,
// a register's name follows its index: "read 0x30d3 RLC_STAT ×100000 = ...".
//
// For a live view, pending() tells whether a run is open, and
// write_pending() prints it as it stands without closing it.
#ifndef ZEPHON_TRACE_SEQUENCE_H_
#define ZEPHON_TRACE_SEQUENCE_H_

#include <array>
#include <cstdint>

#include "event.h"
#include "names.h"
#include "output.h"

namespace zephon_trace {

class Sequence final : public EventSink {
 public:
  Sequence(Output& out, bool with_time, const RegisterNames* names = nullptr)
      : out_(out), with_time_(with_time), names_(names) {}

  void on_event(const Event& event) override;
  // Returns nothing; prints the run of reads still open.
  void finish();
  // Returns the number of reads in the open run, 0 when none is open.
  std::uint64_t pending() const { return run_count_; }
  // Returns nothing; appends the open run's line as it stands, without its
  // newline, leaving the run open.
  void write_pending(fmt::memory_buffer& out) const;
  // Returns the number of lines written so far (an open run not counted).
  std::uint64_t lines() const { return lines_; }

 private:
  void flush_run();
  void append_time(fmt::memory_buffer& out, std::int64_t time_us) const;
  void append_register(fmt::memory_buffer& out, std::uint16_t index) const;
  void append_run(fmt::memory_buffer& out) const;

  Output& out_;
  bool with_time_;
  const RegisterNames* names_;  // not owned; null for none
  std::uint64_t lines_ = 0;
  std::array<std::uint32_t, kRegisterCount> last_{};  // last value shown per register
  bool started_ = false;
  std::int64_t start_us_ = 0;
  // The open run of identical reads; count 0 when none.
  std::uint64_t run_count_ = 0;
  std::uint16_t run_index_ = 0;
  std::uint32_t run_value_ = 0;
  std::int64_t run_us_ = 0;
};

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_SEQUENCE_H_
