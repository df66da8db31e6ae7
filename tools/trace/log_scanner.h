// scan_log reads a zephon log from a descriptor in large blocks and hands
// each register event to a sink, counting the lines that are not events.
//
// Contract: memory stays bounded by the block size plus the longest line
// kept (longer lines are reported as malformed and skipped); events arrive
// in log order with 1-based line numbers. Input whose first bytes hold a NUL
// byte is refused as binary. A malformed line is reported through
// on_malformed and skipped, or, when strict, ends the scan with an error.
// Failures are values; nothing is thrown.
#ifndef ZEPHON_TRACE_LOG_SCANNER_H_
#define ZEPHON_TRACE_LOG_SCANNER_H_

#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

#include "event.h"

namespace zephon_trace {

struct ScanStats {
  std::uint64_t lines = 0;      // every line, a last one without newline too
  std::uint64_t events = 0;     // register events handed to the sink
  std::uint64_t other = 0;      // lines that are not register events
  std::uint64_t malformed = 0;  // lines skipped as malformed
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
  std::function<void(const MalformedLine&)> on_malformed = nullptr;
};

// Returns the counts once the whole input was read, or why it was refused.
std::expected<ScanStats, std::string> scan_log(int fd, EventSink& sink, const ScanOptions& options = {});

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_LOG_SCANNER_H_
