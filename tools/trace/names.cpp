#include "names.h"

#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "file.h"

namespace zephon_trace {

namespace {

constexpr std::uint64_t kBarSize = kRegisterCount * 4;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

bool is_identifier_start(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool is_identifier(char c) { return is_identifier_start(c) || (c >= '0' && c <= '9'); }
bool is_name_char(char c) {
  return is_identifier(c) || c == '.' || c == ':' || c == '[' || c == ']' || c == '-';
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A number read from a names file; too_big when it does not fit 64 bits.
struct Number {
  std::uint64_t value = 0;
  bool too_big = false;
};

// Reads "0x" and hex digits, or (when decimal is allowed) decimal digits, at
// the start of s, advancing it; nullopt when s does not start with a number.
std::optional<Number> read_number(std::string_view& s, bool decimal_too) {
  Number n;
  std::size_t p = 0;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && hex_digit(s[2]) >= 0) {
    for (p = 2; p < s.size() && hex_digit(s[p]) >= 0; ++p) {
      if (n.value >> 60 != 0) n.too_big = true;
      n.value = (n.value << 4) | static_cast<std::uint64_t>(hex_digit(s[p]));
    }
  } else if (decimal_too && !s.empty() && s[0] >= '0' && s[0] <= '9') {
    for (; p < s.size() && s[p] >= '0' && s[p] <= '9'; ++p) {
      if (n.value > (UINT64_MAX - 9) / 10) n.too_big = true;
      n.value = n.value * 10 + static_cast<std::uint64_t>(s[p] - '0');
    }
  } else {
    return std::nullopt;
  }
  s.remove_prefix(p);
  return n;
}

// Returns the text of the number as the file wrote it, shortened.
std::string shown(std::string_view text) { return std::string(text.substr(0, 24)) + (text.size() > 24 ? "..." : ""); }

// Returns why an offset names no register, or empty when it does.
std::string offset_problem(const Number& n, std::string_view text) {
  if (n.too_big || n.value >= kBarSize) {
    return fmt::format("offset {} is outside BAR 2 (0x0 to {:#x}); skipped", shown(text), kBarSize - 4);
  }
  if (n.value % 4 != 0) return fmt::format("offset {} is not a multiple of 4; skipped", shown(text));
  return {};
}

// Returns why a name cannot be taken, or empty when it can.
std::string name_problem(std::string_view name) {
  if (name.empty()) return "no name after the offset; skipped";
  if (name.size() > kMaxName) return fmt::format("name longer than {} characters; skipped", kMaxName);
  for (char c : name) {
    if (!is_name_char(c)) return "name has characters other than letters, digits and _.:[]-; skipped";
  }
  return {};
}

// The parts of one names line: its offset (as number and as written) and name.
struct Entry {
  Number offset;
  std::string_view offset_text;
  std::string_view name;
};

// Returns the entry of a "#define NAME 0xOFFSET" line, or nullopt for any
// other line. A comment may follow; the value may carry an integer suffix.
std::optional<Entry> header_entry(std::string_view line) {
  std::string_view s = trim(line);
  if (!s.starts_with('#')) return std::nullopt;
  s = trim(s.substr(1));
  if (!s.starts_with("define") || s.size() == 6 || !is_space(s[6])) return std::nullopt;
  s = trim(s.substr(6));
  std::size_t n = 0;
  if (s.empty() || !is_identifier_start(s[0])) return std::nullopt;
  while (n < s.size() && is_identifier(s[n])) ++n;
  Entry entry;
  entry.name = s.substr(0, n);
  if (n == s.size() || !is_space(s[n])) return std::nullopt;  // a function-like macro, or no value
  s = trim(s.substr(n));
  const bool parenthesised = s.starts_with('(');
  if (parenthesised) s = trim(s.substr(1));
  std::string_view value = s;
  auto number = read_number(s, false);
  if (!number) return std::nullopt;
  entry.offset = *number;
  entry.offset_text = value.substr(0, value.size() - s.size());
  while (!s.empty() && (s[0] == 'u' || s[0] == 'U' || s[0] == 'l' || s[0] == 'L')) s.remove_prefix(1);
  s = trim(s);
  if (parenthesised) {
    if (!s.starts_with(')')) return std::nullopt;
    s = trim(s.substr(1));
  }
  if (!s.empty() && !s.starts_with("/*") && !s.starts_with("//")) return std::nullopt;  // an expression
  return entry;
}

// Returns the entry of an "offset,name" line, nullopt when the line holds no
// entry, or a problem.
std::expected<std::optional<Entry>, std::string> csv_entry(std::string_view line, bool first_content) {
  std::string_view s = trim(line);
  if (s.empty() || s.starts_with('#')) return std::nullopt;
  const std::size_t comma = s.find(',');
  std::string_view field = trim(s.substr(0, comma));
  std::string_view rest = field;
  auto number = read_number(rest, true);
  if (!number || !rest.empty() || comma == std::string_view::npos) {
    if (first_content) return std::nullopt;  // a heading such as "offset,name"
    return std::unexpected("not OFFSET,NAME; skipped");
  }
  std::string_view name = s.substr(comma + 1);
  name = trim(name.substr(0, name.find(',')));
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = trim(name.substr(1, name.size() - 2));
  return Entry{*number, field, name};
}

}  // namespace

std::string RegisterNames::add(std::uint16_t index, std::string_view name) {
  if (names_.empty()) names_.resize(kRegisterCount);
  std::string& joined = names_[index];
  if (joined.empty()) {
    joined = name;
    ++registers_;
    return {};
  }
  for (std::string_view have = joined;;) {
    const std::size_t slash = have.find('/');
    if (have.substr(0, slash) == name) return {};
    if (slash == std::string_view::npos) break;
    have.remove_prefix(slash + 1);
  }
  if (joined.size() + 1 + name.size() > kMaxJoinedNames) {
    return fmt::format("too many names for offset {:#x} (already {}); {} skipped", byte_offset(index), joined, name);
  }
  joined += '/';
  joined += name;
  return {};
}

NamesFormat names_format(std::string_view path) {
  if (path.size() >= 4) {
    std::string_view ext = path.substr(path.size() - 4);
    if (ext[0] == '.' && (ext[1] | 0x20) == 'c' && (ext[2] | 0x20) == 's' && (ext[3] | 0x20) == 'v') {
      return NamesFormat::Csv;
    }
  }
  return NamesFormat::Header;
}

NamesCounts parse_names(std::string_view text, NamesFormat format, RegisterNames& names,
                        const std::function<void(const NameProblem&)>& on_problem) {
  NamesCounts counts;
  std::uint64_t number = 0;
  bool seen_content = false;
  auto problem = [&](std::string what) {
    ++counts.problems;
    if (on_problem) on_problem(NameProblem{number, std::move(what)});
  };
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    const std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    ++number;
    std::optional<Entry> entry;
    if (format == NamesFormat::Header) {
      entry = header_entry(line);
    } else {
      auto parsed = csv_entry(line, !seen_content);
      if (!trim(line).empty() && !trim(line).starts_with('#')) seen_content = true;
      if (!parsed) {
        problem(parsed.error());
        continue;
      }
      entry = *parsed;
    }
    if (!entry) {
      ++counts.skipped;
      continue;
    }
    if (auto why = offset_problem(entry->offset, entry->offset_text); !why.empty()) {
      problem(std::move(why));
      continue;
    }
    if (auto why = name_problem(entry->name); !why.empty()) {
      problem(std::move(why));
      continue;
    }
    if (auto why = names.add(static_cast<std::uint16_t>(entry->offset.value / 4), entry->name); !why.empty()) {
      problem(std::move(why));
      continue;
    }
    ++counts.names;
  }
  return counts;
}

std::expected<std::string, std::string> read_names_file(const std::string& path) {
  auto file = open_read(path);
  if (!file) return std::unexpected(file.error());
  std::string text;
  char block[65536];
  for (;;) {
    ssize_t n = ::read(file->get(), block, sizeof block);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(fmt::format("cannot read: {}", std::strerror(errno)));
    }
    if (n == 0) return text;
    if (text.size() + static_cast<std::size_t>(n) > kMaxNamesFile) {
      return std::unexpected(fmt::format("larger than {} MiB, too large for a names file", kMaxNamesFile >> 20));
    }
    text.append(block, static_cast<std::size_t>(n));
  }
}

}  // namespace zephon_trace
