// MmiotraceWriter writes the events of a log as a Linux mmiotrace text log
// (format version 20070824), so that a zephon recording opens in the tools
// made for mmiotrace: a VERSION record, a PCIDEV record for the device
// (1002:6780, BAR 2 at the stated address, 256 KiB), a MAP of BAR 2 as
// mapping 1, an R or W record per access at the BAR's address plus its byte
// offset, a MARK per marker, and an UNMAP after the last event.
//
// Contract: streams, holding nothing per event. Times are seconds since the
// first event for a zephon log, whose UTC time of that event a first MARK
// gives ("zephon log from 2026-12-08T21:15:19.492583Z"); an mmiotrace keeps
// its own times since boot. A device script's lines have no mmiotrace
// record: each becomes a MARK holding the line's message as zephon wrote it
// ("Set   regs[0x0021] (0x84) = 0x00001234"), so they show where they
// happened without being taken for the guest's accesses. finish() must be
// called after the last event.
#ifndef ZEPHON_TRACE_MMIOTRACE_WRITER_H_
#define ZEPHON_TRACE_MMIOTRACE_WRITER_H_

#include <cstdint>

#include "recording/event.h"
#include "output.h"

namespace zephon_trace {

// Where BAR 2 is put when none is stated: the address the guest's firmware
// gave it under QEMU in the project's recordings.
inline constexpr std::uint64_t kDefaultBarAddress = 0xf0000000;

class MmiotraceWriter final : public EventSink {
 public:
  // bar_address must be a multiple of 256 KiB below 2^64 - 256 KiB.
  MmiotraceWriter(Output& out, std::uint64_t bar_address) : out_(out), bar_(bar_address) {}

  void on_event(const Event& event) override;
  // Returns nothing; writes the UNMAP (and, for a log without events, the
  // records before it).
  void finish();

 private:
  // Returns nothing; writes the records before the first event, at its time.
  void start(const Event& first);
  // Returns nothing; appends a time in the trace's "%u.%06lu" form.
  void append_time(fmt::memory_buffer& b, std::int64_t time_us) const;

  Output& out_;
  std::uint64_t bar_;
  bool started_ = false;
  bool relative_ = false;       // times counted from the first event (a zephon log's UTC times)
  std::int64_t origin_us_ = 0;  // the first event's time, when relative
  std::int64_t last_us_ = 0;    // the latest time written
};

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_MMIOTRACE_WRITER_H_
