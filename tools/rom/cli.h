// The command line of zephon-rom: a command (inspect or build), its options
// and its file, checked whole before anything is read or written.
//
// Contract: parse_arguments never prints; it returns the invocation or a
// one-line description of what is wrong with the command line.
#ifndef ZEPHON_TOOLS_ROM_CLI_H_
#define ZEPHON_TOOLS_ROM_CLI_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "rom_builder.h"

namespace zephon_rom {

enum class Command : std::uint8_t { Inspect, Build };

struct Invocation {
  bool help = false;
  Command command = Command::Inspect;
  std::string file;     // inspect: the file to read
  BuildOptions build;   // build: the image's size and contents
  std::string output;   // build: the file to write; empty for standard output
};

// Returns the invocation described by args (without the program name), or
// what is wrong with them.
std::expected<Invocation, std::string> parse_arguments(std::span<const std::string_view> args);

// Returns the number of bytes text says: decimal, or hexadecimal with 0x,
// optionally followed by K or KiB (times 1024); nothing when it says none.
std::optional<std::size_t> parse_size(std::string_view text);

// Returns the --help text.
std::string usage_text(std::string_view program);

}  // namespace zephon_rom

#endif  // ZEPHON_TOOLS_ROM_CLI_H_
