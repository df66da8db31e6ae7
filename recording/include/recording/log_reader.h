// LogReader reads the lines of a log of either kind zephon-trace knows, told
// apart by content: an mmiotrace text log starts with its VERSION record;
// anything else is a zephon log (plain or coloured). Each line becomes what
// LineParser (zephon) or RegisterWindow (mmiotrace) makes of it.
//
// Contract: the first line that is not empty decides the format for the
// whole log; an mmiotrace of another format version than 20070824 is
// refused at once. Memory is that of the two readers: fixed, whatever the
// length of the log.
#ifndef RECORDING_LOG_READER_H_
#define RECORDING_LOG_READER_H_

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "recording/line_parser.h"
#include "recording/mmiotrace_window.h"

namespace zephon_trace {

enum class LogFormat : std::uint8_t { Undecided, Zephon, Mmiotrace };

class LogReader {
 public:
  explicit LogReader(const MapChoice& choice = {}) : choice_(choice) {}

  // Returns what the line is (without its newline).
  ParsedLine read(std::string_view line);
  // Returns success once the whole log is read, or why it is refused (an
  // mmiotrace whose register BAR was not found).
  std::expected<void, std::string> finish() const;
  // Returns the log's format, Undecided before its first line that is not empty.
  LogFormat format() const { return format_; }
  // Returns what the register BAR of an mmiotrace is, or empty.
  std::string window() const { return mmio_ ? mmio_->description() : std::string(); }

 private:
  MapChoice choice_;
  LogFormat format_ = LogFormat::Undecided;
  LineParser zephon_;
  std::optional<RegisterWindow> mmio_;  // once the log is known to be an mmiotrace
  std::string refusal_;                 // the reason a Refused line points at
};

}  // namespace zephon_trace

#endif  // RECORDING_LOG_READER_H_
