#include "sequence.h"

#include "timestamp.h"

namespace zephon_trace {

void Sequence::append_time(std::int64_t time_us) {
  fmt::memory_buffer t;
  append_seconds(t, time_us - start_us_);
  fmt::format_to(fmt::appender(out_.buffer()), FMT_COMPILE("{:>12} "), std::string_view(t.data(), t.size()));
}

void Sequence::flush_run() {
  if (run_count_ == 0) return;
  if (with_time_) append_time(run_us_);
  if (run_count_ == 1) {
    fmt::format_to(fmt::appender(out_.buffer()), FMT_COMPILE("read {:#06x} = {:#010x}\n"), run_index_, run_value_);
  } else {
    fmt::format_to(fmt::appender(out_.buffer()), FMT_COMPILE("read {:#06x} \u00d7{} = {:#010x}\n"), run_index_,
                   run_count_, run_value_);
  }
  run_count_ = 0;
  out_.line_done();
}

void Sequence::on_event(const Event& e) {
  if (!started_) {
    started_ = true;
    start_us_ = e.time_us;
  }
  if (e.op == Op::Read) {
    if (run_count_ > 0 && e.index == run_index_ && e.value == run_value_) {
      ++run_count_;
      return;
    }
    flush_run();
    run_count_ = 1;
    run_index_ = e.index;
    run_value_ = e.value;
    run_us_ = e.time_us;
  } else {
    flush_run();
    if (with_time_) append_time(e.time_us);
    fmt::format_to(fmt::appender(out_.buffer()), FMT_COMPILE("write {:#06x} = {:#010x} (was {:#010x})\n"), e.index,
                   e.value, last_[e.index]);
    out_.line_done();
  }
  last_[e.index] = e.value;
}

void Sequence::finish() { flush_run(); }

}  // namespace zephon_trace
