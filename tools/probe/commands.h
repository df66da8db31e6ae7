// The probe's command line: a socket path and the steps to run, in order,
// on one connection. Parsing is complete before anything connects, so a
// usage error never leaves a half-run session behind.
//
// Contract: pure; the parser neither prints nor exits.
#ifndef ZEPHON_TOOLS_PROBE_COMMANDS_H_
#define ZEPHON_TOOLS_PROBE_COMMANDS_H_

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zephon_probe {

// A region as the user named it: its index and the label shown in output.
struct RegionRef {
  std::uint32_t index = 0;
  std::string label;
};

struct InfoStep {};
struct ReadStep {
  RegionRef region;
  std::uint64_t offset = 0;
  std::uint32_t count = 4;
};
struct WriteStep {
  RegionRef region;
  std::uint64_t offset = 0;
  std::uint32_t value = 0;
  bool posted = false;  // sent without asking for a reply
};
struct ResetStep {};
struct RomStep {};

using Step = std::variant<InfoStep, ReadStep, WriteStep, ResetStep, RomStep>;

struct Invocation {
  bool help = false;  // the rest is empty when help was asked for
  std::string socket;
  std::vector<Step> steps;  // never empty after a successful parse
};

// Returns the invocation described by the arguments after the program
// name, or the reason they do not describe one.
std::expected<Invocation, std::string> parse_arguments(std::span<const std::string_view> args);

// Returns the value of a decimal or 0x-prefixed hexadecimal number that
// fits in max, or nothing.
std::optional<std::uint64_t> parse_number(std::string_view text, std::uint64_t max);

// Returns the region that a number or a name (bar0..bar5, rom, config, vga)
// refers to, or nothing.
std::optional<RegionRef> parse_region(std::string_view text);

// Returns the one-line synopsis, without a newline.
std::string usage_line(std::string_view program);
// Returns the usage text, every line ended by a newline.
std::string usage_text(std::string_view program);

}  // namespace zephon_probe

#endif  // ZEPHON_TOOLS_PROBE_COMMANDS_H_
