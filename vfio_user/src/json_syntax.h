// The reason given for a syntax error in a client's capabilities text.
//
// Contract: the JSON library reports a syntax error with an error number and
// the count of bytes it had read; its English explanation is not used, so
// that another version of the library cannot change what a client is told.
// Instead the text itself is read again from where the last token the
// library accepted ended: the separator it may have taken after that, and
// the token it stopped at, classified the way a JSON scanner does (Unicode's
// well-formed UTF-8, the escapes and surrogate pairs of RFC 8259, a NUL byte
// ending the text). Checked against nlohmann-json 3.11.2 (Debian 12).
#ifndef VFIO_USER_JSON_SYNTAX_H_
#define VFIO_USER_JSON_SYNTAX_H_

#include <cstddef>
#include <string_view>

namespace vfio_user {

// What the library accepted last before the token it stopped at.
enum class JsonLast {
  kNothing,     // the text's first token is the one refused
  kOpenObject,  // `{`
  kOpenArray,   // `[`
  kKey,         // an object's key
  kValue,       // a whole value: a scalar, or a closing `}` or `]`
};

// Where the library stood: the end of the last token it accepted, what that
// token was, and whether the innermost open container is an object.
struct JsonStop {
  std::size_t after = 0;
  JsonLast last = JsonLast::kNothing;
  bool in_object = false;
};

// Returns the end of the number that starts at start: a minus sign, an
// integer part without leading zeros, then an optional fraction and
// exponent, ending at the first byte that cannot continue it; start itself
// when the text there is no number.
std::size_t json_number_end(std::string_view text, std::size_t start);

// Returns the reason for the syntax error the library reported in text after
// accepting everything up to stop.
std::string_view json_syntax_message(std::string_view text, const JsonStop& stop);

}  // namespace vfio_user

#endif  // VFIO_USER_JSON_SYNTAX_H_
