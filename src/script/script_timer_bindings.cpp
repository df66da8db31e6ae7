// ScriptBindings' timer functions: after(), every() and the handles they
// return, whose functions live in a registry table by timer id while the
// queue (ScriptTimers) lives in the DeviceScript.
#include <lua.hpp>

#include <chrono>
#include <cstdint>

#include "script.h"
#include "script_bindings.h"

namespace zephon {

namespace {

// The longest delay or period a timer takes, in seconds: long enough for
// any device, short enough to stay far from the clock's range.
constexpr double kMaxTimerSeconds = 1e6;

// The registry key of the table of timer functions, by timer id.
const char kTimerFunctions = 0;
// The name of the metatable of timer handles.
constexpr const char* kTimerHandle = "zephon.timer";

int do_nothing(lua_State*) { return 0; }

}  // namespace

void ScriptBindings::open_timers(lua_State* state) {
  lua_newtable(state);
  lua_rawsetp(state, LUA_REGISTRYINDEX, &kTimerFunctions);
  lua_register(state, "after", &ScriptBindings::after);
  lua_register(state, "every", &ScriptBindings::every);
  luaL_newmetatable(state, kTimerHandle);
  lua_newtable(state);
  lua_pushcfunction(state, &ScriptBindings::cancel_timer);
  lua_setfield(state, -2, "cancel");
  lua_setfield(state, -2, "__index");
  lua_pushboolean(state, 0);
  lua_setfield(state, -2, "__metatable");
  lua_pop(state, 1);
}

void ScriptBindings::push_timer_function(lua_State* state, std::uint64_t id, bool last) {
  lua_rawgetp(state, LUA_REGISTRYINDEX, &kTimerFunctions);
  lua_rawgeti(state, -1, static_cast<lua_Integer>(id));
  if (lua_type(state, -1) != LUA_TFUNCTION) {
    lua_pop(state, 1);
    lua_pushcfunction(state, &do_nothing);
  }
  if (last) {
    // Clearing a field that exists allocates nothing, so this cannot raise.
    lua_pushnil(state);
    lua_rawseti(state, -3, static_cast<lua_Integer>(id));
  }
  lua_remove(state, -2);
}

void ScriptBindings::forget_timer_functions(lua_State* state) {
  lua_rawgetp(state, LUA_REGISTRYINDEX, &kTimerFunctions);
  lua_pushnil(state);
  while (lua_next(state, -2) != 0) {
    lua_pop(state, 1);
    lua_pushvalue(state, -1);
    lua_pushnil(state);
    lua_rawset(state, -4);
  }
  lua_pop(state, 1);
}

// after(seconds, fn) and every(seconds, fn): the timer is in the queue only
// once its function is stored, and a failure after that (no memory for the
// handle) leaves a timer that runs, without a handle to cancel it.
int ScriptBindings::add_timer(lua_State* state, bool periodic) {
  const char* name = periodic ? "every" : "after";
  const double seconds = lua_tonumber(state, 1);
  if (lua_type(state, 1) != LUA_TNUMBER || !(seconds >= 0 && seconds <= kMaxTimerSeconds)) {
    luaL_error(state, "%s takes a delay of 0 to %d seconds, not %s", name, static_cast<int>(kMaxTimerSeconds),
               luaL_tolstring(state, 1, nullptr));
  }
  if (lua_type(state, 2) != LUA_TFUNCTION) {
    luaL_error(state, "%s takes a function to call, not %s", name, luaL_typename(state, 2));
  }
  DeviceScript* script = owner(state);
  if (script->timers_.pending() >= ScriptTimers::kMaxPending) {
    luaL_error(state, "%s: %d timers are pending already", name, static_cast<int>(ScriptTimers::kMaxPending));
  }
  const std::uint64_t id = script->timers_.next_id();
  lua_rawgetp(state, LUA_REGISTRYINDEX, &kTimerFunctions);
  lua_pushvalue(state, 2);
  lua_rawseti(state, -2, static_cast<lua_Integer>(id));
  const auto delay = std::chrono::duration_cast<ScriptTimers::Clock::duration>(std::chrono::duration<double>(seconds));
  script->timers_.add(ScriptTimers::Clock::now(), delay, periodic ? delay : ScriptTimers::Clock::duration::zero());
  auto* handle = static_cast<std::uint64_t*>(lua_newuserdatauv(state, sizeof(std::uint64_t), 0));
  *handle = id;
  luaL_setmetatable(state, kTimerHandle);
  return 1;
}

int ScriptBindings::after(lua_State* state) { return add_timer(state, false); }

int ScriptBindings::every(lua_State* state) { return add_timer(state, true); }

int ScriptBindings::cancel_timer(lua_State* state) {
  const std::uint64_t id = *static_cast<std::uint64_t*>(luaL_checkudata(state, 1, kTimerHandle));
  const bool pending = owner(state)->timers_.cancel(id);
  if (pending) {
    lua_rawgetp(state, LUA_REGISTRYINDEX, &kTimerFunctions);
    lua_pushnil(state);
    lua_rawseti(state, -2, static_cast<lua_Integer>(id));
  }
  lua_pushboolean(state, pending);
  return 1;
}

}  // namespace zephon
