// Summary gathers, for every register a log touches, how often it was read
// and written, the first and last values of each, and when it was first and
// last accessed; it prints them one row per register.
//
// Contract: memory grows with the registers touched, never with the number
// of events. Rows come in the order of first access (the bring-up order) or
// by number of accesses, most first, ties in order of first access. Times are
// printed in seconds since the first access of the log. With names, a column
// after the index gives each register's name ("-" for none), as wide as the
// longest.
//
// A register a device script set on its own is counted apart from the
// guest's accesses: when the log has any, the header says how many and a
// "sets" column (with the last value set) follows "writes"; sets count
// towards a register's first and last time but not towards the order by
// count. Interrupts the script raised are counted per interrupt index and
// vector and listed on a line of their own after the rows, its reads and
// writes of guest memory (DMA) counted with their bytes on another. Logs
// without any print as they always have.
//
// An access of another width than 32 bits, or that starts inside a
// register (an mmiotrace's), has a row of its own for that place and width:
// its index reads "0x0017+1" for byte 1 of register 0x0017, a "bits" column
// after the offset gives the width, and its values have as many digits as it
// has bytes. Markers are not counted.
#ifndef ZEPHON_TRACE_SUMMARY_H_
#define ZEPHON_TRACE_SUMMARY_H_

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "recording/event.h"
#include "names.h"
#include "output.h"

namespace zephon_trace {

enum class SummaryOrder : std::uint8_t { FirstAccess, Count };

struct RegisterStats {
  std::uint16_t index = 0;
  std::uint8_t byte = 0;                              // where the accesses start in the register
  std::uint8_t width = 4;                             // their bytes
  std::uint64_t reads = 0;
  std::uint64_t writes = 0;
  std::uint64_t sets = 0;                             // by the device script
  std::uint64_t last_set = 0;                         // meaningful when sets > 0
  std::uint64_t first_written = 0, last_written = 0;  // meaningful when writes > 0
  std::uint64_t first_read = 0, last_read = 0;        // meaningful when reads > 0
  std::int64_t first_us = 0, last_us = 0;             // first and last access
};

// What a device script did to guest memory: its DMA reads and writes.
struct DmaStats {
  std::uint64_t reads = 0, read_bytes = 0;
  std::uint64_t writes = 0, written_bytes = 0;
};

class Summary final : public EventSink {
 public:
  Summary();

  void on_event(const Event& event) override;

  // Returns the registers touched, in the order asked.
  std::vector<RegisterStats> rows(SummaryOrder order) const;
  // Returns the number of register events seen: accesses and sets.
  std::uint64_t events() const { return events_; }
  // Returns the number of interrupts seen.
  std::uint64_t interrupts() const { return interrupts_; }
  // Returns the DMA seen.
  const DmaStats& dma() const { return dma_; }
  // Returns nothing; prints the header and one row per register, with a
  // name column beside the index when names are given.
  void write(Output& out, SummaryOrder order, const RegisterNames* names = nullptr) const;

 private:
  // Returns nothing; prints the interrupts and DMA lines, if there were any.
  void write_script_lines(Output& out) const;
  // Returns the row of the event's register, place and width, new if need be.
  RegisterStats& row(const Event& e);

  // Rows of whole 32-bit registers by index, and of other places and widths
  // by (byte offset << 4 | width): 1 + position in touched_, 0 if untouched.
  std::array<std::uint32_t, kRegisterCount> slot_{};
  std::map<std::uint32_t, std::uint32_t> other_slots_;
  std::vector<RegisterStats> touched_;                // in order of first access
  std::uint64_t events_ = 0;
  std::uint64_t sets_ = 0;                    // of events_, those set by the script
  // Interrupts by index and vector, at most kInterruptKinds of them (the
  // vector is the log's number); the rest are only counted in interrupts_.
  static constexpr std::size_t kInterruptKinds = 256;
  std::map<std::pair<IrqIndex, std::uint32_t>, std::uint64_t> by_vector_;
  std::uint64_t interrupts_ = 0;
  DmaStats dma_;
  std::int64_t start_us_ = 0;                 // time of the first access
  // The timestamps of the first and last access as the log shows them (27
  // characters in a zephon log, fewer in an mmiotrace), cut to the space.
  std::array<char, 32> start_text_{}, end_text_{};
  std::size_t start_size_ = 0, end_size_ = 0;
};

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_SUMMARY_H_
