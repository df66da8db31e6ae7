// Matching the fields of a log line at fixed places: literals, hex and
// decimal numbers, each telling a field that is wrong apart from a line that
// ends inside it (cut short), for the readers of both log formats.
//
// Contract: each function reads at s[p], advances p past what it matched on
// success and leaves p alone otherwise; nothing is allocated.
#ifndef RECORDING_FIELD_MATCH_H_
#define RECORDING_FIELD_MATCH_H_

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace zephon_trace::fields {

enum class Match : std::uint8_t { Ok, Short, Bad };

inline constexpr std::string_view kCut = "line ends early (cut short?)";

// Returns the value of every byte as a hex digit, -1 for those that are not.
constexpr std::array<signed char, 256> make_hex_table() {
  std::array<signed char, 256> t{};
  for (auto& v : t) v = -1;
  for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<signed char>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<signed char>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<signed char>(c - 'A' + 10);
  return t;
}
inline constexpr auto kHex = make_hex_table();

// Returns the value of a hex digit, or -1.
inline int hex_digit(char c) { return kHex[static_cast<unsigned char>(c)]; }

// Returns whether c is a decimal digit.
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Returns whether the literal is at s[p]; Short when s ends inside it.
inline Match literal(std::string_view s, std::size_t& p, std::string_view lit) {
  const std::size_t left = s.size() - p;
  if (left < lit.size()) return lit.starts_with(s.substr(p)) ? Match::Short : Match::Bad;
  if (std::memcmp(s.data() + p, lit.data(), lit.size()) != 0) return Match::Bad;
  p += lit.size();
  return Match::Ok;
}

// Returns whether exactly n (at most 16) hex digits are at s[p], their value in out.
inline Match hex_fixed(std::string_view s, std::size_t& p, std::size_t n, std::uint64_t& out) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (p + i >= s.size()) return Match::Short;
    const int d = hex_digit(s[p + i]);
    if (d < 0) return Match::Bad;
    v = (v << 4) | static_cast<std::uint64_t>(d);
  }
  p += n;
  out = v;
  return Match::Ok;
}

// Returns whether 1 to max (at most 16) hex digits are at s[p], their value in out.
inline Match hex_variable(std::string_view s, std::size_t& p, std::size_t max, std::uint64_t& out) {
  std::uint64_t v = 0;
  std::size_t n = 0;
  while (p + n < s.size() && hex_digit(s[p + n]) >= 0) {
    if (++n > max) return Match::Bad;
    v = (v << 4) | static_cast<std::uint64_t>(hex_digit(s[p + n - 1]));
  }
  if (n == 0) return p >= s.size() ? Match::Short : Match::Bad;
  p += n;
  out = v;
  return Match::Ok;
}

// Returns whether 1 to max (at most 19) decimal digits are at s[p], their value in out.
inline Match decimal(std::string_view s, std::size_t& p, std::size_t max, std::uint64_t& out) {
  std::uint64_t v = 0;
  std::size_t n = 0;
  while (p + n < s.size() && is_digit(s[p + n])) {
    if (++n > max) return Match::Bad;
    v = v * 10 + static_cast<std::uint64_t>(s[p + n - 1] - '0');
  }
  if (n == 0) return p >= s.size() ? Match::Short : Match::Bad;
  p += n;
  out = v;
  return Match::Ok;
}

}  // namespace zephon_trace::fields

#endif  // RECORDING_FIELD_MATCH_H_
