// Exporter writes the register accesses of a log one per line for other
// tools, as CSV (with a header line "time,op,index,offset,value") or as JSON
// Lines ({"time":...,"op":...,"index":...,"offset":...,"value":...}).
//
// Contract: streams, holding nothing per event. time is the log's UTC
// timestamp text; op is "read" or "write", "set" for a register the device
// script set, "irq" for an interrupt it raised; index, offset and value are
// decimal integers (the offset is 4 * index), except on "irq" rows, where
// index is the vector, offset is empty (null in JSON) and value is the
// interrupt index's name ("INTx", "MSI", "MSI-X" or "other"). With names, a sixth field
// "name" follows: the register's name, empty in CSV and null in JSON when it
// has none (names hold only characters that need no quoting).
#ifndef ZEPHON_TRACE_EXPORTER_H_
#define ZEPHON_TRACE_EXPORTER_H_

#include <cstdint>

#include "event.h"
#include "names.h"
#include "output.h"

namespace zephon_trace {

enum class ExportFormat : std::uint8_t { Csv, JsonLines };

class Exporter final : public EventSink {
 public:
  // Writes the CSV header at once.
  Exporter(Output& out, ExportFormat format, const RegisterNames* names = nullptr);

  void on_event(const Event& event) override;

 private:
  Output& out_;
  ExportFormat format_;
  const RegisterNames* names_;  // not owned; null for none
};

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_EXPORTER_H_
