#include "run.h"

#include <fmt/format.h>

#include <optional>

#include "cli.h"
#include "dump.h"
#include "file.h"
#include "log_scanner.h"
#include "output.h"
#include "plot.h"
#include "sequence.h"

namespace zephon_trace {

namespace {

// Malformed lines printed one by one; past this only their number is given.
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

  // Returns the counts after feeding the log to sink, or nullopt once the
  // failure has been said.
  std::optional<ScanStats> scan(EventSink& sink) const {
    std::optional<File> file;
    int fd = streams_.in;
    if (inv_.log != "-") {
      auto opened = open_read(inv_.log);
      if (!opened) {
        say(fmt::format("{}: {}", inv_.log, opened.error()));
        return std::nullopt;
      }
      file = std::move(*opened);
      fd = file->get();
    }
    const std::string name = log_name();
    std::uint64_t shown = 0;
    ScanOptions options;
    options.strict = inv_.strict;
    options.on_malformed = [&](const MalformedLine& m) {
      if (shown++ >= kShownMalformed) return;
      say(fmt::format("{}:{}: {}{}: {}", name, m.line, m.reason,
                      m.unterminated ? " (the input ends inside this line)" : "", excerpt(m.text)));
    };
    auto stats = scan_log(fd, sink, options);
    if (!stats) {
      say(fmt::format("{}: {}{}", name, stats.error(), inv_.strict ? " (refused: --strict)" : ""));
      return std::nullopt;
    }
    if (stats->malformed > kShownMalformed) {
      say(fmt::format("{}: {} more malformed lines not shown", name, stats->malformed - kShownMalformed));
    }
    if (!inv_.quiet) {
      say(fmt::format("{}: {} lines: {} register accesses, {} other lines passed over, {} malformed lines skipped",
                      name, stats->lines, stats->events, stats->other, stats->malformed));
    }
    return *stats;
  }

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

  int summary() const {
    Summary summary;
    if (!scan(summary)) return kExitTrouble;
    Output out(streams_.out);
    summary.write(out, inv_.order);
    return finish(out);
  }

  int sequence() const {
    Output out(streams_.out);
    Sequence sequence(out, inv_.with_time);
    if (!scan(sequence)) return kExitTrouble;
    sequence.finish();
    return finish(out);
  }

  int export_events() const {
    Output out(streams_.out);
    Exporter exporter(out, inv_.format);
    if (!scan(exporter)) return kExitTrouble;
    return finish(out);
  }

  int plot() const {
    PlotGrid grid;
    if (!scan(grid)) return kExitTrouble;
    PlotOptions options{.output = inv_.output, .title = inv_.title};
    if (options.title.empty()) options.title = fmt::format("zephon BAR 2 register accesses: {}", log_name());
    if (auto r = render_plot(grid, options); !r) return trouble(r.error());
    return 0;
  }

  int diff() const {
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
