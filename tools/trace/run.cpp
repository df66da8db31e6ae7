#include "run.h"

#include <fmt/format.h>

#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include "cli.h"
#include "compare.h"
#include "dump.h"
#include "follow.h"
#include "recording/log_scanner.h"
#include "mmiotrace_writer.h"
#include "output.h"
#include "plot.h"
#include "recording.h"
#include "sequence.h"
#include "session.h"
#include "stop_signals.h"
#include "summary.h"

namespace zephon_trace {

namespace {

// The commands, each on the session that reads and says for it.
class Commands {
 public:
  Commands(Session& session) : s_(session), inv_(session.invocation()), streams_(session.streams()) {}

  int summary() {
    if (!s_.load_names()) return kExitTrouble;
    Summary summary;
    if (!s_.scan(inv_.log, summary)) return kExitTrouble;
    Output out(streams_.out);
    summary.write(out, inv_.order, s_.names());
    return s_.finish(out);
  }

  int sequence() {
    if (!s_.load_names()) return kExitTrouble;
    Output out(streams_.out);
    Sequence sequence(out, inv_.with_time, s_.names());
    if (inv_.follow) return follow(out, sequence);
    if (!s_.scan(inv_.log, sequence)) return kExitTrouble;
    sequence.finish();
    return s_.finish(out);
  }

  // Returns the exit status of sequence --follow: 0 when the log ended,
  // 128 + the signal's number when a signal stopped it.
  int follow(Output& out, Sequence& sequence) {
    std::optional<File> file;
    const auto fd = s_.open_log(inv_.log, file);
    if (!fd) return kExitTrouble;
    StopSignals stops;
    FollowOptions options;
    options.terminal = ::isatty(streams_.out) == 1;
    options.stop_fd = stops.fd();
    ScanOptions scan = s_.scan_options(inv_.log);
    // A file may hold more after zephon's last line (a log appended to);
    // the follow of this run ends there.
    struct stat st {};
    scan.end_at_close = ::fstat(*fd, &st) == 0 && S_ISREG(st.st_mode);
    LogScanner scanner(sequence, scan);
    auto end = follow_log(*fd, scanner, sequence, out, streams_.out, options);
    sequence.finish();
    if (!end) {
      (void)out.finish();
      s_.report(inv_.log, std::unexpected(end.error()));
      return kExitTrouble;
    }
    const int signal = *end == FollowEnd::Stopped ? stops.received() : 0;
    const int status = s_.finish(out, signal > 0 ? 128 + signal : 0);
    if (!s_.report(inv_.log, scanner.finish(),
                   signal > 0 ? fmt::format("stopped by SIG{} after ", sigabbrev_np(signal)) : std::string()))
      return kExitTrouble;
    return status;
  }

  int export_events() {
    if (!s_.load_names()) return kExitTrouble;
    Output out(streams_.out);
    if (inv_.format == ExportFormat::Mmiotrace) {
      MmiotraceWriter writer(out, inv_.bar_address);
      if (!s_.scan(inv_.log, writer)) return kExitTrouble;
      writer.finish();
      return s_.finish(out);
    }
    Exporter exporter(out, inv_.format, s_.names());
    if (!s_.scan(inv_.log, exporter)) return kExitTrouble;
    return s_.finish(out);
  }

  int plot() {
    if (!s_.load_names()) return kExitTrouble;
    PlotGrid grid;
    const auto stats = s_.scan(inv_.log, grid);
    if (!stats) return kExitTrouble;
    PlotOptions options{.output = inv_.output, .title = inv_.title, .names = s_.names()};
    if (options.title.empty()) options.title = default_plot_title(Session::log_name(inv_.log), !stats->window.empty());
    if (auto r = render_plot(grid, options); !r) return s_.trouble(r.error());
    return 0;
  }

  int diff() {
    std::optional<RegisterFile> left, right;
    std::string left_name;
    std::optional<LastValues> last;
    if (inv_.diff_with_log) {
      last.emplace();
      if (!s_.scan(inv_.log, *last)) return kExitTrouble;
      left_name = fmt::format("the last values in {} (zero where it shows none)", Session::log_name(inv_.log));
      left = last->values();
      right = s_.dump(inv_.dumps[0]);
    } else {
      left_name = inv_.dumps[0];
      left = s_.dump(inv_.dumps[0]);
      if (left) right = s_.dump(inv_.dumps[1]);
    }
    if (!left || !right) return kExitTrouble;
    const auto diffs = differences(*left, *right);
    const std::string& right_name = inv_.dumps.back();
    if (diffs.empty()) {
      if (!inv_.quiet) s_.say("no register differs");
      return 0;
    }
    Output out(streams_.out);
    write_differences(out, left_name, right_name, diffs, last ? &last->seen() : nullptr);
    if (!inv_.quiet) {
      s_.say(fmt::format("{} register{} differ{}", diffs.size(), diffs.size() == 1 ? "" : "s",
                         diffs.size() == 1 ? "s" : ""));
    }
    return s_.finish(out, kExitDifferent);
  }

  int compare_logs() {
    if (!s_.load_names()) return kExitTrouble;
    Recording a, b;
    for (const auto& [path, recording] : {std::pair{inv_.logs[0], &a}, std::pair{inv_.logs[1], &b}}) {
      if (!s_.scan(path, *recording)) return kExitTrouble;
      if (recording->full()) {
        return s_.trouble(fmt::format("{}: more than {} different accesses in a row; too long to compare",
                                      Session::log_name(path), Recording::kMaxSteps));
      }
    }
    const Comparison result = compare(a, b);
    const std::string a_name = Session::log_name(inv_.logs[0]), b_name = Session::log_name(inv_.logs[1]);
    Output out(streams_.out);
    write_comparison(out, a, b, result, CompareReport{.a_name = a_name, .b_name = b_name, .names = s_.names()});
    return s_.finish(out, result.divergence ? kExitDifferent : 0);
  }

 private:
  Session& s_;
  const Invocation& inv_;
  const Streams& streams_;
};

}  // namespace

int run(std::string_view program, std::span<const std::string_view> args, const Streams& streams) {
  auto inv = parse_arguments(args);
  if (!inv) {
    (void)write_all(streams.err,
                    fmt::format("{0}: {1}\nTry '{0} --help' for more information.\n", program, inv.error()));
    return kExitTrouble;
  }
  if (inv->help) {
    Output out(streams.out);
    out.write(usage_text(program));
    return out.finish() ? 0 : kExitTrouble;
  }
  Session session(program, *inv, streams);
  Commands commands(session);
  switch (inv->command) {
    case Command::Summary: return commands.summary();
    case Command::Sequence: return commands.sequence();
    case Command::Export: return commands.export_events();
    case Command::Plot: return commands.plot();
    case Command::Diff: return commands.diff();
    case Command::Compare: return commands.compare_logs();
  }
  return kExitTrouble;
}

}  // namespace zephon_trace
