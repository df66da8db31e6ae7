// replay(path [, options]) of a device script: the recording at path answers
// the reads of every register the script's hooks leave alone (Replay); with
// options.strict the guest is followed access by access (ReplayFollower);
// options.map and options.base name an mmiotrace's register BAR. Taken only
// while the script loads, once.
#include <lua.hpp>

#include <cstring>
#include <filesystem>
#include <type_traits>

#include "log.h"
#include "script.h"
#include "script_bindings.h"

namespace zephon {

namespace {

// What a refused mmiotrace tells the script's author to do.
constexpr std::string_view kHowToName = "name the register BAR with options.map or options.base";

// Returns the option at the top of the stack as a non-negative integer, or
// raises an error naming it.
std::uint64_t check_number_option(lua_State* state, const char* name) {
  int is_integer = 0;
  const lua_Integer value = lua_tointegerx(state, -1, &is_integer);
  if (lua_type(state, -1) != LUA_TNUMBER || is_integer == 0) {
    luaL_error(state, "replay: options.%s must be an integer, not %s", name, luaL_tolstring(state, -1, nullptr));
  }
  // An address past 2^63 is written as a negative Lua integer; its bits are the address.
  return static_cast<std::uint64_t>(value);
}

// Reads the options table at stack index 2 into options, or raises an error.
void check_options(lua_State* state, ReplayOptions& options) {
  if (lua_isnoneornil(state, 2)) return;
  if (lua_type(state, 2) != LUA_TTABLE) {
    luaL_error(state, "replay: options must be a table, not %s", luaL_typename(state, 2));
  }
  lua_pushnil(state);
  while (lua_next(state, 2) != 0) {
    const char* key = lua_type(state, -2) == LUA_TSTRING ? lua_tostring(state, -2) : "";
    if (std::strcmp(key, "strict") == 0) {
      if (lua_type(state, -1) != LUA_TBOOLEAN) {
        luaL_error(state, "replay: options.strict must be true or false, not %s", luaL_typename(state, -1));
      }
      options.follow = lua_toboolean(state, -1) != 0;
    } else if (std::strcmp(key, "map") == 0) {
      options.map.map_id = check_number_option(state, "map");
    } else if (std::strcmp(key, "base") == 0) {
      options.map.base = check_number_option(state, "base");
    } else {
      lua_pushvalue(state, -2);
      luaL_error(state, "replay: unknown option %s (strict, map and base are known)",
                 luaL_tolstring(state, -1, nullptr));
    }
    lua_pop(state, 1);
  }
  if (options.map.map_id && options.map.base) {
    luaL_error(state, "replay: options.map and options.base name the register BAR twice; give one");
  }
}

}  // namespace

int ScriptBindings::replay(lua_State* state) {
  DeviceScript* script = owner(state);
  if (!script->loading_) luaL_error(state, "replay: only while the script loads, not from a hook or a timer");
  if (script->replay_ != nullptr) luaL_error(state, "replay: a script replays one recording; this is the second");
  if (lua_type(state, 1) != LUA_TSTRING) {
    luaL_error(state, "replay: takes the path of a recording, not %s", luaL_typename(state, 1));
  }
  std::size_t size = 0;
  const char* path = lua_tolstring(state, 1, &size);
  // Held while errors may still be raised, which skip destructors.
  static_assert(std::is_trivially_destructible_v<ReplayOptions>);
  ReplayOptions options{.map = {.map_id = std::nullopt, .base = std::nullopt, .how_to_name = kHowToName},
                        .follow = false};
  check_options(state, options);
  if (!script->start_replay(std::string_view(path, size), options)) {
    luaL_error(state, "replay: %s", script->raised_.c_str());
  }
  return 0;
}

bool DeviceScript::start_replay(std::string_view path, const ReplayOptions& options) {
  // A script and its recording travel together: a relative path is the
  // script's neighbour.
  std::filesystem::path where(path);
  if (where.is_relative()) where = std::filesystem::path(path_).parent_path() / where;
  auto loaded = Replay::load(where.string(), options);
  if (!loaded) {
    raised_ = std::move(loaded.error());
    return false;
  }
  replay_ = std::move(*loaded);
  for (std::uint32_t reg = 0; reg < kNumRegs; ++reg) {
    if (replay_->reads(reg)) hooks_[reg] |= kReplay;
    if (options.follow) hooks_[reg] |= kFollow;
  }
  if (options.follow) follower_ = std::make_unique<ReplayFollower>(replay_->take_sequence(), where.string());
  log::emit(log::Level::Info, log::kScriptTarget, "Replaying {}{}", replay_->description(),
            options.follow ? ", followed access by access" : "");
  return true;
}

}  // namespace zephon
