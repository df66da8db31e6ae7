#include "option_scan.h"

#include <fmt/format.h>

namespace zephon_args {

std::expected<Scanned, std::string> scan_arguments(std::span<const std::string_view> args, const ScanRules& rules) {
  Scanned scanned;
  bool options_done = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (options_done || arg == "-" || !arg.starts_with("-")) {
      scanned.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      scanned.help = true;
      return scanned;
    }
    std::string_view name = arg == "-o" ? "--output" : arg, value;
    bool has_value = false;
    if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      has_value = true;
    }
    const Option* option = nullptr;
    for (const Option& o : rules.options) {
      if (o.name == name) option = &o;
    }
    if (option == nullptr) return std::unexpected(fmt::format("unknown option '{}'", arg));
    if (auto taken = rules.check(option->name); !taken) return std::unexpected(taken.error());
    if (option->takes_value && !has_value) {
      if (i + 1 >= args.size()) return std::unexpected(fmt::format("{} needs a value", option->name));
      value = args[++i];
    } else if (!option->takes_value && has_value) {
      return std::unexpected(fmt::format("{} takes no value", option->name));
    }
    if (auto applied = rules.apply(option->name, value); !applied) return std::unexpected(applied.error());
  }
  return scanned;
}

}  // namespace zephon_args
