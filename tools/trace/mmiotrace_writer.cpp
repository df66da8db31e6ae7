#include "mmiotrace_writer.h"

#include "recording/mmiotrace_line.h"
#include "recording/timestamp.h"

namespace zephon_trace {

namespace {

constexpr int kMapId = 1;

}  // namespace

void MmiotraceWriter::append_time(fmt::memory_buffer& b, std::int64_t time_us) const {
  std::int64_t t = relative_ ? time_us - origin_us_ : time_us;
  if (t < 0) t = 0;  // a clock that stepped back; the format has no sign
  fmt::format_to(fmt::appender(b), FMT_COMPILE("{}.{:06}"), t / 1000000, t % 1000000);
}

void MmiotraceWriter::start(const Event& first) {
  started_ = true;
  relative_ = is_utc_timestamp(first.time_text);
  origin_us_ = first.time_us;
  last_us_ = first.time_us;
  auto& b = out_.buffer();
  fmt::format_to(fmt::appender(b), FMT_COMPILE("VERSION {}\n"), kMmiotraceVersion);
  // Bus and slot, vendor and device, IRQ; the seven resources' starts (BAR 2
  // the third, a 32-bit memory BAR: no flag bits), their sizes; no driver.
  fmt::format_to(fmt::appender(b), FMT_COMPILE("PCIDEV 0000 10026780 0 0 0 {:x} 0 0 0 0 0 0 {:x} 0 0 0 0 \n"), bar_,
                 kBarSize);
  append_text(b, "MAP ");
  append_time(b, first.time_us);
  fmt::format_to(fmt::appender(b), FMT_COMPILE(" {} {:#x} 0x0 {:#x} 0x0 0\n"), kMapId, bar_, kBarSize);
  if (relative_) fmt::format_to(fmt::appender(b), FMT_COMPILE("MARK 0.000000 zephon log from {}\n"), first.time_text);
  out_.line_done();
}

void MmiotraceWriter::on_event(const Event& e) {
  if (!started_) start(e);
  last_us_ = e.time_us;
  auto& b = out_.buffer();
  if (e.op == Op::Read || e.op == Op::Write) {
    fmt::format_to(fmt::appender(b), FMT_COMPILE("{} {} "), e.op == Op::Read ? 'R' : 'W', e.width);
    append_time(b, e.time_us);
    fmt::format_to(fmt::appender(b), FMT_COMPILE(" {} {:#x} {:#x} 0x0 0\n"), kMapId, bar_ + byte_offset(e), e.value);
    out_.line_done();
    return;
  }
  append_text(b, "MARK ");
  append_time(b, e.time_us);
  b.push_back(' ');
  switch (e.op) {
    case Op::Set:
      fmt::format_to(fmt::appender(b), FMT_COMPILE("Set   regs[{:#06x}] ({:#x}) = {:#010x}"), e.index,
                     byte_offset(e), e.value);
      break;
    case Op::Irq:
      fmt::format_to(fmt::appender(b), FMT_COMPILE("Irq   vector {} ({})"), e.value, irq_index_name(e.irq));
      break;
    case Op::DmaRead:
    case Op::DmaWrite:
      fmt::format_to(fmt::appender(b), FMT_COMPILE("Dma   {} {:#018x} +{}"), e.op == Op::DmaRead ? "read " : "write",
                     e.value, e.length);
      break;
    default: {
      // A carriage return at the end would be taken for the line's own.
      std::string_view text = e.text;
      while (text.ends_with('\r')) text.remove_suffix(1);
      append_text(b, text);
      break;
    }
  }
  b.push_back('\n');
  out_.line_done();
}

void MmiotraceWriter::finish() {
  if (!started_) {
    Event none;
    none.time_text = "0.000000";
    start(none);
  }
  append_text(out_.buffer(), "UNMAP ");
  append_time(out_.buffer(), last_us_);
  fmt::format_to(fmt::appender(out_.buffer()), FMT_COMPILE(" {} 0x0 0\n"), kMapId);
  out_.line_done();
}

}  // namespace zephon_trace
