// scan_arguments walks the arguments after a tool's command the way every
// zephon tool takes them: options and operands in any order, "--" ending
// the options, "-" an operand (standard input), "--name=value" or
// "--name value" for an option that takes a value, "-o" short for
// "--output", and -h or --help anywhere asking for the usage text.
//
// Contract: it never prints. Each option is looked up before its value is
// taken, so a command that does not take an option says so even when the
// value is missing; the tool's own words are used for every refusal but
// the scanner's few ("needs a value", "takes no value").
#ifndef ZEPHON_TOOLS_ARGS_OPTION_SCAN_H_
#define ZEPHON_TOOLS_ARGS_OPTION_SCAN_H_

#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zephon_args {

// An option a command takes.
struct Option {
  std::string_view name;  // with its dashes: "--output"
  bool takes_value;
};

// What a tool answers while its arguments are scanned.
struct ScanRules {
  std::span<const Option> options;  // every option of the tool; any other is "unknown option 'ARG'"
  // Returns success if the command being run takes the option of that name,
  // else why not.
  std::function<std::expected<void, std::string>(std::string_view name)> check;
  // Returns success once the option (by its name) and its value (empty for
  // one that takes none) are applied, or why the value is refused.
  std::function<std::expected<void, std::string>(std::string_view name, std::string_view value)> apply;
};

// What was found besides the options.
struct Scanned {
  bool help = false;                       // -h or --help: the rest was not scanned
  std::vector<std::string_view> operands;  // in order
};

// Returns the operands of args, every option applied through rules, or the
// first refusal.
std::expected<Scanned, std::string> scan_arguments(std::span<const std::string_view> args, const ScanRules& rules);

}  // namespace zephon_args

#endif  // ZEPHON_TOOLS_ARGS_OPTION_SCAN_H_
