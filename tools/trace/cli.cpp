#include "cli.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <optional>

#include "option_scan.h"

namespace zephon_trace {

namespace {

struct CommandName {
  std::string_view name;
  Command command;
};
constexpr CommandName kCommands[] = {{"summary", Command::Summary}, {"sequence", Command::Sequence},
                                     {"export", Command::Export},   {"plot", Command::Plot},
                                     {"diff", Command::Diff},       {"compare", Command::Compare}};

// Options and the subcommands that take them; an empty list means all.
struct OptionSpec {
  std::string_view name;
  bool takes_value;
  std::vector<Command> commands;
};

const std::vector<OptionSpec>& option_specs() {
  static const std::vector<OptionSpec> specs = {
      {"--strict", false, {}},
      {"--quiet", false, {}},
      {"--order", true, {Command::Summary}},
      {"--time", false, {Command::Sequence}},
      {"--format", true, {Command::Export}},
      {"--output", true, {Command::Plot}},
      {"--title", true, {Command::Plot}},
      {"--log", true, {Command::Diff}},
      {"--names", true, {Command::Summary, Command::Sequence, Command::Export, Command::Plot, Command::Compare}},
      {"--follow", false, {Command::Sequence}},
      {"--map", true, {}},
      {"--base", true, {}},
      {"--bar-address", true, {Command::Export}},
  };
  return specs;
}

// Returns every option, as the scanner of the arguments takes them.
std::span<const zephon_args::Option> options() {
  static const std::vector<zephon_args::Option> all = [] {
    std::vector<zephon_args::Option> list;
    for (const auto& spec : option_specs()) list.push_back({spec.name, spec.takes_value});
    return list;
  }();
  return all;
}

std::string_view command_name(Command c) {
  for (const auto& n : kCommands) {
    if (n.command == c) return n.name;
  }
  return "?";
}

// Returns the number in text: decimal, or hex after 0x.
std::optional<std::uint64_t> number(std::string_view text) {
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    text.remove_prefix(2);
    base = 16;
  }
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Applies one option with its value to the invocation.
std::expected<void, std::string> apply(Invocation& inv, std::string_view name, std::string_view value) {
  if (name == "--strict") inv.strict = true;
  else if (name == "--quiet") inv.quiet = true;
  else if (name == "--time") inv.with_time = true;
  else if (name == "--output") inv.output = value;
  else if (name == "--title") inv.title = value;
  else if (name == "--follow") inv.follow = true;
  else if (name == "--names") {
    if (value.empty()) return std::unexpected("--names needs a file");
    inv.names = value;
  }
  else if (name == "--log") {
    inv.log = value;
    inv.diff_with_log = true;
  } else if (name == "--order") {
    if (value == "first") inv.order = SummaryOrder::FirstAccess;
    else if (value == "count") inv.order = SummaryOrder::Count;
    else return std::unexpected(fmt::format("--order must be first or count, not '{}'", value));
  } else if (name == "--format") {
    if (value == "csv") inv.format = ExportFormat::Csv;
    else if (value == "jsonl" || value == "json") inv.format = ExportFormat::JsonLines;
    else if (value == "mmiotrace") inv.format = ExportFormat::Mmiotrace;
    else return std::unexpected(fmt::format("--format must be csv, jsonl or mmiotrace, not '{}'", value));
  } else if (name == "--map") {
    inv.map.map_id = number(value);
    if (!inv.map.map_id) return std::unexpected(fmt::format("--map needs a mapping id, not '{}'", value));
  } else if (name == "--base" || name == "--bar-address") {
    const auto address = number(value);
    if (!address) return std::unexpected(fmt::format("{} needs an address, not '{}'", name, value));
    if (name == "--base") {
      inv.map.base = address;
    } else {
      // A BAR is aligned to its size, and all of it must have an address.
      if (*address % kBarSize != 0 || *address > UINT64_MAX - kBarSize) {
        return std::unexpected(fmt::format("--bar-address must be a multiple of 0x{:x} below 2^64, not '{}'",
                                           kBarSize, value));
      }
      inv.bar_address = *address;
      inv.bar_address_given = true;
    }
  }
  return {};
}

}  // namespace

std::expected<Invocation, std::string> parse_arguments(std::span<const std::string_view> args) {
  Invocation inv;
  if (args.empty()) return std::unexpected("a command is required");
  if (args[0] == "-h" || args[0] == "--help") {
    inv.help = true;
    return inv;
  }
  std::optional<Command> command;
  for (const auto& n : kCommands) {
    if (args[0] == n.name) command = n.command;
  }
  if (!command) return std::unexpected(fmt::format("unknown command '{}'", args[0]));
  inv.command = *command;
  const zephon_args::ScanRules rules{
      .options = options(),
      .check = [&](std::string_view name) -> std::expected<void, std::string> {
        for (const auto& spec : option_specs()) {
          if (spec.name != name || spec.commands.empty() ||
              std::find(spec.commands.begin(), spec.commands.end(), inv.command) != spec.commands.end()) {
            continue;
          }
          return std::unexpected(fmt::format("{} is not an option of {}", spec.name, command_name(inv.command)));
        }
        return {};
      },
      .apply = [&](std::string_view name, std::string_view value) { return apply(inv, name, value); },
  };
  auto scanned = zephon_args::scan_arguments(args.subspan(1), rules);
  if (!scanned) return std::unexpected(scanned.error());
  inv.help = scanned->help;
  if (inv.help) return inv;
  const std::vector<std::string> positional(scanned->operands.begin(), scanned->operands.end());
  if (inv.map.map_id && inv.map.base) return std::unexpected("--map and --base name the register BAR twice; give one");
  if (inv.bar_address_given && inv.format != ExportFormat::Mmiotrace) {
    return std::unexpected("--bar-address is for export --format=mmiotrace");
  }
  if (inv.command == Command::Compare) {
    if (positional.size() != 2) return std::unexpected("compare takes two recordings, A and B");
    if (positional[0] == "-" && positional[1] == "-") return std::unexpected("only one recording can be standard input");
    inv.logs = positional;
    return inv;
  }
  if (inv.command == Command::Diff) {
    const std::size_t want = inv.diff_with_log ? 1 : 2;
    if (positional.size() != want) {
      return std::unexpected(inv.diff_with_log ? "diff --log=LOG takes one dump" : "diff takes two dumps");
    }
    inv.dumps = positional;
    return inv;
  }
  if (positional.size() > 1) return std::unexpected("only one log can be read at a time");
  if (positional.size() == 1) inv.log = positional[0];
  if (inv.command == Command::Plot && inv.output.empty()) return std::unexpected("plot needs --output=FILE.png");
  return inv;
}

std::string usage_text(std::string_view program) {
  return fmt::format(
      "Usage: {0} COMMAND [OPTIONS] [LOG]\n"
      "\n"
      "Reads the log of a zephon run (plain or coloured), or a Linux mmiotrace\n"
      "text log of a real card (it starts with VERSION), from LOG or standard\n"
      "input when LOG is absent or -, and reports the accesses to the device's\n"
      "registers. Lines that are not register accesses are passed over and\n"
      "counted; malformed lines are reported with their line number and skipped.\n"
      "\n"
      "Commands:\n"
      "  summary [--order=first|count] [LOG]\n"
      "      one row per register touched: index, byte offset, reads, writes,\n"
      "      first and last value written and read, first and last access time\n"
      "  sequence [--time] [--follow] [LOG]\n"
      "      the accesses in order, runs of identical reads as one line; with\n"
      "      --follow, each as it arrives while zephon writes the log, until it\n"
      "      ends (or Ctrl-C)\n"
      "  export [--format=csv|jsonl] [LOG]\n"
      "      one access per line: time, op, index, offset, value\n"
      "  export --format=mmiotrace [--bar-address=ADDRESS] [LOG]\n"
      "      the log as an mmiotrace text log, BAR 2 at ADDRESS (0x{1:x})\n"
      "  plot --output=FILE.png [--title=TEXT] [LOG]\n"
      "      a picture of the accesses over time by byte offset (needs gnuplot)\n"
      "  diff DUMP1 DUMP2\n"
      "  diff --log=LOG DUMP\n"
      "      the registers that differ between two dumps, or between the last\n"
      "      values the log shows and a dump\n"
      "  compare A B\n"
      "      where recording B departs from recording A: the accesses aligned\n"
      "      with runs of identical reads as one, the first divergence with its\n"
      "      context, the registers read differently or touched by one side only\n"
      "\n"
      "Options:\n"
      "  --strict      refuse the log at its first malformed line\n"
      "  --quiet       do not print the line counts on standard error\n"
      "  --names=FILE  register names beside the index (not for diff): a C header\n"
      "                of '#define NAME 0xOFFSET' lines, or OFFSET,NAME lines in a\n"
      "                file whose name ends in .csv\n"
      "  --map=ID      in an mmiotrace, the register BAR is the mapping with this\n"
      "                id (default: the one mapping of 256 KiB)\n"
      "  --base=ADDRESS\n"
      "                in an mmiotrace, the register BAR is at this physical address\n"
      "  -h, --help    print this help\n"
      "\n"
      "Exit status: 0 on success, 1 when diff finds differences or compare a\n"
      "divergence, 2 on errors, 128 + N when signal N (2 for Ctrl-C) ends\n"
      "sequence --follow.\n",
      program, kDefaultBarAddress);
}

}  // namespace zephon_trace
