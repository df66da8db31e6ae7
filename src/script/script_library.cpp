#include "script_library.h"

#include <lua.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

#include "pattern_cost.h"

namespace zephon {

namespace {

// The upvalues of every bounded function.
constexpr int kOriginal = 1;  // Lua's function, which does the work
constexpr int kBudget = 2;    // the LibraryBudget

// The longest string Lua makes, as its string library bounds it.
constexpr std::size_t kMaxString =
    std::min<std::size_t>(std::numeric_limits<std::size_t>::max(), std::numeric_limits<lua_Integer>::max());

const LibraryBudget& budget_of(lua_State* state) {
  return *static_cast<const LibraryBudget*>(lua_touserdata(state, lua_upvalueindex(kBudget)));
}

// Spends a cost counted as a double, which may be past any long.
void spend(lua_State* state, double instructions) {
  const LibraryBudget& budget = budget_of(state);
  budget.spend(state, static_cast<long>(std::min(instructions, static_cast<double>(budget.per_call))));
}

// Returns what Lua's function returns for the arguments as they are.
int call_original(lua_State* state) {
  lua_pushvalue(state, lua_upvalueindex(kOriginal));
  lua_insert(state, 1);
  lua_call(state, lua_gettop(state) - 1, LUA_MULTRET);
  return lua_gettop(state);
}

// Charges a pattern function its worst case, or refuses a pattern whose
// worst case is past the budget of a whole call.
void charge_pattern(lua_State* state, const char* name, bool anchors) {
  std::size_t subject_size = 0;
  std::size_t pattern_size = 0;
  const char* subject = luaL_checklstring(state, 1, &subject_size);
  const char* pattern = luaL_checklstring(state, 2, &pattern_size);
  const double limit = static_cast<double>(budget_of(state).per_call);
  const double cost = pattern_cost({subject, subject_size}, {pattern, pattern_size}, anchors, limit);
  if (cost > limit) {
    luaL_error(state, "%s: the pattern's worst case on a subject of %I bytes is past the instruction budget of %I",
               name, static_cast<lua_Integer>(subject_size), static_cast<lua_Integer>(limit));
  }
  spend(state, cost);
}

int bounded_find(lua_State* state) {
  std::size_t subject_size = 0;
  std::size_t pattern_size = 0;
  const char* subject = luaL_checklstring(state, 1, &subject_size);
  const char* pattern = luaL_checklstring(state, 2, &pattern_size);
  // As Lua decides: a search asked to be plain, or a pattern without special
  // characters before its first NUL, is a search for bytes.
  const std::string_view until_nul(pattern, strnlen(pattern, pattern_size));
  if (lua_toboolean(state, 4) || until_nul.find_first_of("^$*+?.([%-") == std::string_view::npos) {
    const double bytes = plain_search_cost({subject, subject_size}, {pattern, pattern_size});
    budget_of(state).spend_bytes(state, static_cast<std::size_t>(std::min(bytes, 1e18)));
  } else {
    charge_pattern(state, "string.find", true);
  }
  return call_original(state);
}

int bounded_match(lua_State* state) {
  charge_pattern(state, "string.match", true);
  return call_original(state);
}

// The worst case of one pass over the subject covers every call of the
// iterator: each goes on where the last match ended.
int bounded_gmatch(lua_State* state) {
  charge_pattern(state, "string.gmatch", false);
  return call_original(state);
}

int bounded_gsub(lua_State* state) {
  charge_pattern(state, "string.gsub", true);
  return call_original(state);
}

// Lua's loop makes one copy per repetition, so the empty string repeated
// math.maxinteger times never ends; this one copies what it has made so far
// until the result is full.
int bounded_rep(lua_State* state) {
  std::size_t size = 0;
  std::size_t separator_size = 0;
  const char* text = luaL_checklstring(state, 1, &size);
  const lua_Integer count = luaL_checkinteger(state, 2);
  const char* separator = luaL_optlstring(state, 3, "", &separator_size);
  const std::size_t unit = size + separator_size;
  if (count <= 0) {
    lua_pushliteral(state, "");
    return 1;
  }
  const auto n = static_cast<std::size_t>(count);
  if (unit == 0) {
    spend(state, static_cast<double>(n));
    lua_pushliteral(state, "");
    return 1;
  }
  if (unit < size || unit > kMaxString / n) return luaL_error(state, "resulting string too large");
  const std::size_t total = n * size + (n - 1) * separator_size;
  luaL_Buffer buffer;
  char* out = luaL_buffinitsize(state, &buffer, total);
  // What Lua's loop would have done: a repetition each, and the bytes.
  spend(state, static_cast<double>(n));
  budget_of(state).spend_bytes(state, total);
  const std::size_t body = (n - 1) * unit;  // every copy of text with the separator after it
  if (body > 0) {
    std::memcpy(out, text, size);
    std::memcpy(out + size, separator, separator_size);
    for (std::size_t filled = unit; filled < body;) {
      const std::size_t more = std::min(filled, body - filled);
      std::memcpy(out + filled, out, more);
      filled += more;
    }
  }
  std::memcpy(out + body, text, size);
  luaL_pushresultsize(&buffer, total);
  return 1;
}

// Returns the length of the table at index 1, refusing one that a __len
// metamethod would give: it could claim any length, and Lua's loop would
// take it at its word.
lua_Integer length_of(lua_State* state, const char* name) {
  if (luaL_getmetafield(state, 1, "__len") != LUA_TNIL) {
    luaL_error(state, "%s: a table whose length comes from __len is not taken", name);
  }
  return static_cast<lua_Integer>(lua_rawlen(state, 1));
}

int bounded_move(lua_State* state) {
  const lua_Integer first = luaL_checkinteger(state, 2);
  const lua_Integer last = luaL_checkinteger(state, 3);
  if (last >= first) {
    spend(state, static_cast<double>(static_cast<lua_Unsigned>(last) - static_cast<lua_Unsigned>(first)) + 1);
  }
  return call_original(state);
}

// Only insertion at a position shifts elements, one by one.
int bounded_insert(lua_State* state) {
  if (lua_gettop(state) == 3 && lua_type(state, 1) == LUA_TTABLE) {
    const lua_Integer size = length_of(state, "table.insert");
    const lua_Integer position = luaL_checkinteger(state, 2);
    if (position <= size) spend(state, static_cast<double>(size) - static_cast<double>(position) + 1);
  }
  return call_original(state);
}

int bounded_remove(lua_State* state) {
  if (lua_gettop(state) >= 2 && lua_type(state, 1) == LUA_TTABLE) {
    const lua_Integer size = length_of(state, "table.remove");
    const lua_Integer position = luaL_checkinteger(state, 2);
    if (position < size) spend(state, static_cast<double>(size) - static_cast<double>(position));
  }
  return call_original(state);
}

int bounded_sort(lua_State* state) {
  if (lua_type(state, 1) == LUA_TTABLE) {
    const auto size = static_cast<double>(length_of(state, "table.sort"));
    if (size > 1) spend(state, size * std::ceil(std::log2(size)));
  }
  return call_original(state);
}

// Makes library.name the bounded function, Lua's kept as its upvalue.
void replace(lua_State* state, const char* library, const char* name, lua_CFunction bounded, int budget) {
  lua_getglobal(state, library);
  lua_getfield(state, -1, name);
  lua_pushvalue(state, budget);
  lua_pushcclosure(state, bounded, 2);
  lua_setfield(state, -2, name);
  lua_pop(state, 1);
}

}  // namespace

void open_bounded_library(lua_State* state, const LibraryBudget& budget) {
  auto* copy = static_cast<LibraryBudget*>(lua_newuserdatauv(state, sizeof(LibraryBudget), 0));
  *copy = budget;
  const int at = lua_gettop(state);
  replace(state, LUA_STRLIBNAME, "rep", &bounded_rep, at);
  replace(state, LUA_STRLIBNAME, "find", &bounded_find, at);
  replace(state, LUA_STRLIBNAME, "match", &bounded_match, at);
  replace(state, LUA_STRLIBNAME, "gmatch", &bounded_gmatch, at);
  replace(state, LUA_STRLIBNAME, "gsub", &bounded_gsub, at);
  replace(state, LUA_TABLIBNAME, "move", &bounded_move, at);
  replace(state, LUA_TABLIBNAME, "insert", &bounded_insert, at);
  replace(state, LUA_TABLIBNAME, "remove", &bounded_remove, at);
  replace(state, LUA_TABLIBNAME, "sort", &bounded_sort, at);
  lua_pop(state, 1);
}

}  // namespace zephon
