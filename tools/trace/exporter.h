// Exporter writes the events of a log one per line for other tools, as CSV
// (with a header line "time,op,index,offset,value") or as JSON Lines
// ({"time":...,"op":...,"index":...,"offset":...,"value":...}).
//
// Contract: streams, holding nothing per event. time is the log's timestamp
// text (UTC in a zephon log, seconds since boot in an mmiotrace); op is
// "read" or "write", with the width in bits after it for an access of
// another width than 32 bits ("read8", "write64"), "set" for a register the
// device script set; index, offset and value are decimal integers (offset is
// the byte offset, index the register it falls in, offset / 4). Other rows
// name no register: "irq" (an interrupt the script raised: index is the
// vector, offset empty, null in JSON, and value the interrupt index's name,
// "INTx", "MSI", "MSI-X" or "other"), "dma-read" and "dma-write" (the
// script's access to guest memory: index empty, null in JSON, offset the
// guest address and value the length in bytes) and "mark" (an mmiotrace's
// marker: index and offset empty, null in JSON, value its text, quoted in
// CSV). With names, a sixth field "name" follows: the register's name, empty
// in CSV and null in JSON when it has none (names hold only characters that
// need no quoting).
#ifndef ZEPHON_TRACE_EXPORTER_H_
#define ZEPHON_TRACE_EXPORTER_H_

#include <cstdint>

#include "recording/event.h"
#include "names.h"
#include "output.h"

namespace zephon_trace {

enum class ExportFormat : std::uint8_t { Csv, JsonLines, Mmiotrace };

class Exporter final : public EventSink {
 public:
  // Writes the CSV header at once. format is Csv or JsonLines.
  Exporter(Output& out, ExportFormat format, const RegisterNames* names = nullptr);

  void on_event(const Event& event) override;

 private:
  // Returns nothing; writes a row that names no register.
  void other_row(const Event& e);

  Output& out_;
  ExportFormat format_;
  const RegisterNames* names_;  // not owned; null for none
};

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_EXPORTER_H_
