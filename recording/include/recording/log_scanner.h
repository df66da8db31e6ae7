// LogScanner takes a log (zephon's, or an mmiotrace: LogReader tells them
// apart) in pieces as they are read, cuts it into lines and hands each event
// to a sink, counting the lines by kind; scan_log drives it over a whole
// descriptor in large blocks.
//
// Contract: memory stays bounded by the block size plus the longest line
// kept (longer lines are reported as malformed and skipped); events arrive
// in log order with 1-based line numbers. Input whose first bytes hold a NUL
// byte is refused as binary. A malformed line is reported through
// on_malformed and skipped, or, when strict, ends the scan with an error.
// With end_at_close, the log ends at the server's "Connection closed" line:
// what follows it is not read (a file that is still being followed). An
// mmiotrace whose register BAR is ambiguous or missing is refused, strict or
// not. Failures are values; nothing is thrown.
#ifndef RECORDING_LOG_SCANNER_H_
#define RECORDING_LOG_SCANNER_H_

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "recording/event.h"
#include "recording/log_reader.h"

namespace zephon_trace {

struct ScanStats {
  std::uint64_t lines = 0;      // every line, a last one without newline too
  std::uint64_t events = 0;     // events handed to the sink, all kinds
  std::uint64_t accesses = 0;   // of events, the guest's register reads and writes
  std::uint64_t script = 0;     // of events, a device script's sets, interrupts and DMA
  std::uint64_t marks = 0;      // of events, an mmiotrace's markers
  std::uint64_t other = 0;      // lines that are not events
  std::uint64_t outside = 0;    // mmiotrace accesses to mappings other than the register BAR
  std::uint64_t undecoded = 0;  // mmiotrace UNKNOWN records in the register BAR
  std::uint64_t malformed = 0;  // lines skipped as malformed
  bool closed = false;          // the server's "Connection closed" was seen
  LogFormat format = LogFormat::Undecided;  // known once the scan has ended
  std::string window;           // an mmiotrace's register BAR (RegisterWindow's words), at the end
};

struct MalformedLine {
  std::uint64_t line = 0;       // 1-based line number
  std::string_view reason;      // why it was not taken
  std::string_view text;        // the line, or its start when overlong
  bool unterminated = false;    // the input ended inside this line
};

struct ScanOptions {
  std::size_t block_size = std::size_t{1} << 20;  // bytes asked of each read
  std::size_t max_line = std::size_t{1} << 16;    // longer lines are malformed
  std::size_t binary_probe = std::size_t{1} << 16;  // leading bytes checked for NUL
  bool strict = false;                            // stop at the first malformed line
  bool end_at_close = false;                      // read nothing after "Connection closed"
  MapChoice map = {};                             // an mmiotrace's register BAR
  std::function<void(const MalformedLine&)> on_malformed = nullptr;
};

class LineCounter;

// The incremental reader: the caller reads into space() and hands over what
// it read with take(); finish() handles a last line without newline.
class LogScanner {
 public:
  LogScanner(EventSink& sink, const ScanOptions& options);
  ~LogScanner();
  LogScanner(const LogScanner&) = delete;
  LogScanner& operator=(const LogScanner&) = delete;

  // Returns where the next bytes read go: room for one block.
  std::span<char> space();
  // Returns success, or why the log is refused, after handling the n bytes
  // just read into space(); every complete line in them reaches the sink.
  std::expected<void, std::string> take(std::size_t n);
  // Returns the counts after the last, unterminated line, or why the log is
  // refused; nothing may be taken afterwards.
  std::expected<ScanStats, std::string> finish();
  // Returns the counts so far.
  const ScanStats& stats() const;

 private:
  std::size_t block_;
  std::size_t max_line_;
  std::size_t binary_probe_;
  bool end_at_close_;
  std::unique_ptr<char[]> buffer_;     // block_ + max_line_ bytes
  std::unique_ptr<LineCounter> lines_;
  std::size_t len_ = 0;                // bytes of an unfinished line kept at the buffer's start
  bool skipping_ = false;              // dropping the rest of an overlong line
  bool ended_ = false;                 // the server's last line was read (end_at_close)
  std::uint64_t total_ = 0;            // bytes taken so far
};

// Returns the counts once the whole input was read, or why it was refused.
std::expected<ScanStats, std::string> scan_log(int fd, EventSink& sink, const ScanOptions& options = {});

}  // namespace zephon_trace

#endif  // RECORDING_LOG_SCANNER_H_
