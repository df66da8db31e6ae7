#include "cli.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

#include "vfio_user/utf8.h"

namespace zephon {

namespace {

// Used in usage lines when the invoked name cannot be shown as text.
constexpr std::string_view kCommandName = "zephon";

// Unknown options scoring above this against "help" are offered '--help'.
// It lets slips such as "hel", "hlp" or "hepl" through while keeping
// unrelated words such as "version" and "verbose" (about 0.46) out.
constexpr double kSimilarThreshold = 0.7;

struct Positional {
  std::string_view placeholder;
  std::string_view help;
};

constexpr std::array<Positional, 2> kPositionals{{
    {"<SOCKET>", "UNIX socket to bind to"},
    {"<ROM>", "ROM to serve"},
}};

constexpr std::string_view kReset = "\x1b[0m";
constexpr std::string_view kErrorStyle = "\x1b[1;31m";
constexpr std::string_view kValueStyle = "\x1b[33m";
constexpr std::string_view kHeadingStyle = "\x1b[1;4m";
constexpr std::string_view kLiteralStyle = "\x1b[1m";

// Wraps pieces of a message in terminal escapes, or leaves them alone, so
// that the styled and the plain texts share one construction and can only
// differ by escapes.
class Painter {
 public:
  explicit Painter(bool enabled) : enabled_(enabled) {}

  // Returns `text`, wrapped in `escape` and a reset when styling is on.
  std::string paint(std::string_view escape, std::string_view text) const {
    if (!enabled_) return std::string(text);
    return fmt::format("{}{}{}", escape, text, kReset);
  }

  // Returns the word that opens every error message.
  std::string error() const { return paint(kErrorStyle, "error:"); }

  // Returns a section heading such as "Usage:".
  std::string heading(std::string_view text) const { return paint(kHeadingStyle, text); }

  // Returns something the user types as is: a flag or the program name.
  std::string literal(std::string_view text) const { return paint(kLiteralStyle, text); }

  // Returns text that came from the user, in single quotes.
  std::string quoted(std::string_view text) const { return paint(kValueStyle, fmt::format("'{}'", text)); }

  // Returns something the user may type, in single quotes.
  std::string quoted_literal(std::string_view text) const { return literal(fmt::format("'{}'", text)); }

 private:
  bool enabled_;  // false: every piece comes back exactly as given
};

double jaro(std::string_view a, std::string_view b) {
  if (a.empty() && b.empty()) return 1.0;
  if (a.empty() || b.empty()) return 0.0;
  const size_t reach = std::max(a.size(), b.size()) / 2;
  const size_t window = reach > 0 ? reach - 1 : 0;
  std::vector<bool> a_matched(a.size());
  std::vector<bool> b_matched(b.size());
  size_t matches = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const size_t first = i > window ? i - window : 0;
    const size_t last = std::min(i + window + 1, b.size());
    for (size_t j = first; j < last; ++j) {
      if (b_matched[j] || a[i] != b[j]) continue;
      a_matched[i] = b_matched[j] = true;
      ++matches;
      break;
    }
  }
  if (matches == 0) return 0.0;
  size_t out_of_order = 0;
  for (size_t i = 0, j = 0; i < a.size(); ++i) {
    if (!a_matched[i]) continue;
    while (!b_matched[j]) ++j;
    if (a[i] != b[j]) ++out_of_order;
    ++j;
  }
  const double m = static_cast<double>(matches);
  const double transpositions = static_cast<double>(out_of_order) / 2.0;
  return (m / static_cast<double>(a.size()) + m / static_cast<double>(b.size()) + (m - transpositions) / m) / 3.0;
}

std::string usage_line(const Painter& painter, std::string_view name) {
  return fmt::format("{} {} <SOCKET> <ROM>", painter.heading("Usage:"), painter.literal(name));
}

// One line of a help section: what the user types, styled and plain (the
// plain form measures the column), and what it does.
struct HelpEntry {
  std::string styled;
  std::string plain;
  std::string_view help;
};

// Appends a section whose help texts all start two columns after its
// longest entry.
void append_section(std::string& text, const Painter& painter, std::string_view heading,
                    const std::vector<HelpEntry>& entries) {
  size_t width = 0;
  for (const HelpEntry& entry : entries) width = std::max(width, entry.plain.size());
  text += painter.heading(heading);
  text += '\n';
  for (const HelpEntry& entry : entries) {
    text += fmt::format("  {}{:{}}{}\n", entry.styled, "", width - entry.plain.size() + 2, entry.help);
  }
}

std::string help_text(const Painter& painter, std::string_view name) {
  std::string text = usage_line(painter, name) + "\n\n";
  std::vector<HelpEntry> arguments;
  for (const Positional& positional : kPositionals) {
    arguments.push_back(
        {painter.literal(positional.placeholder), std::string(positional.placeholder), positional.help});
  }
  append_section(text, painter, "Arguments:", arguments);
  text += '\n';
  append_section(text, painter, "Options:",
                 {{fmt::format("{}, {}", painter.literal("-h"), painter.literal("--help")), "-h, --help",
                   "Print help"}});
  return text;
}

CliExit help_request(const CliStyle& style, std::string_view name) {
  return CliExit{.status = 0, .out = help_text(Painter(style.out), name), .err = {}};
}

// Returns the exit for an error whose specific text (first line after
// "error: " and any further lines) is `body`.
CliExit usage_error(const Painter& painter, std::string_view name, std::string_view body) {
  return CliExit{
      .status = 2,
      .out = {},
      .err = fmt::format("{} {}\n\n{}\n\nFor more information, try {}.\n", painter.error(), body,
                         usage_line(painter, name), painter.quoted_literal("--help")),
  };
}

// The error for an option nobody defined. `shown` names it in the first
// line; the advice to pass it as a value quotes the whole `argument`, since
// that is what would have to follow "--".
CliExit unknown_option(const Painter& painter, std::string_view name, std::string_view shown,
                       std::string_view argument, std::optional<std::string_view> long_name) {
  std::string tip;
  if (long_name && jaro_winkler(*long_name, "help") > kSimilarThreshold) {
    tip = fmt::format("a similar argument exists: {}", painter.quoted_literal("--help"));
  } else {
    tip = fmt::format("to pass {} as a value, use {}", painter.quoted(argument),
                      painter.quoted_literal(fmt::format("-- {}", argument)));
  }
  return usage_error(painter, name,
                     fmt::format("unexpected argument {} found\n\n  tip: {}", painter.quoted(shown), tip));
}

CliExit value_for_flag(const Painter& painter, std::string_view name, std::string_view flag,
                       std::string_view value) {
  return usage_error(painter, name,
                     fmt::format("unexpected value {} for {} found; no more were expected", painter.quoted(value),
                                 painter.quoted_literal(flag)));
}

}  // namespace

