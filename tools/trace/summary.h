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
// vector and listed on a line of their own after the rows. Logs without
// either print as they always have.
#ifndef ZEPHON_TRACE_SUMMARY_H_
#define ZEPHON_TRACE_SUMMARY_H_

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "event.h"
#include "names.h"
#include "output.h"

namespace zephon_trace {

enum class SummaryOrder : std::uint8_t { FirstAccess, Count };

struct RegisterStats {
  std::uint16_t index = 0;
  std::uint64_t reads = 0;
  std::uint64_t writes = 0;
  std::uint64_t sets = 0;                             // by the device script
  std::uint32_t last_set = 0;                         // meaningful when sets > 0
  std::uint32_t first_written = 0, last_written = 0;  // meaningful when writes > 0
  std::uint32_t first_read = 0, last_read = 0;        // meaningful when reads > 0
  std::int64_t first_us = 0, last_us = 0;             // first and last access
};

class Summary final : public EventSink {
 public:
  Summary();

  void on_event(const Event& event) override;

  // Returns the registers touched, in the order asked.
  std::vector<RegisterStats> rows(SummaryOrder order) const;
  // Returns the number of register events seen (interrupts not counted).
  std::uint64_t events() const { return events_; }
  // Returns the number of interrupts seen.
  std::uint64_t interrupts() const { return interrupts_; }
  // Returns nothing; prints the header and one row per register, with a
  // name column beside the index when names are given.
  void write(Output& out, SummaryOrder order, const RegisterNames* names = nullptr) const;

 private:
  // Returns nothing; prints the interrupts line, if there were any.
  void write_interrupts(Output& out) const;

  std::array<std::uint32_t, kRegisterCount> slot_{};  // 1 + position in touched_, 0 if untouched
  std::vector<RegisterStats> touched_;                // in order of first access
  std::uint64_t events_ = 0;
  std::uint64_t sets_ = 0;                    // of events_, those set by the script
  // Interrupts by index and vector, at most kInterruptKinds of them (the
  // vector is the log's number); the rest are only counted in interrupts_.
  static constexpr std::size_t kInterruptKinds = 256;
  std::map<std::pair<IrqIndex, std::uint32_t>, std::uint64_t> by_vector_;
  std::uint64_t interrupts_ = 0;
  std::int64_t start_us_ = 0;                 // time of the first access
  std::array<char, 27> start_text_{};         // its timestamp as the log shows it
  std::array<char, 27> end_text_{};           // timestamp of the last access
};

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_SUMMARY_H_
