#include "script_include.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <lua.hpp>

#include <cerrno>
#include <cstring>

#include "script.h"
#include "vfio_user/unique_fd.h"

namespace zephon {

namespace {

// The registry key of the include state: a table with the directory
// ("dir"), the number of files included ("count") and the results by name
// ("loaded"). Its absence means the script has finished loading.
constexpr const char* kRegistryKey = "zephon.include";

// Marks a name in "loaded" whose file is still running.
char running_marker;

constexpr std::size_t kMaxComponents = 8;

// The longest error text include() builds before raising it.
constexpr std::size_t kMaxErrorText = 512;

// Returns the directory part of path, a view into it or a literal.
std::string_view directory_of(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Copies text into out, cut to fit, NUL-terminated.
void copy_error(char (&out)[kMaxErrorText], std::string_view text) {
  const std::size_t n = std::min(text.size(), kMaxErrorText - 1);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

}  // namespace

int ScriptInclude::start(lua_State* state) {
  const auto* script_path = static_cast<const std::string*>(lua_touserdata(state, 1));
  lua_createtable(state, 0, 3);
  const std::string_view dir = directory_of(*script_path);
  lua_pushlstring(state, dir.data(), dir.size());
  lua_setfield(state, -2, "dir");
  lua_pushinteger(state, 0);
  lua_setfield(state, -2, "count");
  lua_newtable(state);
  lua_setfield(state, -2, "loaded");
  lua_setfield(state, LUA_REGISTRYINDEX, kRegistryKey);
  return 0;
}

void ScriptInclude::finish(lua_State* state) {
  lua_pushnil(state);
  lua_setfield(state, LUA_REGISTRYINDEX, kRegistryKey);
}

bool ScriptInclude::valid_name(std::string_view name) {
  if (name.empty() || name.size() > kMaxName) return false;
  std::size_t components = 1;
  bool component_empty = true;
  for (const char c : name) {
    if (c == '/') {
      if (component_empty) return false;
      ++components;
      component_empty = true;
      continue;
    }
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                         c == '-';
    if (!allowed) return false;
    component_empty = false;
  }
  return !component_empty && components <= kMaxComponents;
}

std::expected<std::string, std::string> ScriptInclude::read_beneath(const std::string& dir, std::string_view name) {
  const std::string file = std::string(name) + ".lua";
  vfio_user::UniqueFd base(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!base) return std::unexpected(dir + ": " + std::strerror(errno));
  // The kernel resolves the name and refuses any step out of the directory,
  // which a check of the name alone cannot do for symbolic links. Opening
  // without blocking keeps a FIFO in its place from stalling the load.
  open_how how{};
  how.flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  vfio_user::UniqueFd fd(static_cast<int>(::syscall(SYS_openat2, base.get(), file.c_str(), &how, sizeof how)));
  const std::string shown = dir + "/" + file;
  if (!fd) {
    if (errno == EXDEV) return std::unexpected(shown + ": leads outside the script's directory");
    return std::unexpected(shown + ": " + std::strerror(errno));
  }
  struct stat info{};
  if (::fstat(fd.get(), &info) != 0) return std::unexpected(shown + ": " + std::strerror(errno));
  if (!S_ISREG(info.st_mode)) return std::unexpected(shown + ": not a regular file");
  if (static_cast<std::uint64_t>(info.st_size) > DeviceScript::kMaxFileBytes) {
    return std::unexpected(shown + ": larger than 16 MiB");
  }
  std::string text(static_cast<std::size_t>(info.st_size), '\0');
  std::size_t used = 0;
  while (used < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + used, text.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(shown + ": " + std::strerror(errno));
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  text.resize(used);
  return text;
}

// Everything that owns memory lives in an inner scope that ends before any
// Lua error is raised: Lua unwinds with longjmp, which skips destructors.
int ScriptInclude::include(lua_State* state) {
  std::size_t name_size = 0;
  const char* name = luaL_checklstring(state, 1, &name_size);
  lua_settop(state, 1);
  if (lua_getfield(state, LUA_REGISTRYINDEX, kRegistryKey) != LUA_TTABLE) {
    return luaL_error(state, "include() is only available while the script loads");
  }
  const int include_state = lua_gettop(state);
  if (!valid_name(std::string_view(name, name_size))) {
    return luaL_error(state,
                      "include name must be letters, digits, '_' and '-' in up to %d components separated by '/' "
                      "(at most %d bytes), without '.lua'",
                      static_cast<int>(kMaxComponents), static_cast<int>(kMaxName));
  }
  lua_getfield(state, include_state, "loaded");
  const int loaded = lua_gettop(state);
  lua_pushvalue(state, 1);
  lua_rawget(state, loaded);
  if (lua_touserdata(state, -1) == &running_marker) return luaL_error(state, "include cycle: %s is still loading", name);
  if (!lua_isnil(state, -1)) return 1;
  lua_pop(state, 1);
  lua_getfield(state, include_state, "count");
  const lua_Integer count = lua_tointeger(state, -1);
  lua_pop(state, 1);
  if (count >= static_cast<lua_Integer>(kMaxFiles)) {
    return luaL_error(state, "more than %d files included", static_cast<int>(kMaxFiles));
  }
  lua_getfield(state, include_state, "dir");
  const char* dir = lua_tostring(state, -1);

  char error[kMaxErrorText] = "";
  int status = LUA_OK;
  {
    auto text = read_beneath(dir, std::string_view(name, name_size));
    if (!text) {
      copy_error(error, text.error());
    } else {
      const std::string chunk_name = std::string("@") + dir + "/" + name + ".lua";
      // lua_load runs protected: a syntax or memory error comes back as a
      // status, with its message on the stack.
      status = luaL_loadbufferx(state, text->data(), text->size(), chunk_name.c_str(), "t");
    }
  }
  if (error[0] != '\0') return luaL_error(state, "%s", error);
  if (status != LUA_OK) return lua_error(state);

  lua_pushinteger(state, count + 1);
  lua_setfield(state, include_state, "count");
  lua_pushvalue(state, 1);
  lua_pushlightuserdata(state, &running_marker);
  lua_rawset(state, loaded);
  if (lua_pcall(state, 0, 1, 0) != LUA_OK) {
    // A failed file may be included again, and fail again the same way.
    lua_pushvalue(state, 1);
    lua_pushnil(state);
    lua_rawset(state, loaded);
    return lua_error(state);
  }
  if (lua_isnil(state, -1)) {
    lua_pop(state, 1);
    lua_pushboolean(state, 1);
  }
  lua_pushvalue(state, 1);
  lua_pushvalue(state, -2);
  lua_rawset(state, loaded);
  return 1;
}

}  // namespace zephon
