// Fuzz target: the command-line parser, given any argument vector a process
// can receive.
//
// Input: the arguments, program name first, each ended by a NUL byte (the
// last one may lack it); an argument of a process never holds a NUL itself.
//
// The run aborts (a finding) when the plain and the styled texts differ in
// more than their escapes or lead to different outcomes, when an exit is not
// the help text with status 0 or a well-formed error with status 2, when the
// paths are not the two positional arguments or well-formed arguments are
// refused, when the name shown in usage lines is not a valid file name in
// UTF-8, or when the similarity measure leaves 0 to 1.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli.h"
#include "finding.h"
#include "vfio_user/utf8.h"

namespace {

using zephon_fuzz::finding;

// A process gets at most a few thousand arguments in practice; more only
// make each run slower.
constexpr std::size_t kMaxArguments = 256;

std::vector<std::string_view> split_arguments(std::string_view input) {
  std::vector<std::string_view> args;
  while (!input.empty() && args.size() < kMaxArguments) {
    const std::size_t end = input.find('\0');
    args.push_back(input.substr(0, end));
    if (end == std::string_view::npos) break;
    input.remove_prefix(end + 1);
  }
  return args;
}

// Returns text without the "ESC [ digits/semicolons m" sequences that style it.
std::string without_escapes(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text.substr(i).starts_with("\x1b[")) {
      std::size_t j = i + 2;
      while (j < text.size() && ((text[j] >= '0' && text[j] <= '9') || text[j] == ';')) ++j;
      if (j < text.size() && text[j] == 'm') {
        i = j + 1;
        continue;
      }
    }
    out += text[i++];
  }
  return out;
}

std::string usage_line(std::string_view name) { return "Usage: " + std::string(name) + " <SOCKET> <ROM>\n"; }

std::string help_text(std::string_view name) {
  return usage_line(name) +
         "\n"
         "Arguments:\n"
         "  <SOCKET>  UNIX socket to bind to\n"
         "  <ROM>     ROM to serve\n"
         "\n"
         "Options:\n"
         "  -h, --help  Print help\n";
}

// The positional arguments when the line is well formed: no option before
// "--", and every positional non-empty; nothing when it is not.
std::optional<std::vector<std::string_view>> well_formed_positionals(const std::vector<std::string_view>& args) {
  std::vector<std::string_view> positionals;
  bool only_positionals = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (!only_positionals && arg == "--") {
      only_positionals = true;
      continue;
    }
    if (!only_positionals && arg.size() > 1 && arg[0] == '-') return std::nullopt;
    if (arg.empty()) return std::nullopt;
    positionals.push_back(arg);
  }
  return positionals;
}

void check_exit(const zephon::CliExit& exit, std::string_view name) {
  if (exit.status == 0) {
    if (exit.out != help_text(name) || !exit.err.empty()) finding("status 0 without exactly the help text");
    return;
  }
  if (exit.status != 2) finding("an exit status other than 0 and 2");
  if (!exit.out.empty()) finding("an error that writes to standard output");
  const std::string tail = "\n\n" + usage_line(name) + "\nFor more information, try '--help'.\n";
  if (!exit.err.starts_with("error: ") || !exit.err.ends_with(tail) || exit.err.size() == 7 + tail.size()) {
    finding("an error message that is not 'error: ', a text, the usage and the advice");
  }
}

void check_similarity(std::string_view a, std::string_view b) {
  const double ab = zephon::jaro_winkler(a, b);
  if (!(ab >= 0.0 && ab <= 1.0)) finding("a similarity outside 0 to 1");
  if (zephon::jaro_winkler(a, a) != 1.0) finding("a text is not wholly similar to itself");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string_view> args =
      split_arguments(std::string_view(reinterpret_cast<const char*>(data), size));

  const std::string name = zephon::usage_name(args.empty() ? std::string_view{} : args[0]);
  if (name.empty() || name.find('/') != std::string::npos || !vfio_user::is_valid_utf8(name)) {
    finding("a usage name that is not a file name in UTF-8");
  }

  const zephon::CliOutcome plain = zephon::parse_cli(args, {.out = false, .err = false});
  const zephon::CliOutcome styled = zephon::parse_cli(args, {.out = true, .err = true});
  if (plain.index() != styled.index()) finding("styling changed the outcome");

  const std::optional<std::vector<std::string_view>> positionals = well_formed_positionals(args);
  if (const auto* cli = std::get_if<zephon::Cli>(&plain)) {
    const auto& styled_cli = std::get<zephon::Cli>(styled);
    if (cli->socket != styled_cli.socket || cli->rom != styled_cli.rom) finding("styling changed the paths");
    if (!positionals || positionals->size() != 2) finding("paths from a line that is not two positionals");
    if (cli->socket != (*positionals)[0] || cli->rom != (*positionals)[1]) {
      finding("the paths are not the positional arguments");
    }
  } else {
    const auto& exit = std::get<zephon::CliExit>(plain);
    const auto& styled_exit = std::get<zephon::CliExit>(styled);
    if (exit.status != styled_exit.status) finding("styling changed the exit status");
    if (without_escapes(exit.out) != without_escapes(styled_exit.out) ||
        without_escapes(exit.err) != without_escapes(styled_exit.err)) {
      finding("the styled text differs from the plain one in more than escapes");
    }
    if (positionals && positionals->size() == 2) finding("a well-formed line was refused");
    check_exit(exit, name);
  }

  if (args.size() >= 3) check_similarity(args[1], args[2]);
  return 0;
}
