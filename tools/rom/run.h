// run is zephon-rom as a function: it parses the command line, reads or
// builds the image and writes the report or the image, so that tests can
// run it in-process on descriptors of their own.
//
// Contract: every failure is a message "PROGRAM: TEXT" on the error stream
// and an exit status: 0 success (inspect: a valid file), 1 inspect found
// problems, 2 a bad command line or a file that could not be read or
// written.
#ifndef ZEPHON_TOOLS_ROM_RUN_H_
#define ZEPHON_TOOLS_ROM_RUN_H_

#include <span>
#include <string_view>

namespace zephon_rom {

inline constexpr int kExitProblems = 1;
inline constexpr int kExitTrouble = 2;

// The largest file inspect reads: a ROM BAR's largest usual size.
inline constexpr std::size_t kMaxRomFile = std::size_t{16} << 20;

struct Streams {
  int out = 1;  // the report, or the built image without -o
  int err = 2;  // failures
};

// Returns the exit status of zephon-rom run with args (without the program
// name); program is the name used in messages.
int run(std::string_view program, std::span<const std::string_view> args, const Streams& streams);

}  // namespace zephon_rom

#endif  // ZEPHON_TOOLS_ROM_RUN_H_
