// The command line of zephon-trace: a subcommand, its options and its
// files, checked whole before anything is read.
//
// Contract: parse_arguments never prints; it returns the invocation or a
// one-line description of what is wrong with the command line.
#ifndef ZEPHON_TRACE_CLI_H_
#define ZEPHON_TRACE_CLI_H_

#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "exporter.h"
#include "recording/mmiotrace_window.h"
#include "mmiotrace_writer.h"
#include "summary.h"

namespace zephon_trace {

enum class Command : std::uint8_t { Summary, Sequence, Export, Plot, Diff, Compare };

struct Invocation {
  bool help = false;
  Command command = Command::Summary;
  std::string log = "-";             // "-" is standard input
  bool strict = false;               // refuse the log at its first malformed line
  bool quiet = false;                // no line counts on standard error
  SummaryOrder order = SummaryOrder::FirstAccess;
  bool with_time = false;            // sequence: seconds before each line
  ExportFormat format = ExportFormat::Csv;
  std::string output;                // plot: the PNG to write
  std::string title;                 // plot: empty for the default
  std::vector<std::string> dumps;    // diff: one (with a log) or two dumps
  bool diff_with_log = false;        // diff: compare the dump with the log
  std::string names;                 // a names file; empty for none
  bool follow = false;               // sequence: print accesses as the log grows
  MapChoice map;                     // an mmiotrace's register BAR
  std::uint64_t bar_address = kDefaultBarAddress;  // export --format=mmiotrace: where BAR 2 is
  bool bar_address_given = false;
  std::vector<std::string> logs;     // compare: the two recordings, A then B
};

// Returns the invocation described by args (without the program name), or
// what is wrong with them.
std::expected<Invocation, std::string> parse_arguments(std::span<const std::string_view> args);

// Returns the --help text.
std::string usage_text(std::string_view program);

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_CLI_H_
