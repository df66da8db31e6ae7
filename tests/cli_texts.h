// What the command-line tests share: the program's help and error texts as
// they must appear, and helpers to look at them without their escapes.
#ifndef ZEPHON_TESTS_CLI_TEXTS_H_
#define ZEPHON_TESTS_CLI_TEXTS_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace zephon {

inline const std::string kHelp =
    "Usage: zephon <SOCKET> <ROM>\n"
    "\n"
    "Arguments:\n"
    "  <SOCKET>  UNIX socket to bind to\n"
    "  <ROM>     ROM to serve\n"
    "\n"
    "Options:\n"
    "  -h, --help  Print help\n";

// Everything an error message has after its specific lines.
inline const std::string kErrorTail =
    "\n"
    "Usage: zephon <SOCKET> <ROM>\n"
    "\n"
    "For more information, try '--help'.\n";

inline const std::string kMissingBoth =
    "error: the following required arguments were not provided:\n"
    "  <SOCKET>\n"
    "  <ROM>\n" +
    kErrorTail;

// Returns the first line of the error for an argument nothing expects.
inline std::string unexpected(std::string_view arg) {
  return "error: unexpected argument '" + std::string(arg) + "' found\n";
}

// Returns the whole error for an argument that looks like an option, with
// its tip to pass it after "--".
inline std::string pass_as_value(std::string_view shown, std::string_view arg) {
  return unexpected(shown) + "\n  tip: to pass '" + std::string(arg) + "' as a value, use '-- " + std::string(arg) +
         "'\n" + kErrorTail;
}

// Removes every "ESC [ ... m" sequence.
inline std::string strip_escapes(std::string_view text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\x1b') {
      plain += text[i];
      continue;
    }
    const size_t end = text.find('m', i);
    if (end == std::string_view::npos) return plain + "<unterminated escape>";
    i = end;
  }
  return plain;
}

// Returns whether the text holds an escape.
inline bool has_escape(std::string_view text) { return text.find('\x1b') != std::string_view::npos; }

}  // namespace zephon

#endif  // ZEPHON_TESTS_CLI_TEXTS_H_
