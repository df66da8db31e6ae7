// run_trace runs zephon-trace in-process on a log given as text, for the
// report tests: arguments and the log in, exit status and both outputs back.
#ifndef ZEPHON_TESTS_TRACE_INPROCESS_H_
#define ZEPHON_TESTS_TRACE_INPROCESS_H_

#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "run.h"
#include "trace_samples.h"

namespace trace_samples {

struct TraceResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Returns how zephon-trace ran with args on input as its standard input.
inline TraceResult run_trace(const std::vector<std::string>& args, std::string_view input) {
  int in = memory_file(input);
  int out = memory_file("");
  int err = memory_file("");
  std::vector<std::string_view> views(args.begin(), args.end());
  TraceResult r;
  r.status = zephon_trace::run("zephon-trace", views, zephon_trace::Streams{in, out, err});
  r.out = file_text(out);
  r.err = file_text(err);
  ::close(in), ::close(out), ::close(err);
  return r;
}

}  // namespace trace_samples

#endif  // ZEPHON_TESTS_TRACE_INPROCESS_H_
