// UTF-8 well-formedness, as the program and the server both need it: the
// command line to decide whether a name can be shown, the handshake to read a
// client's text.
//
// Contract: well-formed means what Unicode says: no overlong forms, no
// surrogates, nothing above U+10FFFF. Nothing here allocates except
// replace_invalid_utf8's result.
#ifndef VFIO_USER_UTF8_H_
#define VFIO_USER_UTF8_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace vfio_user {

// Returns the number of leading bytes of text that can still begin a
// well-formed sequence (at least 1 for a non-empty text), and whether they
// are a whole sequence.
struct Utf8Prefix {
  std::size_t length;
  bool complete;
};
Utf8Prefix utf8_prefix(std::string_view text);

// Returns whether text is well-formed UTF-8.
bool is_valid_utf8(std::string_view text);

// Returns text with each maximal ill-formed subpart replaced by U+FFFD.
std::string replace_invalid_utf8(std::string_view text);

}  // namespace vfio_user

#endif  // VFIO_USER_UTF8_H_
