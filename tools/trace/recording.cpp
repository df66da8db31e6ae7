#include "recording.h"

namespace zephon_trace {

void Recording::on_event(const Event& e) {
  if (!is_access(e)) return;
  ++accesses_;
  const Step step{.op = e.op, .width = e.width, .byte = e.byte, .index = e.index, .value = e.value, .count = 1,
                  .access = accesses_, .line = e.line};
  if (e.op == Op::Read && !steps_.empty() && same_access(steps_.back(), step)) {
    ++steps_.back().count;
    return;
  }
  if (steps_.size() >= kMaxSteps) {
    full_ = true;
    return;
  }
  steps_.push_back(step);
}

}  // namespace zephon_trace
