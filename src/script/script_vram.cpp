// The script's `vram` table: the memory functions every memory gets
// (memory_bindings.h) over the device's VRAM, and vram.enable, which only
// the loading script may call, because the region table that offers the
// VRAM to the monitor is built once the script has loaded.
#include <lua.hpp>

#include <algorithm>
#include <cstring>

#include "memory_bindings.h"
#include "script.h"
#include "script_bindings.h"
#include "vram_space.h"

namespace zephon {

namespace {

// Returns whether the VRAM is to be offered for mapping: the `mappable`
// field of the options table at stack index 1 (true when absent or when
// there are no options), or raises an error for anything else.
bool mappable_option(lua_State* state) {
  const int type = lua_type(state, 1);
  if (type == LUA_TNONE || type == LUA_TNIL) return true;
  if (type != LUA_TTABLE) return luaL_error(state, "vram.enable takes no argument or a table of options, not a %s",
                                            luaL_typename(state, 1));
  lua_pushnil(state);
  while (lua_next(state, 1) != 0) {
    // Only string keys are named; a misspelt option must not pass silently.
    if (lua_type(state, -2) != LUA_TSTRING || std::strcmp(lua_tostring(state, -2), "mappable") != 0) {
      return luaL_error(state, "vram.enable: unknown option %s", luaL_tolstring(state, -2, nullptr));
    }
    lua_pop(state, 1);
  }
  lua_getfield(state, 1, "mappable");
  const int mappable = lua_type(state, -1);
  if (mappable == LUA_TNIL) return true;
  if (mappable != LUA_TBOOLEAN) {
    return luaL_error(state, "vram.enable: mappable must be a boolean, not a %s", luaL_typename(state, -1));
  }
  return lua_toboolean(state, -1) != 0;
}

}  // namespace

void ScriptBindings::open_vram(lua_State* state) {
  open_memory_table(state, {.space = &owner(state)->device_.vram(),
                            .name = "vram",
                            .line_kind = "Vram",
                            .charge = &ScriptBindings::charge});
  lua_getglobal(state, "vram");
  lua_pushcfunction(state, &ScriptBindings::vram_enable);
  lua_setfield(state, -2, "enable");
  lua_pop(state, 1);
}

int ScriptBindings::vram_enable(lua_State* state) {
  const bool mappable = mappable_option(state);
  DeviceScript* script = owner(state);
  if (!script->loading_) return luaL_error(state, "vram.enable() can only be called while the script loads");
  // The reason is copied out so that nothing with a destructor is alive when
  // the error is raised.
  char why[256] = {};
  {
    auto enabled = script->device_.vram().enable(mappable);
    if (enabled) return 0;
    const std::size_t n = std::min(enabled.error().size(), sizeof why - 1);
    std::memcpy(why, enabled.error().data(), n);
  }
  return luaL_error(state, "vram.enable: %s", why);
}

}  // namespace zephon
