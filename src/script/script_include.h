// ScriptInclude lets a device script that grows past one file load the rest
// of itself: `include("name")` runs the file name.lua of the script's own
// directory (or of a directory under it, "tahiti/gart") in the script's
// environment and returns what that file returns.
//
// Contract: include works only while the script loads, so a hook never reads
// files while the server serves. A name is one to eight components of
// letters, digits, '_' and '-', separated by '/', at most 200 bytes; the file
// is opened beneath the script's directory (a symbolic link that leads out
// of it is refused), read whole up to DeviceScript::kMaxFileBytes and run
// under the load's instruction budget. Each name runs once: a second include
// returns the first one's result, an include of a name still running is an
// error, and at most kMaxFiles names are included in all. Errors are Lua
// errors naming the file. Holds no state of its own but a table in the Lua
// registry, present only while the script loads.
#ifndef ZEPHON_SCRIPT_INCLUDE_H_
#define ZEPHON_SCRIPT_INCLUDE_H_

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

struct lua_State;

namespace zephon {

struct ScriptInclude {
  // The most files one script includes.
  static constexpr std::size_t kMaxFiles = 64;
  // The longest name accepted.
  static constexpr std::size_t kMaxName = 200;

  // Returns 0 values; makes include() available, relative to the directory
  // of the script whose path (a std::string) is the light userdata argument,
  // until finish(). Called through lua_pcall: it allocates.
  static int start(lua_State* state);
  // Returns nothing; include() refuses from now on.
  static void finish(lua_State* state);
  // The Lua function include(name); returns the number of values it leaves.
  static int include(lua_State* state);

  // Returns whether name is acceptable as an include name.
  static bool valid_name(std::string_view name);
  // Returns the text of dir/name.lua, read beneath dir, or why not.
  static std::expected<std::string, std::string> read_beneath(const std::string& dir, std::string_view name);
};

}  // namespace zephon

#endif  // ZEPHON_SCRIPT_INCLUDE_H_
