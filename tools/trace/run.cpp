#include "run.h"

#include <fmt/format.h>

#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include "cli.h"
#include "dump.h"
#include "file.h"
#include "follow.h"
#include "log_scanner.h"
#include "names.h"
#include "output.h"
#include "plot.h"
#include "sequence.h"
#include "stop_signals.h"

namespace zephon_trace {

namespace {

// Malformed lines (and problems in a names file) printed one by one; past
// this only their number is given.
constexpr std::uint64_t kShownMalformed = 10;

// Returns the line with control and non-ASCII bytes escaped, shortened.
std::string excerpt(std::string_view text) {
  constexpr std::size_t kMax = 120;
  std::string out;
  for (std::size_t i = 0; i < text.size() && i < kMax; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f) out += static_cast<char>(c);
    else out += fmt::format("\\x{:02x}", c);
  }
  if (text.size() > kMax) out += "...";
  return out;
}

// The context of one run: where messages go and what the log is called.
class Session {
 public:
  Session(std::string_view program, const Invocation& inv, const Streams& streams)
      : program_(program), inv_(inv), streams_(streams) {}

  // Returns nothing; prints "PROGRAM: TEXT" on the error stream.
  void say(std::string_view text) const {
    (void)write_all(streams_.err, fmt::format("{}: {}\n", program_, text));
  }
  // Returns kExitTrouble after saying why.
  int trouble(std::string_view text) const {
    say(text);
    return kExitTrouble;
  }
  std::string log_name() const { return inv_.log == "-" ? "standard input" : inv_.log; }

  // Returns the log's descriptor (kept open by file), or nullopt once the
  // failure has been said.
  std::optional<int> open_log(std::optional<File>& file) const {
    if (inv_.log == "-") return streams_.in;
    auto opened = open_read(inv_.log);
    if (!opened) {
      say(fmt::format("{}: {}", inv_.log, opened.error()));
      return std::nullopt;
    }
    file = std::move(*opened);
    return file->get();
  }

  // Returns the scan options for the log, malformed lines said as they come.
  ScanOptions scan_options() {
    ScanOptions options;
    options.strict = inv_.strict;
    options.on_malformed = [this](const MalformedLine& m) {
      if (shown_malformed_++ >= kShownMalformed) return;
      say(fmt::format("{}:{}: {}{}: {}", log_name(), m.line, m.reason,
                      m.unterminated ? " (the input ends inside this line)" : "", excerpt(m.text)));
    };
    return options;
  }

  // Returns the counts, said unless quiet (ending is put before them), or
  // nullopt once the refusal has been said.
  std::optional<ScanStats> report(const std::expected<ScanStats, std::string>& stats,
                                  std::string_view ending = {}) const {
    const std::string name = log_name();
    if (!stats) {
      say(fmt::format("{}: {}{}", name, stats.error(), inv_.strict ? " (refused: --strict)" : ""));
      return std::nullopt;
    }
    if (stats->malformed > kShownMalformed) {
      say(fmt::format("{}: {} more malformed lines not shown", name, stats->malformed - kShownMalformed));
    }
    if (!inv_.quiet) {
      say(fmt::format("{}: {}{} lines: {} register accesses, {} other lines passed over, {} malformed lines skipped",
                      name, ending, stats->lines, stats->events, stats->other, stats->malformed));
    }
    return *stats;
  }

  // Returns the counts after feeding the log to sink, or nullopt once the
  // failure has been said.
  std::optional<ScanStats> scan(EventSink& sink) {
    std::optional<File> file;
    const auto fd = open_log(file);
    if (!fd) return std::nullopt;
    return report(scan_log(*fd, sink, scan_options()));
  }

  // Returns false once the failure has been said; reads the names file, if
  // one was given, saying its problems and (unless quiet) its counts.
  bool load_names() {
    if (inv_.names.empty()) return true;
    auto text = read_names_file(inv_.names);
    if (!text) {
      say(fmt::format("{}: {}", inv_.names, text.error()));
      return false;
    }
    names_.emplace();
    std::uint64_t shown = 0;
    const NamesCounts counts =
        parse_names(*text, names_format(inv_.names), *names_, [&](const NameProblem& problem) {
          if (shown++ < kShownMalformed) say(fmt::format("{}:{}: {}", inv_.names, problem.line, problem.text));
        });
    if (counts.problems > kShownMalformed) {
      say(fmt::format("{}: {} more problems not shown", inv_.names, counts.problems - kShownMalformed));
    }
    if (!inv_.quiet) {
      say(fmt::format("{}: {} names for {} registers, {} other lines skipped, {} lines with problems skipped",
                      inv_.names, counts.names, names_->registers(), counts.skipped, counts.problems));
    }
    return true;
  }

  // Returns the names read, or null when none were asked for.
  const RegisterNames* names() const { return names_ ? &*names_ : nullptr; }

