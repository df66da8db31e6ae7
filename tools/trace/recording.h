// Recording keeps the guest's register accesses of a log, in order, as the
// steps a comparison aligns: a read or write of one place and width with its
// value, consecutive identical reads (a poll) as one step with their count,
// so that a wait that took 3 reads in one run and 7 in another is one step
// in both. A device script's lines and markers are not the guest's doing
// and are left out.
//
// Contract: memory is one step per access that is not a repeated read; past
// kMaxSteps steps the recording stops growing and says so (full()).
#ifndef ZEPHON_TRACE_RECORDING_H_
#define ZEPHON_TRACE_RECORDING_H_

#include <cstdint>
#include <vector>

#include "recording/event.h"

namespace zephon_trace {

struct Step {
  Op op = Op::Read;           // Read or Write
  std::uint8_t width = 4;
  std::uint8_t byte = 0;
  std::uint16_t index = 0;
  std::uint64_t value = 0;
  std::uint64_t count = 1;    // accesses it stands for: identical reads in a row
  std::uint64_t access = 0;   // 1-based number of its first access in the log
  std::uint64_t line = 0;     // and that access's line
};

// Returns whether two steps are the same access, however many times each read.
constexpr bool same_access(const Step& a, const Step& b) {
  return a.op == b.op && a.width == b.width && a.byte == b.byte && a.index == b.index && a.value == b.value;
}

// Returns a key for a step's place and width, the same for all its accesses.
constexpr std::uint32_t place_key(const Step& s) { return (byte_offset(s.index) + s.byte) << 4 | s.width; }

class Recording final : public EventSink {
 public:
  // About 640 MiB of steps; a recording with more is refused.
  static constexpr std::size_t kMaxSteps = std::size_t{1} << 24;

  void on_event(const Event& event) override;

  // Returns the steps in order.
  const std::vector<Step>& steps() const { return steps_; }
  // Returns the number of accesses.
  std::uint64_t accesses() const { return accesses_; }
  // Returns true when steps were dropped past kMaxSteps.
  bool full() const { return full_; }

 private:
  std::vector<Step> steps_;
  std::uint64_t accesses_ = 0;
  bool full_ = false;
};

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_RECORDING_H_