double jaro_winkler(std::string_view a, std::string_view b) {
  const double similarity = jaro(a, b);
  size_t prefix = 0;
  while (prefix < 4 && prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix]) ++prefix;
  return similarity + static_cast<double>(prefix) * 0.1 * (1.0 - similarity);
}

std::string usage_name(std::string_view program) {
  while (program.size() > 1 && program.back() == '/') program.remove_suffix(1);
  const size_t slash = program.rfind('/');
  const std::string_view last = slash == std::string_view::npos ? program : program.substr(slash + 1);
  // "." and ".." name a directory, not the program.
  if (last.empty() || last == "." || last == ".." || !vfio_user::is_valid_utf8(last)) return std::string(kCommandName);
  return std::string(last);
}

CliStyle cli_style(bool out_is_terminal, bool err_is_terminal, const char* no_color) {
  const bool allowed = no_color == nullptr || no_color[0] == '\0';
  return CliStyle{.out = out_is_terminal && allowed, .err = err_is_terminal && allowed};
}

CliOutcome parse_cli(std::span<const std::string_view> args, const CliStyle& style) {
  const std::string name = usage_name(args.empty() ? std::string_view{} : args[0]);
  const Painter err(style.err);
  Cli cli;
  const std::array<std::string*, kPositionals.size()> slots{&cli.socket, &cli.rom};
  size_t filled = 0;
  bool only_positionals = false;  // set by "--"

  for (size_t i = 1; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (!only_positionals && arg == "--") {
      only_positionals = true;
      continue;
    }
    if (!only_positionals && arg.size() > 1 && arg.starts_with("--")) {
      const std::string_view option = arg.substr(2);
      const size_t equals = option.find('=');
      const std::string_view key = option.substr(0, equals);
      if (key != "help") return unknown_option(err, name, arg, arg, key);
      if (equals == std::string_view::npos) return help_request(style, name);
      return value_for_flag(err, name, "--help", option.substr(equals + 1));
    }
    if (!only_positionals && arg.size() > 1 && arg.starts_with('-')) {
      // A cluster of short flags is read one flag at a time, and -h is the
      // only one there is, so the first flag decides.
      if (arg[1] == 'h') {
        if (arg.size() > 2 && arg[2] == '=') return value_for_flag(err, name, "-h", arg.substr(3));
        return help_request(style, name);
      }
      const vfio_user::Utf8Prefix flag = vfio_user::utf8_prefix(arg.substr(1));
      const size_t length = flag.complete ? flag.length : 1;
      return unknown_option(err, name, arg.substr(0, 1 + length), arg, std::nullopt);
    }
    if (filled == slots.size()) {
      return usage_error(err, name, fmt::format("unexpected argument {} found", err.quoted(arg)));
    }
    if (arg.empty()) {
      return usage_error(err, name,
                         fmt::format("a value is required for {} but none was supplied",
                                     err.quoted(kPositionals[filled].placeholder)));
    }
    slots[filled++]->assign(arg);
  }

  if (filled < slots.size()) {
    std::string body = "the following required arguments were not provided:";
    for (size_t i = filled; i < kPositionals.size(); ++i) {
      body += fmt::format("\n  {}", err.literal(kPositionals[i].placeholder));
    }
    return usage_error(err, name, body);
  }
  return cli;
}

Cli parse_command_line(int argc, char** argv) {
  std::vector<std::string_view> args;
  for (int i = 0; i < argc && argv[i] != nullptr; ++i) args.emplace_back(argv[i]);
  const CliStyle style = cli_style(isatty(STDOUT_FILENO) == 1, isatty(STDERR_FILENO) == 1, std::getenv("NO_COLOR"));
  CliOutcome outcome = parse_cli(args, style);
  if (Cli* cli = std::get_if<Cli>(&outcome)) return std::move(*cli);
  const CliExit& request = std::get<CliExit>(outcome);
  // Nothing more can be reported if a stream is gone; the status still tells.
  std::fwrite(request.out.data(), 1, request.out.size(), stdout);
  std::fflush(stdout);
  std::fwrite(request.err.data(), 1, request.err.size(), stderr);
  std::fflush(stderr);
  std::exit(request.status);
}

}  // namespace zephon
