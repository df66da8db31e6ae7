#include "sequence.h"

#include "timestamp.h"

namespace zephon_trace {

void Sequence::append_time(fmt::memory_buffer& out, std::int64_t time_us) const {
  fmt::memory_buffer t;
  append_seconds(t, time_us - start_us_);
  fmt::format_to(fmt::appender(out), FMT_COMPILE("{:>12} "), std::string_view(t.data(), t.size()));
}

void Sequence::append_register(fmt::memory_buffer& out, std::uint16_t index) const {
  fmt::format_to(fmt::appender(out), FMT_COMPILE("{:#06x}"), index);
  if (names_ == nullptr) return;
  if (const std::string_view name = names_->name(index); !name.empty()) {
    out.push_back(' ');
    append_text(out, name);
  }
}

void Sequence::append_run(fmt::memory_buffer& out) const {
  if (with_time_) append_time(out, run_us_);
  append_text(out, "read ");
  append_register(out, run_index_);
  if (run_count_ == 1) {
    fmt::format_to(fmt::appender(out), FMT_COMPILE(" = {:#010x}"), run_value_);
  } else {
    fmt::format_to(fmt::appender(out), FMT_COMPILE(" \u00d7{} = {:#010x}"), run_count_, run_value_);
  }
}

void Sequence::write_pending(fmt::memory_buffer& out) const {
  if (run_count_ > 0) append_run(out);
}

void Sequence::flush_run() {
  if (run_count_ == 0) return;
  append_run(out_.buffer());
  out_.buffer().push_back('\n');
  run_count_ = 0;
  ++lines_;
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
    // A set or an interrupt ends a run like a write: a run stands only for
    // the guest's reads with nothing between them, so the order stays exact.
    flush_run();
    auto& b = out_.buffer();
    if (with_time_) append_time(b, e.time_us);
    if (e.op == Op::Irq) {
      fmt::format_to(fmt::appender(b), FMT_COMPILE("irq vector {} ({})\n"), e.value, irq_index_name(e.irq));
      ++lines_;
      out_.line_done();
      return;
    }
    append_text(b, e.op == Op::Set ? "set " : "write ");
    append_register(b, e.index);
    fmt::format_to(fmt::appender(b), FMT_COMPILE(" = {:#010x} (was {:#010x})\n"), e.value, last_[e.index]);
    ++lines_;
    out_.line_done();
  }
  last_[e.index] = e.value;
}

void Sequence::finish() { flush_run(); }

}  // namespace zephon_trace
