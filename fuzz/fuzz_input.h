// What every fuzz target needs around its subject: reading the input AFL++
// hands it (a file named on the command line, or standard input), and
// ending the run as a finding.
#ifndef ZEPHON_FUZZ_FUZZ_INPUT_H_
#define ZEPHON_FUZZ_FUZZ_INPUT_H_

#include <cstddef>
#include <string>

namespace zephon_fuzz {

// Prints what went wrong, prefixed with the program's name, and aborts: a
// finding.
[[noreturn]] void finding(const char* what);

// Returns at most max bytes of the file argv[1], or of standard input when
// there is no argument; a file that cannot be opened is a finding.
std::string read_input(int argc, char** argv, std::size_t max);

}  // namespace zephon_fuzz

#endif  // ZEPHON_FUZZ_FUZZ_INPUT_H_
