#include "sequence.h"

#include <algorithm>

#include "access_text.h"
#include "register_bytes.h"
#include "recording/printable.h"
#include "recording/timestamp.h"

namespace zephon_trace {

Sequence::Line Sequence::line_of(const Event& e) {
  return Line{.op = e.op, .width = e.width, .byte = e.byte, .index = e.index, .irq = e.irq, .value = e.value,
              .length = e.length, .was = 0, .time_us = e.time_us, .count = 1};
}

bool Sequence::same(const Line& a, const Line& b) {
  return a.op == b.op && a.width == b.width && a.byte == b.byte && a.index == b.index && a.irq == b.irq &&
         a.value == b.value && a.length == b.length;
}

bool Sequence::touches_run(const Line& set) const {
  const std::uint32_t start = byte_offset(set.index) + set.byte, end = start + set.width;
  const std::uint32_t run_start = byte_offset(run_.index) + run_.byte, run_end = run_start + run_.width;
  return start < run_end && run_start < end;
}

void Sequence::append_time(fmt::memory_buffer& out, std::int64_t time_us) const {
  fmt::memory_buffer t;
  append_seconds(t, time_us - start_us_);
  fmt::format_to(fmt::appender(out), FMT_COMPILE("{:>12} "), std::string_view(t.data(), t.size()));
}

void Sequence::append_line(fmt::memory_buffer& out, const Line& l, int indent) const {
  if (with_time_) append_time(out, l.time_us);
  for (int i = 0; i < indent; ++i) append_text(out, "  ");
  auto count = [&] {
    if (l.count > 1) fmt::format_to(fmt::appender(out), FMT_COMPILE(" \u00d7{}"), l.count);
  };
  switch (l.op) {
    case Op::Irq:
      fmt::format_to(fmt::appender(out), FMT_COMPILE("irq vector {} ({})"), l.value, irq_index_name(l.irq));
      count();
      return;
    case Op::DmaRead:
    case Op::DmaWrite:
      fmt::format_to(fmt::appender(out), FMT_COMPILE("dma {} {:#018x} +{}"), l.op == Op::DmaRead ? "read" : "write",
                     l.value, l.length);
      count();
      return;
    case Op::Mark:
      return;  // printed where it comes, by on_event: its text is not kept
    case Op::Read:
    case Op::Write:
    case Op::Set:
      break;
  }
  append_verb(out, l.op, l.width);
  out.push_back(' ');
  append_register(out, l.index, l.byte, names_);
  count();
  append_text(out, " = ");
  append_value(out, l.value, l.width);
  if (l.op != Op::Read) {
    append_text(out, " (was ");
    append_value(out, l.was, l.width);
    out.push_back(')');
  }
}

void Sequence::write_pending(fmt::memory_buffer& out) const {
  if (run_.count > 0) append_line(out, run_, 0);
}

void Sequence::print(const Line& line, bool indented, bool in_group) {
  append_line(out_.buffer(), line, indented ? (in_group ? 2 : 1) : 0);
  out_.buffer().push_back('\n');
  ++lines_;
  out_.line_done();
}

void Sequence::flush_run() {
  if (run_.count == 0) return;
  print(run_, false);
  for (const Group& g : during_) {
    if (g.times == 1 || g.lines.size() == 1) {
      Line l = g.lines.front();
      l.count *= g.times;
      print(l, true);
      for (std::size_t i = 1; i < g.lines.size(); ++i) print(g.lines[i], true);
      continue;
    }
    auto& b = out_.buffer();
    if (with_time_) append_time(b, g.lines.front().time_us);
    fmt::format_to(fmt::appender(b), FMT_COMPILE("  \u00d7{}:\n"), g.times);
    ++lines_;
    out_.line_done();
    for (const Line& l : g.lines) print(l, true, true);
  }
  for (const Line& l : after_) print(l, false);
  run_.count = 0;
  during_.clear();
  after_.clear();
  held_ = 0;
}

void Sequence::close_gap() {
  if (after_.empty()) return;
  if (!during_.empty()) {
    Group& last = during_.back();
    const bool repeat = last.lines.size() == after_.size() &&
                        std::equal(after_.begin(), after_.end(), last.lines.begin(), [](const Line& a, const Line& b) {
                          return same(a, b) && a.count == b.count;
                        });
    if (repeat) {
      ++last.times;
      held_ -= after_.size();
      after_.clear();
      return;
    }
  }
  during_.push_back(Group{.lines = std::move(after_), .times = 1});
  after_.clear();
}

void Sequence::hold(const Line& line) {
  if (!after_.empty() && same(after_.back(), line)) {
    ++after_.back().count;
    return;
  }
  if (held_ >= kHeldLines) {
    flush_run();
    print(line, false);
    return;
  }
  after_.push_back(line);
  ++held_;
}

void Sequence::on_event(const Event& e) {
  if (!started_) {
    started_ = true;
    start_us_ = e.time_us;
  }
  Line line = line_of(e);
  switch (e.op) {
    case Op::Read:
      if (run_.count > 0 && same(run_, line)) {
        ++run_.count;
        close_gap();
        return;
      }
      flush_run();
      run_ = line;
      break;
    case Op::Write:
    case Op::Mark:
      flush_run();
      if (e.op == Op::Mark) {
        auto& b = out_.buffer();
        if (with_time_) append_time(b, e.time_us);
        append_text(b, "mark ");
        append_printable(b, e.text);
        b.push_back('\n');
        ++lines_;
        out_.line_done();
        return;
      }
      line.was = load_bytes(last_, byte_offset(e), e.width);
      print(line, false);
      break;
    case Op::Set:
      line.was = load_bytes(last_, byte_offset(e), e.width);
      if (run_.count > 0 && !touches_run(line)) {
        hold(line);
      } else {
        flush_run();
        print(line, false);
      }
      break;
    case Op::Irq:
    case Op::DmaRead:
    case Op::DmaWrite:
      if (run_.count > 0) hold(line);
      else print(line, false);
      return;
  }
  store_bytes(last_, byte_offset(e), e.width, e.value);
}

void Sequence::finish() { flush_run(); }

}  // namespace zephon_trace
