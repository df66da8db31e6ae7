// The command line of zephon: two required positional paths, SOCKET (the UNIX
// socket to create) then ROM (the option ROM image to serve), and the help
// flag -h/--help. There are no other options, no version flag and no
// subcommands.
//
// Contract: parse_cli() is pure. Given the process arguments (program name
// first) it returns either both paths, taken unchanged as raw bytes (any bytes
// but NUL, valid UTF-8 or not; only an empty path is refused), or the exit the
// command line calls for: status 0 with the help text for standard output, or
// status 2 with an error message for standard error. Arguments are walked left
// to right; a help flag ends the walk as soon as it is reached, and so does
// the first unknown option, surplus positional or empty path. Missing paths
// are reported once the walk is over, all in one message. Terminal escapes
// appear in a text only when its stream's CliStyle flag is set.
//
// parse_command_line() is the process-facing wrapper: it decides the styling
// from the real streams and the environment, and on an exit request writes
// the text and ends the process itself.
#ifndef ZEPHON_CLI_H_
#define ZEPHON_CLI_H_

#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace zephon {

// The two paths of a successful parse, both non-empty.
struct Cli {
  std::string socket;  // path of the UNIX socket to create
  std::string rom;     // path of the option ROM image file
};

// Which output streams may carry terminal escapes.
struct CliStyle {
  bool out = false;  // standard output (help)
  bool err = false;  // standard error (errors)
};

// A request to end the process: write `out` to standard output and `err` to
// standard error, then exit with `status`. One of the two texts is empty.
struct CliExit {
  int status = 0;
  std::string out;
  std::string err;
};

// What a parse produced: the paths, or the way the process must end.
using CliOutcome = std::variant<Cli, CliExit>;

// Returns the paths named by `args` (args[0] is the invoked program name and
// may be absent), or the exit that the arguments call for.
CliOutcome parse_cli(std::span<const std::string_view> args, const CliStyle& style);

// Returns the name shown in usage lines for the invoked program name: its
// final path component when that is valid UTF-8, otherwise "zephon".
std::string usage_name(std::string_view program);

// Returns the styling for streams with these terminal states, given the value
// of NO_COLOR (nullptr when unset); a non-empty NO_COLOR turns styling off.
CliStyle cli_style(bool out_is_terminal, bool err_is_terminal, const char* no_color);

// Returns the Jaro-Winkler similarity of two byte strings, from 0 (nothing in
// common) to 1 (equal); above 0.7 an unknown option is offered '--help'.
double jaro_winkler(std::string_view a, std::string_view b);

// Returns the paths given to the process; on a help request or an error it
// writes the text to the proper stream and exits with its status instead.
Cli parse_command_line(int argc, char** argv);

}  // namespace zephon

#endif  // ZEPHON_CLI_H_