  // Returns the exit status after flushing out.
  int finish(Output& out, int status = 0) const {
    if (auto f = out.finish(); !f) return trouble(fmt::format("writing the output: {}", f.error()));
    return status;
  }

  std::optional<RegisterFile> dump(const std::string& path) const {
    auto file = open_read(path);
    if (!file) {
      say(fmt::format("{}: {}", path, file.error()));
      return std::nullopt;
    }
    auto regs = load_dump(file->get());
    if (!regs) {
      say(fmt::format("{}: {}", path, regs.error()));
      return std::nullopt;
    }
    return std::move(*regs);
  }

  int summary() {
    if (!load_names()) return kExitTrouble;
    Summary summary;
    if (!scan(summary)) return kExitTrouble;
    Output out(streams_.out);
    summary.write(out, inv_.order, names());
    return finish(out);
  }

  int sequence() {
    if (!load_names()) return kExitTrouble;
    Output out(streams_.out);
    Sequence sequence(out, inv_.with_time, names());
    if (inv_.follow) return follow(out, sequence);
    if (!scan(sequence)) return kExitTrouble;
    sequence.finish();
    return finish(out);
  }

  // Returns the exit status of sequence --follow: 0 when the log ended,
  // 128 + the signal's number when a signal stopped it.
  int follow(Output& out, Sequence& sequence) {
    std::optional<File> file;
    const auto fd = open_log(file);
    if (!fd) return kExitTrouble;
    StopSignals stops;
    FollowOptions options;
    options.terminal = ::isatty(streams_.out) == 1;
    options.stop_fd = stops.fd();
    ScanOptions scan = scan_options();
    // A file may hold more after zephon's last line (a log appended to);
    // the follow of this run ends there.
    struct stat st {};
    scan.end_at_close = ::fstat(*fd, &st) == 0 && S_ISREG(st.st_mode);
    LogScanner scanner(sequence, scan);
    auto end = follow_log(*fd, scanner, sequence, out, streams_.out, options);
    sequence.finish();
    if (!end) {
      (void)out.finish();
      report(std::unexpected(end.error()));
      return kExitTrouble;
    }
    const int signal = *end == FollowEnd::Stopped ? stops.received() : 0;
    const int status = finish(out, signal > 0 ? 128 + signal : 0);
    if (!report(scanner.finish(),
                signal > 0 ? fmt::format("stopped by SIG{} after ", sigabbrev_np(signal)) : std::string()))
      return kExitTrouble;
    return status;
  }

  int export_events() {
    if (!load_names()) return kExitTrouble;
    Output out(streams_.out);
    Exporter exporter(out, inv_.format, names());
    if (!scan(exporter)) return kExitTrouble;
    return finish(out);
  }

  int plot() {
    if (!load_names()) return kExitTrouble;
    PlotGrid grid;
    if (!scan(grid)) return kExitTrouble;
    PlotOptions options{.output = inv_.output, .title = inv_.title, .names = names()};
    if (options.title.empty()) options.title = fmt::format("zephon BAR 2 register accesses: {}", log_name());
    if (auto r = render_plot(grid, options); !r) return trouble(r.error());
    return 0;
  }

  int diff() {
    std::optional<RegisterFile> left, right;
    std::string left_name;
    std::optional<LastValues> last;
    if (inv_.diff_with_log) {
      last.emplace();
      if (!scan(*last)) return kExitTrouble;
      left_name = fmt::format("the last values in {} (zero where it shows none)", log_name());
      left = last->values();
      right = dump(inv_.dumps[0]);
    } else {
      left_name = inv_.dumps[0];
      left = dump(inv_.dumps[0]);
      if (left) right = dump(inv_.dumps[1]);
    }
    if (!left || !right) return kExitTrouble;
    const auto diffs = differences(*left, *right);
    const std::string& right_name = inv_.dumps.back();
    if (diffs.empty()) {
      if (!inv_.quiet) say("no register differs");
      return 0;
    }
    Output out(streams_.out);
    write_differences(out, left_name, right_name, diffs, last ? &last->seen() : nullptr);
    if (!inv_.quiet) say(fmt::format("{} register{} differ{}", diffs.size(), diffs.size() == 1 ? "" : "s",
                                     diffs.size() == 1 ? "s" : ""));
    return finish(out, kExitDifferent);
  }

 private:
  std::string_view program_;
  const Invocation& inv_;
  const Streams& streams_;
  std::optional<RegisterNames> names_;  // when --names was given
  std::uint64_t shown_malformed_ = 0;   // malformed lines said one by one so far
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
  switch (inv->command) {
    case Command::Summary: return session.summary();
    case Command::Sequence: return session.sequence();
    case Command::Export: return session.export_events();
    case Command::Plot: return session.plot();
    case Command::Diff: return session.diff();
  }
  return kExitTrouble;
}

}  // namespace zephon_trace
