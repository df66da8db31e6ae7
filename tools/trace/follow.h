// follow_log is the live view of sequence --follow: it reads a log while
// zephon is still writing it and prints each access as soon as its line
// arrives.
//
// Contract: a pipe (or any input that is not a regular file) is read until
// its writer closes it; a regular file is read as it grows, checked at a
// fixed interval, until the server's "Connection closed" line, after which
// zephon logs no more. Either way the follow also ends once stop_fd becomes
// readable (a signal), after taking what the input already holds. Output is
// written after every read, so nothing waits for a block to fill. A polling
// run is printed once it ends; on a terminal, while it lasts, its line is
// shown as it stands and redrawn in place at most once per update interval.
// Memory is the scanner's block and the sequence's state, whatever the length
// of the log. Failures are values.
#ifndef ZEPHON_TRACE_FOLLOW_H_
#define ZEPHON_TRACE_FOLLOW_H_

#include <chrono>
#include <expected>
#include <string>

#include "recording/log_scanner.h"
#include "output.h"
#include "sequence.h"

namespace zephon_trace {

struct FollowOptions {
  bool terminal = false;                                   // show the open run, redrawn in place
  std::chrono::milliseconds update_every{250};             // at most one redraw per interval
  std::chrono::milliseconds file_interval{100};            // a regular file is checked this often
  int stop_fd = -1;                                        // readable when the follow must stop
};

enum class FollowEnd : std::uint8_t { LogEnded, Stopped };

// Returns how the follow ended once the sequence is finished and written, or
// why the log was refused or could not be read or written.
std::expected<FollowEnd, std::string> follow_log(int fd, LogScanner& scanner, Sequence& sequence, Output& out,
                                                 int out_fd, const FollowOptions& options);

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_FOLLOW_H_
