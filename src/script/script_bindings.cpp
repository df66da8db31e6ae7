#include "script_bindings.h"

#include <lua.hpp>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <tuple>

#include "log.h"
#include "memory_bindings.h"
#include "script.h"
#include "script_include.h"
#include "script_interrupts.h"
#include "script_library.h"

namespace zephon {

namespace {

// The longest message one log() call writes; the rest is cut.
constexpr std::size_t kMaxLogText = 4096;

// One past the highest interrupt vector irq() takes: the most MSI-X allows.
constexpr lua_Integer kMaxIrqVector = 2048;

// Returns the register index at stack index, or raises an error.
std::uint32_t check_register(lua_State* state, int index) {
  int is_integer = 0;
  const lua_Integer reg = lua_tointegerx(state, index, &is_integer);
  if (lua_type(state, index) != LUA_TNUMBER || is_integer == 0 || reg < 0 ||
      reg >= static_cast<lua_Integer>(kNumRegs)) {
    luaL_error(state, "register index must be an integer from 0 to 65535, not %s", luaL_tolstring(state, index, nullptr));
  }
  return static_cast<std::uint32_t>(reg);
}

// Returns the register value at stack index (an integer, or a float with an
// integral value, cut to 32 bits), or raises an error.
std::uint32_t check_value(lua_State* state, int index) {
  int is_integer = 0;
  const lua_Integer value = lua_tointegerx(state, index, &is_integer);
  if (lua_type(state, index) != LUA_TNUMBER || is_integer == 0) {
    luaL_error(state, "register value must be an integer, not %s", luaL_tolstring(state, index, nullptr));
  }
  return static_cast<std::uint32_t>(value);
}

// The message handler of every call into a hook: the error with the
// traceback of where it was raised.
int add_traceback(lua_State* state) {
  const char* message = lua_tostring(state, 1);
  if (message == nullptr) message = lua_pushfstring(state, "(error object is a %s value)", luaL_typename(state, 1));
  luaL_traceback(state, state, message, 1);
  return 1;
}

// Makes the global `name` an empty table whose reads and writes go to the
// two functions.
void make_proxy(lua_State* state, const char* name, lua_CFunction index, lua_CFunction newindex) {
  lua_newtable(state);  // the proxy
  lua_newtable(state);  // its metatable
  lua_pushcfunction(state, index);
  lua_setfield(state, -2, "__index");
  lua_pushcfunction(state, newindex);
  lua_setfield(state, -2, "__newindex");
  lua_pushboolean(state, 0);  // getmetatable answers false, setmetatable refuses
  lua_setfield(state, -2, "__metatable");
  lua_setmetatable(state, -2);
  lua_setglobal(state, name);
}

}  // namespace

DeviceScript* ScriptBindings::owner(lua_State* state) {
  return *static_cast<DeviceScript**>(lua_getextraspace(state));
}

void* ScriptBindings::allocate(void* user, void* block, std::size_t old_size, std::size_t new_size) {
  auto* script = static_cast<DeviceScript*>(user);
  const std::size_t held = block != nullptr ? old_size : 0;
  if (new_size == 0) {
    std::free(block);
    script->allocated_ -= held;
    return nullptr;
  }
  if (new_size > held && script->allocated_ - held + new_size > DeviceScript::kMemoryLimit) return nullptr;
  void* moved = std::realloc(block, new_size);
  if (moved == nullptr) return nullptr;
  script->allocated_ = script->allocated_ - held + new_size;
  return moved;
}

namespace {

// Raises the error of a spent budget, naming the place of the function at
// stack level.
void budget_spent(lua_State* state, bool& exhausted, int level) {
  if (!exhausted) {
    // From now on every instruction fails, so that a pcall in the script
    // cannot swallow the error and go on looping.
    exhausted = true;
    lua_sethook(state, &ScriptBindings::count_hook, LUA_MASKCOUNT, 1);
  }
  luaL_where(state, level);
  lua_pushfstring(state, "instruction budget of %d exceeded", static_cast<int>(DeviceScript::kInstructionBudget));
  lua_concat(state, 2);
  lua_error(state);
}

}  // namespace

void ScriptBindings::count_hook(lua_State* state, lua_Debug*) {
  DeviceScript* script = owner(state);
  script->used_ += DeviceScript::kHookStep;
  if (!script->exhausted_ && script->used_ < DeviceScript::kInstructionBudget) return;
  budget_spent(state, script->exhausted_, 0);
}

void ScriptBindings::charge(lua_State* state, std::size_t bytes) {
  spend(state, DeviceScript::kCallInstructions +
                   static_cast<long>(std::min<std::size_t>(bytes / DeviceScript::kBytesPerInstruction,
                                                           DeviceScript::kInstructionBudget)));
}

void ScriptBindings::spend(lua_State* state, long instructions) {
  DeviceScript* script = owner(state);
  script->used_ += instructions;
  // Level 1: the Lua code that called the library function.
  if (script->exhausted_ || script->used_ >= DeviceScript::kInstructionBudget) {
    budget_spent(state, script->exhausted_, 1);
  }
}

const char* const kScriptPrelude = R"lua(
-- The first n reads of register i show its stored value; every later read
-- has bits set as well.
function ready_after_reads(i, n, bits)
  local count = 0
  on_read[i] = function(value)
    count = count + 1
    if count > n then return value | bits end
    return value
  end
end

-- Reads of register i show its stored value until t seconds after the first
-- of them, and from then on have bits set as well.
function ready_after_seconds(i, t, bits)
  local first
  on_read[i] = function(value)
    local at = now()
    first = first or at
    if at - first >= t then return value | bits end
    return value
  end
end

-- Every read of register i has bits set, whatever is stored.
function bits_on_read(i, bits)
  on_read[i] = function(value) return value | bits end
end
)lua";

