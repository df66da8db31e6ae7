// The library functions a device script has in bounded versions: those of
// Lua's string and table libraries whose work the instruction count does not
// see, because it happens in one C call whose length the script chooses (a
// repetition count, a range, a length a __len metamethod claims, a pattern
// match's backtracking).
//
// Contract: open_bounded_library() replaces, in the state's string and table
// libraries (so also for method calls on strings):
//  - string.rep, by one that builds the result with a few large copies,
//    charged an instruction per repetition and its bytes as a copy
//    (LibraryBudget::spend_bytes): the empty string repeated
//    math.maxinteger times is past the budget at once instead of looping
//    for ever; a result past the memory limit fails with "not enough
//    memory", as Lua's;
//  - string.find, match, gmatch and gsub, by ones charged their worst case
//    before they run, in matching steps (see pattern_cost.h); a worst case
//    past the whole budget of a call is refused with an error saying so,
//    before anything is matched;
//  - table.move, charged one instruction per element; table.insert and
//    table.remove with a position, one per element they shift; table.sort,
//    n log2 n. These three refuse a table whose length comes from a __len
//    metamethod, which could claim any length.
// Otherwise each behaves exactly as Lua's: the originals do the work.
#ifndef ZEPHON_SCRIPT_LIBRARY_H_
#define ZEPHON_SCRIPT_LIBRARY_H_

#include <cstddef>

struct lua_State;

namespace zephon {

struct LibraryBudget {
  long per_call = 0;  // the instructions one call into the script may run
  // Count work against the calling script's budget; each raises the budget
  // error once it is spent.
  void (*spend)(lua_State* state, long instructions) = nullptr;
  void (*spend_bytes)(lua_State* state, std::size_t bytes) = nullptr;
};

// Replaces the functions above, each bound to a copy of budget kept in the
// Lua state. Raises a Lua error on lack of memory.
void open_bounded_library(lua_State* state, const LibraryBudget& budget);

}  // namespace zephon

#endif  // ZEPHON_SCRIPT_LIBRARY_H_
