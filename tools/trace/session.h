// Session is what every zephon-trace command needs around its report: where
// messages go, the logs and names files it reads (failures said on the error
// stream as they happen), and the line counts said after each log.
//
// Contract: failures are said once, where they are found, and returned as
// nullopt or false; the caller only turns them into exit status 2. Malformed
// lines are said one by one up to kShownMalformed per run, then counted.
#ifndef ZEPHON_TRACE_SESSION_H_
#define ZEPHON_TRACE_SESSION_H_

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "cli.h"
#include "dump.h"
#include "file.h"
#include "recording/log_scanner.h"
#include "names.h"
#include "output.h"
#include "run.h"

namespace zephon_trace {

class Session {
 public:
  // Malformed lines (and problems in a names file) said one by one; past
  // this only their number is given.
  static constexpr std::uint64_t kShownMalformed = 10;

  Session(std::string_view program, const Invocation& inv, const Streams& streams)
      : program_(program), inv_(inv), streams_(streams) {}

  // Returns nothing; prints "PROGRAM: TEXT" on the error stream.
  void say(std::string_view text) const;
  // Returns kExitTrouble after saying why.
  int trouble(std::string_view text) const;
  // Returns what a log path is called in messages ("standard input" for -).
  static std::string log_name(std::string_view path);

  // Returns the log's descriptor (kept open by file), or nullopt once the
  // failure has been said.
  std::optional<int> open_log(const std::string& path, std::optional<File>& file) const;
  // Returns the scan options for the log at path, malformed lines said as they come.
  ScanOptions scan_options(const std::string& path);
  // Returns the counts, said unless quiet (ending is put before them), or
  // nullopt once the refusal has been said.
  std::optional<ScanStats> report(const std::string& path, const std::expected<ScanStats, std::string>& stats,
                                  std::string_view ending = {}) const;
  // Returns the counts after feeding the log at path to sink, or nullopt
  // once the failure has been said.
  std::optional<ScanStats> scan(const std::string& path, EventSink& sink);

  // Returns false once the failure has been said; reads the names file, if
  // one was given, saying its problems and (unless quiet) its counts.
  bool load_names();
  // Returns the names read, or null when none were asked for.
  const RegisterNames* names() const { return names_ ? &*names_ : nullptr; }
  // Returns the dump at path, or nullopt once the failure has been said.
  std::optional<RegisterFile> dump(const std::string& path) const;
  // Returns the exit status after flushing out.
  int finish(Output& out, int status = 0) const;

  const Invocation& invocation() const { return inv_; }
  const Streams& streams() const { return streams_; }

 private:
  std::string_view program_;
  const Invocation& inv_;
  const Streams& streams_;
  std::optional<RegisterNames> names_;  // when --names was given
  std::uint64_t shown_malformed_ = 0;   // malformed lines said one by one so far
};

// Returns the line counts as said after a log: "N lines: A register accesses,
// ..., M malformed lines skipped"; kinds a log does not have are left out.
std::string counts_text(const ScanStats& stats);

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_SESSION_H_
