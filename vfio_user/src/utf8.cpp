#include "vfio_user/utf8.h"

namespace vfio_user {

Utf8Prefix utf8_prefix(std::string_view text) {
  if (text.empty()) return {0, false};
  const auto lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) return {1, true};
  // Length and allowed second byte of each well-formed sequence; the narrow
  // second-byte ranges exclude overlong forms, surrogates and values above
  // U+10FFFF.
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {1, false};
  }
  std::size_t good = 1;
  while (good < length && good < text.size()) {
    const auto next = static_cast<unsigned char>(text[good]);
    if (next < low || next > high) break;
    ++good;
    low = 0x80;
    high = 0xBF;
  }
  return {good, good == length};
}

bool is_valid_utf8(std::string_view text) {
  while (!text.empty()) {
    const Utf8Prefix prefix = utf8_prefix(text);
    if (!prefix.complete) return false;
    text.remove_prefix(prefix.length);
  }
  return true;
}

std::string replace_invalid_utf8(std::string_view text) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    // The longest prefix that could still begin a well-formed sequence is
    // replaced as one unit.
    const Utf8Prefix prefix = utf8_prefix(text);
    if (prefix.complete) {
      out.append(text.substr(0, prefix.length));
    } else {
      out += kReplacement;
    }
    text.remove_prefix(prefix.length);
  }
  return out;
}

}  // namespace vfio_user
