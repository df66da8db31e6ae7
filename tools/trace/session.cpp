#include "session.h"

#include <fmt/format.h>

namespace zephon_trace {

namespace {

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

}  // namespace

std::string counts_text(const ScanStats& s) {
  std::string text = fmt::format("{} lines: {} register accesses", s.lines, s.accesses);
  if (s.script > 0) text += fmt::format(", {} device script lines", s.script);
  if (s.marks > 0) text += fmt::format(", {} markers", s.marks);
  if (s.outside > 0) text += fmt::format(", {} accesses to other mappings passed over", s.outside);
  if (s.undecoded > 0) text += fmt::format(", {} undecoded accesses (UNKNOWN) passed over", s.undecoded);
  text += fmt::format(", {} other lines passed over, {} malformed lines skipped", s.other, s.malformed);
  return text;
}

void Session::say(std::string_view text) const {
  (void)write_all(streams_.err, fmt::format("{}: {}\n", program_, text));
}

int Session::trouble(std::string_view text) const {
  say(text);
  return kExitTrouble;
}

std::string Session::log_name(std::string_view path) {
  return path == "-" ? "standard input" : std::string(path);
}

std::optional<int> Session::open_log(const std::string& path, std::optional<File>& file) const {
  if (path == "-") return streams_.in;
  auto opened = open_read(path);
  if (!opened) {
    say(fmt::format("{}: {}", path, opened.error()));
    return std::nullopt;
  }
  file = std::move(*opened);
  return file->get();
}

ScanOptions Session::scan_options(const std::string& path) {
  ScanOptions options;
  options.strict = inv_.strict;
  options.map = inv_.map;
  options.on_malformed = [this, name = log_name(path)](const MalformedLine& m) {
    if (shown_malformed_++ >= kShownMalformed) return;
    say(fmt::format("{}:{}: {}{}: {}", name, m.line, m.reason,
                    m.unterminated ? " (the input ends inside this line)" : "", excerpt(m.text)));
  };
  return options;
}

std::optional<ScanStats> Session::report(const std::string& path, const std::expected<ScanStats, std::string>& stats,
                                         std::string_view ending) const {
  const std::string name = log_name(path);
  if (!stats) {
    // A strict scan's own stop names the malformed line ("line N: ...");
    // other refusals (binary input, an mmiotrace's register BAR) happen
    // with or without --strict.
    const bool by_strict = inv_.strict && stats.error().starts_with("line ");
    say(fmt::format("{}: {}{}", name, stats.error(), by_strict ? " (refused: --strict)" : ""));
    return std::nullopt;
  }
  if (stats->malformed > kShownMalformed) {
    say(fmt::format("{}: {} more malformed lines not shown", name, stats->malformed - kShownMalformed));
  }
  if (!inv_.quiet) {
    if (stats->format == LogFormat::Mmiotrace) {
      say(fmt::format("{}: an mmiotrace; its register BAR: {}", name, stats->window));
    }
    say(fmt::format("{}: {}{}", name, ending, counts_text(*stats)));
  }
  return *stats;
}

std::optional<ScanStats> Session::scan(const std::string& path, EventSink& sink) {
  std::optional<File> file;
  const auto fd = open_log(path, file);
  if (!fd) return std::nullopt;
  return report(path, scan_log(*fd, sink, scan_options(path)));
}

bool Session::load_names() {
  if (inv_.names.empty()) return true;
  auto text = read_names_file(inv_.names);
  if (!text) {
    say(fmt::format("{}: {}", inv_.names, text.error()));
    return false;
  }
  names_.emplace();
  std::uint64_t shown = 0;
  const NamesCounts counts = parse_names(*text, names_format(inv_.names), *names_, [&](const NameProblem& problem) {
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

std::optional<RegisterFile> Session::dump(const std::string& path) const {
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

int Session::finish(Output& out, int status) const {
  if (auto f = out.finish(); !f) return trouble(fmt::format("writing the output: {}", f.error()));
  return status;
}

}  // namespace zephon_trace
