// run is zephon-trace as a function: it parses the command line, reads the
// logs and dumps it names, and writes the report, so that tests can run it
// in-process on descriptors of their own.
//
// Contract: never throws; every failure is a message on the error stream and
// an exit status: 0 success, 1 when diff found differences or compare a
// divergence, 2 for a bad command line or input that could not be read or
// was refused.
#ifndef ZEPHON_TRACE_RUN_H_
#define ZEPHON_TRACE_RUN_H_

#include <span>
#include <string>
#include <string_view>

namespace zephon_trace {

inline constexpr int kExitDifferent = 1;
inline constexpr int kExitTrouble = 2;

struct Streams {
  int in = 0;   // the log when none is named or it is "-"
  int out = 1;  // reports
  int err = 2;  // counts, malformed lines, failures
};

// Returns the exit status of zephon-trace run with args (without the program
// name); program is the name used in messages.
int run(std::string_view program, std::span<const std::string_view> args, const Streams& streams);

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_RUN_H_
