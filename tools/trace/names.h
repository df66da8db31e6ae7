// RegisterNames gives BAR 2 registers the names a driver's register header
// uses, read from a names file: a C header ("#define NAME 0xOFFSET", byte
// offsets) or a CSV file ("offset,name").
//
// Contract: in a header, lines that are not such a define (comments, guards,
// bit fields, decimal or computed values) are skipped and counted; in a CSV
// file, blank lines, '#' comments and a heading line are skipped and counted,
// and a line that is not OFFSET,NAME is a problem. An offset outside BAR 2 or
// not a multiple of 4, or a name that is too long or has other characters
// than letters, digits and "_.:[]-", is a problem: reported with its line
// number and skipped. Several names for one register are joined with '/' in
// the order read (a name repeated is kept once), up to a bounded length.
// Memory is bounded: the file is read up to a limit and every name is short.
#ifndef ZEPHON_TRACE_NAMES_H_
#define ZEPHON_TRACE_NAMES_H_

#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "recording/event.h"

namespace zephon_trace {

enum class NamesFormat : std::uint8_t { Header, Csv };

// The longest name taken, and the longest text of names joined for one register.
inline constexpr std::size_t kMaxName = 64;
inline constexpr std::size_t kMaxJoinedNames = 160;
// Names files larger than this are refused.
inline constexpr std::size_t kMaxNamesFile = std::size_t{64} << 20;

struct NameProblem {
  std::uint64_t line = 0;  // 1-based
  std::string text;        // what is wrong, ending in what was done
};

struct NamesCounts {
  std::uint64_t names = 0;     // names taken
  std::uint64_t skipped = 0;   // lines that hold no name
  std::uint64_t problems = 0;  // lines reported and skipped
};

class RegisterNames {
 public:
  // Returns the name (or names joined) of a register, empty when it has none.
  std::string_view name(std::uint16_t index) const {
    return names_.empty() ? std::string_view() : std::string_view(names_[index]);
  }
  // Returns the number of registers named.
  std::size_t registers() const { return registers_; }
  // Returns true when no register is named.
  bool empty() const { return registers_ == 0; }
  // Returns an empty text when the name was taken (or was already there),
  // else why not.
  std::string add(std::uint16_t index, std::string_view name);

 private:
  std::vector<std::string> names_;  // by register index; empty until the first name
  std::size_t registers_ = 0;
};

// Returns the format a names file is read in: CSV when its path ends in
// ".csv" (in any case), else a C header.
NamesFormat names_format(std::string_view path);

// Returns the counts after adding the names in text to names; each problem
// goes to on_problem as it is found.
NamesCounts parse_names(std::string_view text, NamesFormat format, RegisterNames& names,
                        const std::function<void(const NameProblem&)>& on_problem);

// Returns the names file at path read whole (up to kMaxNamesFile), or why not.
std::expected<std::string, std::string> read_names_file(const std::string& path);

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_NAMES_H_
