#include "commands.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>

namespace zephon_probe {

namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  std::ranges::transform(out, out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// Walks the command words, taking each command's operands.
class StepParser {
 public:
  explicit StepParser(std::span<const std::string_view> words) : words_(words) {}

  std::expected<std::vector<Step>, std::string> parse() {
    std::vector<Step> steps;
    while (pos_ < words_.size()) {
      auto step = parse_one();
      if (!step) return std::unexpected(step.error());
      steps.push_back(std::move(*step));
    }
    if (steps.empty()) steps.emplace_back(InfoStep{});
    return steps;
  }

 private:
  std::expected<Step, std::string> parse_one() {
    const std::string_view name = words_[pos_++];
    if (name == "info") return InfoStep{};
    if (name == "reset") return ResetStep{};
    if (name == "rom") return RomStep{};
    if (name == "read") {
      auto region = region_operand(name);
      if (!region) return std::unexpected(region.error());
      auto offset = number_operand(name, "OFFSET", std::numeric_limits<std::uint64_t>::max());
      if (!offset) return std::unexpected(offset.error());
      ReadStep step{*region, *offset, 4};
      // COUNT is optional; no command name parses as a number.
      if (pos_ < words_.size()) {
        if (auto count = parse_number(words_[pos_], std::numeric_limits<std::uint32_t>::max())) {
          step.count = static_cast<std::uint32_t>(*count);
          ++pos_;
        }
      }
      return step;
    }
    if (name == "write" || name == "write-posted") {
      auto region = region_operand(name);
      if (!region) return std::unexpected(region.error());
      auto offset = number_operand(name, "OFFSET", std::numeric_limits<std::uint64_t>::max());
      if (!offset) return std::unexpected(offset.error());
      auto value = number_operand(name, "VALUE", std::numeric_limits<std::uint32_t>::max());
      if (!value) return std::unexpected(value.error());
      return WriteStep{*region, *offset, static_cast<std::uint32_t>(*value), name == "write-posted"};
    }
    return std::unexpected(fmt::format("unknown command '{}'", name));
  }

  std::expected<RegionRef, std::string> region_operand(std::string_view command) {
    if (pos_ == words_.size()) return std::unexpected(fmt::format("{}: REGION missing", command));
    auto region = parse_region(words_[pos_]);
    if (!region) return std::unexpected(fmt::format("{}: '{}' is not a region", command, words_[pos_]));
    ++pos_;
    return *region;
  }

  std::expected<std::uint64_t, std::string> number_operand(std::string_view command, std::string_view what,
                                                           std::uint64_t max) {
    if (pos_ == words_.size()) return std::unexpected(fmt::format("{}: {} missing", command, what));
    auto value = parse_number(words_[pos_], max);
    if (!value) {
      return std::unexpected(fmt::format("{}: {} '{}' is not a number up to {:#x}", command, what, words_[pos_], max));
    }
    ++pos_;
    return *value;
  }

  std::span<const std::string_view> words_;
  std::size_t pos_ = 0;
};

}  // namespace

std::optional<std::uint64_t> parse_number(std::string_view text, std::uint64_t max) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc{} || end != text.data() + text.size() || value > max) return std::nullopt;
  return value;
}

std::optional<RegionRef> parse_region(std::string_view text) {
  static constexpr std::pair<std::string_view, std::uint32_t> kNames[] = {
      {"bar0", 0}, {"bar1", 1}, {"bar2", 2}, {"bar3", 3}, {"bar4", 4},
      {"bar5", 5}, {"rom", 6},  {"config", 7}, {"vga", 8}};
  const std::string name = lower(text);
  for (const auto& [known, index] : kNames) {
    if (name == known) return RegionRef{index, name};
  }
  if (auto index = parse_number(text, std::numeric_limits<std::uint32_t>::max())) {
    return RegionRef{static_cast<std::uint32_t>(*index), fmt::format("region {}", *index)};
  }
  return std::nullopt;
}

std::expected<Invocation, std::string> parse_arguments(std::span<const std::string_view> args) {
  Invocation invocation;
  if (std::ranges::any_of(args, [](std::string_view a) { return a == "-h" || a == "--help"; })) {
    invocation.help = true;
    return invocation;
  }
  if (args.empty()) return std::unexpected("SOCKET missing");
  if (args[0].size() > 1 && args[0][0] == '-') return std::unexpected(fmt::format("unknown option '{}'", args[0]));
  if (args[0].empty()) return std::unexpected("SOCKET is empty");
  invocation.socket = std::string(args[0]);
  auto steps = StepParser(args.subspan(1)).parse();
  if (!steps) return std::unexpected(steps.error());
  invocation.steps = std::move(*steps);
  return invocation;
}

std::string usage_line(std::string_view program) { return fmt::format("Usage: {} SOCKET [COMMAND...]", program); }

std::string usage_text(std::string_view program) {
  return fmt::format(
      "{}\n"
      "\n"
      "Connects to the vfio-user server listening on the UNIX socket SOCKET, runs\n"
      "the commands in order on that one connection, and disconnects.\n"
      "\n"
      "Commands:\n"
      "  info                              handshake, device, regions, interrupts and\n"
      "                                    the decoded configuration space (the default)\n"
      "  read REGION OFFSET [COUNT]        read COUNT bytes (default 4)\n"
      "  write REGION OFFSET VALUE         write a 32-bit little-endian word\n"
      "  write-posted REGION OFFSET VALUE  the same without asking for a reply\n"
      "  reset                             reset the device\n"
      "  rom                               read the whole ROM region, check 55 AA\n"
      "\n"
      "REGION is an index or one of bar0..bar5, rom, config, vga. Numbers are\n"
      "decimal, or hexadecimal with 0x.\n"
      "\n"
      "Options:\n"
      "  -h, --help  Print help\n"
      "\n"
      "Exit status: 0 success, 1 connection failed or request refused, 2 usage error.\n",
      usage_line(program));
}

}  // namespace zephon_probe
