// An upper bound of the work one of Lua's pattern functions (find, match,
// gmatch, gsub) does on a subject, in matching steps, found from the pattern
// and the subject before any matching: Lua's matcher runs in one C call and
// backtracks, so its work can grow as a power of the subject's length, out
// of sight of the instruction count.
//
// Contract: the bound is the starting positions tried (1 when a leading '^'
// anchors, else the subject's length + 1), times, for each repetition item
// (*, +, -), one more than the longest run of subject bytes its character
// class matches, times 2 per optional item (?), times the subject's length + 1
// per balance (%b) or back-reference (%1 to %9), times the pattern's length
// + 1; finding those runs is counted too, a byte per step. Lua's matcher can
// take no more branches than that. A malformed pattern gets the bound of
// what comes before the fault, where Lua stops with an error. Never reads
// past either view; allocates nothing.
#ifndef ZEPHON_PATTERN_COST_H_
#define ZEPHON_PATTERN_COST_H_

#include <string_view>

namespace zephon {

// Returns the bound for pattern on subject; anchors says whether a leading
// '^' anchors (find, match, gsub) or is a plain character (gmatch). Once the
// bound is known to pass limit, what is returned is only known to pass it.
double pattern_cost(std::string_view subject, std::string_view pattern, bool anchors, double limit);

// Returns the bound of a search for pattern as plain text, in bytes compared.
double plain_search_cost(std::string_view subject, std::string_view pattern);

}  // namespace zephon

#endif  // ZEPHON_PATTERN_COST_H_