int ScriptBindings::open_environment(lua_State* state) {
  static const luaL_Reg kLibraries[] = {{LUA_GNAME, luaopen_base},
                                        {LUA_TABLIBNAME, luaopen_table},
                                        {LUA_STRLIBNAME, luaopen_string},
                                        {LUA_MATHLIBNAME, luaopen_math},
                                        {LUA_UTF8LIBNAME, luaopen_utf8}};
  for (const luaL_Reg& library : kLibraries) {
    luaL_requiref(state, library.name, library.func, 1);
    lua_pop(state, 1);
  }
  open_bounded_library(state, {.per_call = DeviceScript::kInstructionBudget,
                               .spend = &ScriptBindings::spend,
                               .spend_bytes = &ScriptBindings::charge});
  // No files, and no loading of precompiled chunks, which Lua does not check.
  for (const char* name : {"dofile", "loadfile", "load"}) {
    lua_pushnil(state);
    lua_setglobal(state, name);
  }
  lua_getglobal(state, LUA_STRLIBNAME);
  lua_pushnil(state);
  lua_setfield(state, -2, "dump");
  lua_pop(state, 1);

  open_memory_table(state, {.space = &owner(state)->device_.guest_memory(),
                            .name = "dma",
                            .line_kind = "Dma",
                            .charge = &ScriptBindings::charge});
  open_vram(state);
  lua_register(state, "irq", &ScriptBindings::irq);
  lua_register(state, "intx", &ScriptBindings::intx);
  lua_register(state, "log", &ScriptBindings::log);
  // Standard output carries the register dump: print logs instead.
  lua_register(state, "print", &ScriptBindings::log);
  lua_register(state, "now", &ScriptBindings::now);
  lua_register(state, "replay", &ScriptBindings::replay);
  lua_register(state, "include", &ScriptInclude::include);
  open_timers(state);

  make_proxy(state, "reads", &ScriptBindings::reads_index, &ScriptBindings::reads_newindex);
  make_proxy(state, "regs", &ScriptBindings::regs_index, &ScriptBindings::regs_newindex);
  lua_newtable(state);
  const int on_read = lua_gettop(state);
  lua_newtable(state);
  const int on_write = lua_gettop(state);
  for (auto [table, bit, name] : {std::tuple{on_read, DeviceScript::kOnRead, "on_read"},
                                  std::tuple{on_write, DeviceScript::kOnWrite, "on_write"}}) {
    lua_pushvalue(state, table);
    lua_pushinteger(state, bit);
    lua_pushstring(state, name);
    // Reads of the proxy go straight to the table of functions.
    const int upvalues = 3;
    const int first = lua_gettop(state) - upvalues + 1;
    lua_newtable(state);
    lua_newtable(state);
    lua_pushvalue(state, first);
    lua_setfield(state, -2, "__index");
    lua_pushvalue(state, first);
    lua_pushvalue(state, first + 1);
    lua_pushvalue(state, first + 2);
    lua_pushcclosure(state, &ScriptBindings::hooks_newindex, upvalues);
    lua_setfield(state, -2, "__newindex");
    lua_pushboolean(state, 0);
    lua_setfield(state, -2, "__metatable");
    lua_setmetatable(state, -2);
    lua_setglobal(state, name);
    lua_pop(state, upvalues);
  }

  if (luaL_loadbufferx(state, kScriptPrelude, std::strlen(kScriptPrelude), "=prelude", "t") != LUA_OK) {
    return lua_error(state);
  }
  lua_call(state, 0, 0);

  lua_pushcfunction(state, &add_traceback);
  lua_pushvalue(state, on_read);
  lua_pushvalue(state, on_write);
  return 3;
}

