// Sequence prints the register accesses of a log in order, one per line, as
// a list that can be replayed: "write 0x0004 = 0x12345678 (was 0x00000000)",
// "read 0x0004 = 0x12345678", and a run of identical reads of one register
// as one line, "read 0x0e50 ×4096 = 0x00000000", so a polling loop shows as
// one line.
//
// Contract: streams: each line is written as soon as it is known (a run when
// it ends), and memory is one value per register. A write's "was" is the last
// value the log showed for that register, read or written, or zero before
// any (zephon starts with every register zero; a device reset is not logged,
// so after one it may be stale). With times on, each line starts with the
// seconds since the first access of the log (for a run, of its first read).
// finish() must be called to print a run still open at the end.
#ifndef ZEPHON_TRACE_SEQUENCE_H_
#define ZEPHON_TRACE_SEQUENCE_H_

#include <array>
#include <cstdint>

#include "event.h"
#include "output.h"

namespace zephon_trace {

class Sequence final : public EventSink {
 public:
  Sequence(Output& out, bool with_time) : out_(out), with_time_(with_time) {}

  void on_event(const Event& event) override;
  // Returns nothing; prints the run of reads still open.
  void finish();

 private:
  void flush_run();
  void append_time(std::int64_t time_us);

  Output& out_;
  bool with_time_;
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
