#include "json_syntax.h"

#include "vfio_user/utf8.h"

namespace vfio_user {

namespace {

// What the parser expected when the refused token came.
enum class Context { kValue, kObjectKey, kObjectSeparator, kObject, kArray };

// The token the library stopped at: either whole (so it came where it was
// not allowed) or the way it failed to be one.
enum class Token {
  kEnd,
  kWhole,
  kUnterminatedString,
  kControlInString,
  kIllFormedUtf8,
  kLoneSurrogate,
  kBadEscape,
  kBadNumber,
  kBadLiteral,
};

// Returns the byte at index, or -1 past the end.
int at(std::string_view text, std::size_t index) {
  return index < text.size() ? static_cast<unsigned char>(text[index]) : -1;
}

bool is_digit(int c) { return c >= '0' && c <= '9'; }

std::size_t skip_whitespace(std::string_view text, std::size_t index) {
  while (true) {
    const int c = at(text, index);
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return index;
    ++index;
  }
}

// Returns the value of the four hex digits at index, or -1.
int hex4(std::string_view text, std::size_t index) {
  int value = 0;
  for (std::size_t i = index; i < index + 4; ++i) {
    const int c = at(text, i);
    int digit = -1;
    if (is_digit(c)) digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

// Returns what the `\u` escape whose hex digits start at index amounts to,
// with index moved past it (and past the low half of a pair).
Token unicode_escape(std::string_view text, std::size_t& index) {
  const int high = hex4(text, index);
  if (high < 0) return Token::kBadEscape;
  index += 4;
  if (high >= 0xDC00 && high <= 0xDFFF) return Token::kLoneSurrogate;
  if (high < 0xD800 || high > 0xDBFF) return Token::kWhole;
  if (at(text, index) != '\\' || at(text, index + 1) != 'u') return Token::kLoneSurrogate;
  index += 2;
  const int low = hex4(text, index);
  if (low < 0) return Token::kBadEscape;
  index += 4;
  return low >= 0xDC00 && low <= 0xDFFF ? Token::kWhole : Token::kLoneSurrogate;
}

// Returns how the string whose opening quote is at start ends.
Token string_token(std::string_view text, std::size_t start) {
  std::size_t i = start + 1;
  while (true) {
    const int c = at(text, i++);
    if (c < 0) return Token::kUnterminatedString;
    if (c == '"') return Token::kWhole;
    if (c == '\\') {
      const int escaped = at(text, i++);
      if (escaped == 'u') {
        const Token t = unicode_escape(text, i);
        if (t != Token::kWhole) return t;
        continue;
      }
      if (escaped == '"' || escaped == '\\' || escaped == '/' || escaped == 'b' || escaped == 'f' ||
          escaped == 'n' || escaped == 'r' || escaped == 't') {
        continue;
      }
      return Token::kBadEscape;
    }
    if (c < 0x20) return Token::kControlInString;
    if (c < 0x80) continue;
    const Utf8Prefix sequence = utf8_prefix(text.substr(i - 1));
    if (!sequence.complete) return Token::kIllFormedUtf8;
    i += sequence.length - 1;
  }
}

}  // namespace

std::size_t json_number_end(std::string_view text, std::size_t start) {
  std::size_t i = start;
  auto digits = [&] {
    if (!is_digit(at(text, i))) return false;
    while (is_digit(at(text, i))) ++i;
    return true;
  };
  if (at(text, i) == '-') ++i;
  if (at(text, i) == '0') {
    ++i;
  } else if (!digits()) {
    return start;
  }
  if (at(text, i) == '.') {
    ++i;
    if (!digits()) return start;
  }
  if (at(text, i) == 'e' || at(text, i) == 'E') {
    ++i;
    if (at(text, i) == '+' || at(text, i) == '-') ++i;
    if (!digits()) return start;
  }
  return i;
}

namespace {

Token token_at(std::string_view text, std::size_t start) {
  const int c = at(text, start);
  switch (c) {
    case -1:
    case '\0': return Token::kEnd;
    case '{':
    case '}':
    case '[':
    case ']':
    case ',':
    case ':': return Token::kWhole;
    case '"': return string_token(text, start);
    case 't': return text.substr(start).starts_with("true") ? Token::kWhole : Token::kBadLiteral;
    case 'f': return text.substr(start).starts_with("false") ? Token::kWhole : Token::kBadLiteral;
    case 'n': return text.substr(start).starts_with("null") ? Token::kWhole : Token::kBadLiteral;
    default:
      if (c != '-' && !is_digit(c)) return Token::kBadLiteral;
      return json_number_end(text, start) == start ? Token::kBadNumber : Token::kWhole;
  }
}

std::string_view end_message(Context context) {
  switch (context) {
    case Context::kObjectKey:
    case Context::kObjectSeparator:
    case Context::kObject: return "EOF while parsing an object";
    case Context::kArray: return "EOF while parsing a list";
    case Context::kValue: break;
  }
  return "EOF while parsing a value";
}

std::string_view misplaced_message(Context context) {
  switch (context) {
    case Context::kObjectKey: return "key must be a string";
    case Context::kObjectSeparator: return "expected `:`";
    case Context::kObject: return "expected `,` or `}`";
    case Context::kArray: return "expected `,` or `]`";
    case Context::kValue: break;
  }
  return "expected value";
}

}  // namespace

std::string_view json_syntax_message(std::string_view text, const JsonStop& stop) {
  std::size_t start = skip_whitespace(text, stop.after);
  // The separator after a key or a member is taken without an event of its
  // own, so whether the library took it shows only in the text.
  Context context = Context::kValue;
  switch (stop.last) {
    case JsonLast::kNothing:
    case JsonLast::kOpenArray: break;
    case JsonLast::kOpenObject: context = Context::kObjectKey; break;
    case JsonLast::kKey:
      if (at(text, start) == ':') {
        start = skip_whitespace(text, start + 1);
      } else {
        context = Context::kObjectSeparator;
      }
      break;
    case JsonLast::kValue:
      if (at(text, start) == ',') {
        start = skip_whitespace(text, start + 1);
        context = stop.in_object ? Context::kObjectKey : Context::kValue;
      } else {
        context = stop.in_object ? Context::kObject : Context::kArray;
      }
      break;
  }
  switch (token_at(text, start)) {
    case Token::kEnd: return end_message(context);
    case Token::kWhole: return misplaced_message(context);
    case Token::kUnterminatedString: return "EOF while parsing a string";
    case Token::kControlInString: return "control character (\\u0000-\\u001F) found while parsing a string";
    case Token::kIllFormedUtf8: return "invalid unicode code point";
    case Token::kLoneSurrogate: return "lone surrogate in hex escape";
    case Token::kBadEscape: return "invalid escape";
    case Token::kBadNumber:
    case Token::kBadLiteral: break;
  }
  if (context == Context::kObjectKey) return "key must be a string";
  return token_at(text, start) == Token::kBadNumber ? "invalid number" : "expected value";
}

}  // namespace vfio_user