int ScriptBindings::run_on_reset(lua_State* state) {
  if (lua_getglobal(state, "on_reset") == LUA_TNIL) return 0;
  lua_call(state, 0, 0);
  return 0;
}

int ScriptBindings::reads_index(lua_State* state) {
  const std::uint32_t reg = check_register(state, 2);
  const DeviceScript* script = owner(state);
  if ((script->hooks_[reg] & DeviceScript::kConstant) == 0) {
    lua_pushnil(state);
  } else {
    lua_pushinteger(state, script->constants_[reg]);
  }
  return 1;
}

int ScriptBindings::reads_newindex(lua_State* state) {
  const std::uint32_t reg = check_register(state, 2);
  DeviceScript* script = owner(state);
  if (lua_isnil(state, 3)) {
    script->hooks_[reg] &= static_cast<std::uint8_t>(~DeviceScript::kConstant);
    return 0;
  }
  script->constants_[reg] = check_value(state, 3);
  script->hooks_[reg] |= DeviceScript::kConstant;
  return 0;
}

int ScriptBindings::hooks_newindex(lua_State* state) {
  const std::uint32_t reg = check_register(state, 2);
  const int type = lua_type(state, 3);
  if (type != LUA_TNIL && type != LUA_TFUNCTION) {
    luaL_error(state, "%s[%d] must be a function or nil, not %s", lua_tostring(state, lua_upvalueindex(3)),
               static_cast<int>(reg), luaL_typename(state, 3));
  }
  lua_pushvalue(state, 3);
  lua_rawseti(state, lua_upvalueindex(1), reg);
  DeviceScript* script = owner(state);
  const auto bit = static_cast<std::uint8_t>(lua_tointeger(state, lua_upvalueindex(2)));
  if (type == LUA_TNIL) {
    script->hooks_[reg] &= static_cast<std::uint8_t>(~bit);
  } else {
    script->hooks_[reg] |= bit;
  }
  return 0;
}

int ScriptBindings::regs_index(lua_State* state) {
  const std::uint32_t reg = check_register(state, 2);
  lua_pushinteger(state, owner(state)->device_.reg(reg));
  return 1;
}

int ScriptBindings::regs_newindex(lua_State* state) {
  const std::uint32_t reg = check_register(state, 2);
  const std::uint32_t value = check_value(state, 3);
  owner(state)->device_.set_register(reg, value);
  return 0;
}

int ScriptBindings::irq(lua_State* state) {
  // As for registers, a number only: "3" is not vector 3.
  int is_integer = 0;
  const lua_Integer n = lua_tointegerx(state, 1, &is_integer);
  if (lua_type(state, 1) != LUA_TNUMBER || is_integer == 0 || n < 0 || n >= kMaxIrqVector) {
    luaL_error(state, "interrupt vector must be an integer from 0 to %d, not %s", static_cast<int>(kMaxIrqVector - 1),
               luaL_tolstring(state, 1, nullptr));
  }
  lua_pushboolean(state, owner(state)->device_.raise(static_cast<std::uint32_t>(n)));
  return 1;
}

int ScriptBindings::intx(lua_State* state) {
  if (lua_type(state, 1) != LUA_TBOOLEAN) {
    luaL_error(state, "intx takes true (assert) or false (deassert), not %s", luaL_tolstring(state, 1, nullptr));
  }
  lua_pushboolean(state, owner(state)->device_.set_intx(lua_toboolean(state, 1) != 0));
  return 1;
}

int ScriptBindings::log(lua_State* state) {
  char text[kMaxLogText];
  std::size_t used = 0;
  const int count = lua_gettop(state);
  for (int k = 1; k <= count && used < kMaxLogText; ++k) {
    if (k > 1) text[used++] = ' ';
    std::size_t size = 0;
    const char* piece = luaL_tolstring(state, k, &size);
    for (std::size_t i = 0; i < size && used < kMaxLogText; ++i) {
      // One event, one line: control characters would break it.
      const auto c = static_cast<unsigned char>(piece[i]);
      text[used++] = c < 0x20 || c == 0x7f ? ' ' : piece[i];
    }
    lua_pop(state, 1);
  }
  if (log::enabled(log::Level::Info)) {
    log::write_text(log::Level::Info, log::kScriptTarget, std::string_view(text, used));
  }
  return 0;
}

int ScriptBindings::now(lua_State* state) {
  lua_pushnumber(state, owner(state)->seconds());
  return 1;
}

}  // namespace zephon
