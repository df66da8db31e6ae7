#include "pattern_cost.h"

#include <cctype>
#include <cstddef>

namespace zephon {

namespace {

constexpr std::size_t kMalformed = std::string_view::npos;

unsigned char byte(char c) { return static_cast<unsigned char>(c); }

// Returns whether c is in the class named by letter (the one after '%'), as
// Lua's matcher decides it; any other letter stands for itself.
bool in_class(unsigned char c, unsigned char letter) {
  bool in = false;
  switch (std::tolower(letter)) {
    case 'a': in = std::isalpha(c) != 0; break;
    case 'c': in = std::iscntrl(c) != 0; break;
    case 'd': in = std::isdigit(c) != 0; break;
    case 'g': in = std::isgraph(c) != 0; break;
    case 'l': in = std::islower(c) != 0; break;
    case 'p': in = std::ispunct(c) != 0; break;
    case 's': in = std::isspace(c) != 0; break;
    case 'u': in = std::isupper(c) != 0; break;
    case 'w': in = std::isalnum(c) != 0; break;
    case 'x': in = std::isxdigit(c) != 0; break;
    default: return letter == c;
  }
  return std::isupper(letter) != 0 ? !in : in;
}

// Returns whether c is in the set that opens at p[open] ('[') and closes at
// p[close] (']'), as Lua's matcher decides it.
bool in_set(unsigned char c, std::string_view p, std::size_t open, std::size_t close) {
  bool found = true;
  std::size_t i = open;
  if (p[i + 1] == '^') {
    found = false;
    ++i;
  }
  while (++i < close) {
    if (p[i] == '%') {
      ++i;
      if (in_class(c, byte(p[i]))) return found;
    } else if (p[i + 1] == '-' && i + 2 < close) {
      i += 2;
      if (byte(p[i - 2]) <= c && c <= byte(p[i])) return found;
    } else if (byte(p[i]) == c) {
      return found;
    }
  }
  return !found;
}

// Returns the end of the single-character class that starts at p[i], as
// Lua's matcher finds it, or kMalformed.
std::size_t class_end(std::string_view p, std::size_t i) {
  const char c = p[i++];
  if (c == '%') return i < p.size() ? i + 1 : kMalformed;
  if (c != '[') return i;
  if (i < p.size() && p[i] == '^') ++i;
  do {
    if (i >= p.size()) return kMalformed;
    if (p[i++] == '%' && i < p.size()) ++i;
  } while (i >= p.size() || p[i] != ']');
  return i + 1;
}

// Returns the longest run of subject bytes that the class p[begin, end)
// matches.
std::size_t longest_run(std::string_view subject, std::string_view p, std::size_t begin, std::size_t end) {
  std::size_t longest = 0;
  std::size_t run = 0;
  for (char c : subject) {
    bool in = false;
    switch (p[begin]) {
      case '%': in = in_class(byte(c), byte(p[begin + 1])); break;
      case '[': in = in_set(byte(c), p, begin, end - 1); break;
      default: in = p[begin] == c; break;
    }
    run = in ? run + 1 : 0;
    if (run > longest) longest = run;
  }
  return longest;
}

}  // namespace

double pattern_cost(std::string_view subject, std::string_view pattern, bool anchors, double limit) {
  const double positions = static_cast<double>(subject.size()) + 1;
  std::size_t i = 0;
  double starts = positions;
  if (anchors && !pattern.empty() && pattern[0] == '^') {
    starts = 1;
    i = 1;
  }
  double cost = starts * (static_cast<double>(pattern.size()) + 1);
  double scanned = 0;  // subject bytes looked at to find runs
  while (i < pattern.size() && cost + scanned <= limit) {
    const char c = pattern[i];
    if (c == '(' || c == ')') {
      ++i;
      continue;
    }
    if (c == '$' && i + 1 == pattern.size()) break;
    if (c == '%' && i + 1 < pattern.size()) {
      const char letter = pattern[i + 1];
      if (letter == 'b' || (letter >= '0' && letter <= '9')) {
        // A balance scans, and a back-reference compares, up to the rest
        // of the subject.
        cost *= positions;
        i += letter == 'b' ? 4 : 2;
        continue;
      }
      if (letter == 'f') {
        i += 2;
        if (i >= pattern.size() || pattern[i] != '[') break;
        i = class_end(pattern, i);
        if (i == kMalformed) break;
        continue;
      }
    }
    const std::size_t end = class_end(pattern, i);
    if (end == kMalformed) break;
    const char suffix = end < pattern.size() ? pattern[end] : '\0';
    if (suffix == '?') {
      cost *= 2;
      i = end + 1;
    } else if (suffix == '*' || suffix == '+' || suffix == '-') {
      std::size_t run = subject.size();
      if (c != '.') {
        scanned += static_cast<double>(subject.size());
        if (cost + scanned > limit) break;
        run = longest_run(subject, pattern, i, end);
      }
      cost *= static_cast<double>(run) + 1;
      i = end + 1;
    } else {
      i = end;
    }
  }
  return cost + scanned;
}

double plain_search_cost(std::string_view subject, std::string_view pattern) {
  return (static_cast<double>(subject.size()) + 1) * (static_cast<double>(pattern.size()) + 1);
}

}  // namespace zephon
