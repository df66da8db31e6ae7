#include "script.h"

#include <fcntl.h>
#include <unistd.h>

#include <lua.hpp>

#include <cerrno>
#include <cstring>
#include <optional>

#include "log.h"
#include "script_bindings.h"
#include "script_include.h"
#include "vfio_user/unique_fd.h"

namespace zephon {

namespace {

using log::kScriptTarget;

// The longest error text put in a log line.
constexpr std::size_t kMaxErrorText = 2000;

// Returns the whole file, or "<file>: <reason>".
std::expected<std::string, std::string> read_script_file(const std::string& path) {
  vfio_user::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::unexpected(path + ": cannot read the script: " + std::strerror(errno));
  std::string text;
  char block[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(path + ": cannot read the script: " + std::strerror(errno));
    if (n == 0) return text;
    if (text.size() + static_cast<std::size_t>(n) > DeviceScript::kMaxFileBytes) {
      return std::unexpected(path + ": cannot read the script: larger than 16 MiB");
    }
    text.append(block, static_cast<std::size_t>(n));
  }
}

// Returns text with Lua's name of the script, cut short for a long path
// ("...d/of/a/long/path.lua"), replaced by the whole of it.
std::string with_whole_name(std::string_view text, const SourceName& name) {
  std::string out(text);
  if (name.shown.empty() || name.shown == name.whole) return out;
  for (std::size_t at = out.find(name.shown); at != std::string::npos;
       at = out.find(name.shown, at + name.whole.size())) {
    out.replace(at, name.shown.size(), name.whole);
  }
  return out;
}

// Returns the error text at the top of the stack on one line: the message,
// then the traceback's frames after "; traceback: ", separated by "; ".
std::string flattened_error(lua_State* state, const SourceName& name) {
  std::size_t size = 0;
  const char* text = lua_type(state, -1) == LUA_TSTRING ? lua_tolstring(state, -1, &size) : nullptr;
  const std::string named = with_whole_name(text != nullptr ? std::string_view(text, size) : "unknown error", name);
  const std::string_view raw = named;
  constexpr std::string_view kTraceback = "\nstack traceback:\n\t";
  std::string out;
  out.reserve(std::min(raw.size(), kMaxErrorText) + 16);
  for (std::size_t i = 0; i < raw.size() && out.size() < kMaxErrorText; ++i) {
    if (raw.substr(i).starts_with(kTraceback)) {
      out += "; traceback: ";
      i += kTraceback.size() - 1;
    } else if (raw.substr(i).starts_with("\n\t")) {
      out += "; ";
      ++i;
    } else {
      const auto c = static_cast<unsigned char>(raw[i]);
      out += c < 0x20 || c == 0x7f ? ' ' : raw[i];
    }
  }
  return out;
}

// The name of a register hook in log lines, e.g. "on_read[0x0021]".
std::string hook_name(std::string_view table, std::uint32_t reg) { return fmt::format("{}[{:#06x}]", table, reg); }

// Logs a hook that returned something other than `wanted`. Expects the
// stack to hold the hook function, then what it returned; leaves one more
// value on it, which the caller's settop removes.
void report_wrong_return(lua_State* state, const SourceName& name, std::string_view hook, std::string_view wanted) {
  const char* type = luaL_typename(state, -1);
  lua_Debug info{};
  lua_pushvalue(state, -2);
  lua_getinfo(state, ">S", &info);
  log::emit(log::Level::Error, kScriptTarget,
            "Script error in {}, the access is served as a plain register: the function at {}:{} returned {}, "
            "not {}",
            hook, with_whole_name(info.short_src, name), info.linedefined, type, wanted);
}

// Returns the name Lua gives the chunk in messages, which it cuts short
// when long; the path itself if Lua cannot say.
std::string shown_name(lua_State* state, const std::string& chunk_name, const std::string& path) {
  if (luaL_loadbufferx(state, "", 0, chunk_name.c_str(), "t") != LUA_OK) {
    lua_pop(state, 1);
    return path;
  }
  lua_Debug info{};
  lua_getinfo(state, ">S", &info);
  return info.short_src;
}

// Returns the value at index as a register value: a Lua integer, or a float
// with an integral value, cut to its low 32 bits.
std::optional<std::uint32_t> register_value(lua_State* state, int index) {
  if (lua_type(state, index) != LUA_TNUMBER) return std::nullopt;
  int is_integer = 0;
  const lua_Integer value = lua_tointegerx(state, index, &is_integer);
  if (is_integer == 0) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

}  // namespace

void DeviceScript::StateCloser::operator()(lua_State* state) const {
  // Finalizers run at close; with the budget spent they stop at their first
  // instruction instead of running on.
  DeviceScript* script = ScriptBindings::owner(state);
  script->exhausted_ = true;
  lua_sethook(state, &ScriptBindings::count_hook, LUA_MASKCOUNT, 1);
  lua_close(state);
}

std::expected<std::unique_ptr<DeviceScript>, std::string> DeviceScript::load(const std::string& path,
                                                                            ScriptDevice device) {
  auto text = read_script_file(path);
  if (!text) return std::unexpected(text.error());

  std::unique_ptr<DeviceScript> script(new DeviceScript(device));
  script->path_ = path;
  lua_State* state = lua_newstate(&ScriptBindings::allocate, script.get());
  if (state == nullptr) return std::unexpected(path + ": cannot create a Lua state");
  *static_cast<DeviceScript**>(lua_getextraspace(state)) = script.get();
  script->state_.reset(state);

  // The environment comes first, the prelude's helpers with it; both leave
  // the three fixed slots on the stack.
  script->arm_budget();
  lua_pushcfunction(state, &ScriptBindings::open_environment);
  if (lua_pcall(state, 0, 3, 0) != LUA_OK) return std::unexpected(flattened_error(state, {}));

  const std::string chunk_name = "@" + path;
  script->name_ = {.shown = shown_name(state, chunk_name, path), .whole = path};
  // Errors name the file and line where there is one; a refused binary
  // chunk, a memory error or an error value that is not a string do not.
  auto refused = [&] {
    std::string error = flattened_error(state, script->name_);
    return std::unexpected(error.starts_with(path + ":") ? error : path + ": " + error);
  };
  if (luaL_loadbufferx(state, text->data(), text->size(), chunk_name.c_str(), "t") != LUA_OK) return refused();
  lua_pushcfunction(state, &ScriptInclude::start);
  lua_pushlightuserdata(state, const_cast<std::string*>(&path));
  if (lua_pcall(state, 1, 0, 0) != LUA_OK) return refused();
  script->arm_budget();
  script->loading_ = true;
  const int status = lua_pcall(state, 0, 0, 0);
  script->loading_ = false;
  ScriptInclude::finish(state);
  if (status != LUA_OK) return refused();
  lua_settop(state, kOnWriteSlot);
  log::emit(log::Level::Info, kScriptTarget, "Device script loaded: {}", path);
  return script;
}

DeviceScript::~DeviceScript() = default;

void DeviceScript::arm_budget() {
  used_ = 0;
  exhausted_ = false;
  lua_sethook(state_.get(), &ScriptBindings::count_hook, LUA_MASKCOUNT, kHookStep);
}

void DeviceScript::report_failure(std::string_view what) {
  const std::string error = flattened_error(state_.get(), name_);
  log::emit(log::Level::Error, kScriptTarget, "Script error in {}, the access is served as a plain register: {}", what,
            error);
}

// A failed hook's access reads the register as it is now: the hook may have
// set it before it failed.
std::uint32_t DeviceScript::call_on_read(std::uint32_t reg, std::uint32_t stored) {
  lua_State* state = state_.get();
  arm_budget();
  lua_rawgeti(state, kOnReadSlot, reg);
  lua_pushvalue(state, -1);  // kept to name it if its result is wrong
  lua_pushinteger(state, stored);
  if (lua_pcall(state, 1, 1, kHandlerSlot) != LUA_OK) {
    report_failure(hook_name("on_read", reg));
    lua_settop(state, kOnWriteSlot);
    return device_.reg(reg);
  }
  const std::optional<std::uint32_t> value = register_value(state, -1);
  if (!value) {
    report_wrong_return(state, name_, hook_name("on_read", reg), "an integer register value");
    lua_settop(state, kOnWriteSlot);
    return device_.reg(reg);
  }
  lua_settop(state, kOnWriteSlot);
  return *value;
}

void DeviceScript::call_on_write(std::uint32_t reg, std::uint32_t value) {
  lua_State* state = state_.get();
  arm_budget();
  lua_rawgeti(state, kOnWriteSlot, reg);
  lua_pushvalue(state, -1);
  lua_pushinteger(state, value);
  std::optional<std::uint32_t> replacement;
  bool failed = false;
  if (lua_pcall(state, 1, 1, kHandlerSlot) != LUA_OK) {
    report_failure(hook_name("on_write", reg));
    failed = true;
  } else if (!lua_isnil(state, -1)) {
    replacement = register_value(state, -1);
    if (!replacement) {
      report_wrong_return(state, name_, hook_name("on_write", reg), "nil or an integer register value");
      failed = true;
    }
  }
  lua_settop(state, kOnWriteSlot);
  // A failed hook leaves the register as the guest wrote it.
  if (failed) replacement = value;
  if (replacement && device_.reg(reg) != *replacement) device_.set_register(reg, *replacement);
}

std::uint32_t DeviceScript::read_followed(std::uint32_t reg, std::uint32_t stored) {
  const std::uint8_t hooks = hooks_[reg];
  std::uint32_t value = stored;
  if ((hooks & kOnRead) != 0) {
    value = call_on_read(reg, stored);
  } else if ((hooks & kConstant) != 0) {
    value = constants_[reg];
  } else if ((hooks & kReplay) != 0) {
    value = replay_->next(reg);
  }
  if (!follower_->follow(false, reg, value)) stop_following();
  return value;
}

void DeviceScript::wrote_hooked(std::uint32_t reg, std::uint32_t value) {
  if ((hooks_[reg] & kFollow) != 0 && !follower_->follow(true, reg, value)) stop_following();
  if ((hooks_[reg] & kOnWrite) != 0) call_on_write(reg, value);
}

// Once the guest has departed, the replay goes on register by register, at
// the cost of an unfollowed one.
void DeviceScript::stop_following() {
  for (std::uint8_t& hooks : hooks_) hooks &= static_cast<std::uint8_t>(~kFollow);
}

void DeviceScript::after_reset() {
  lua_State* state = state_.get();
  // A reset device has none of its old timers.
  timers_.clear();
  ScriptBindings::forget_timer_functions(state);
  arm_budget();
  lua_pushcfunction(state, &ScriptBindings::run_on_reset);
  if (lua_pcall(state, 0, 0, kHandlerSlot) != LUA_OK) {
    const std::string error = flattened_error(state, name_);
    log::emit(log::Level::Error, kScriptTarget, "Script error in on_reset: {}", error);
  }
  lua_settop(state, kOnWriteSlot);
}

void DeviceScript::run_due(std::chrono::steady_clock::time_point now) {
  const std::uint64_t before = timers_.next_id();
  while (auto due = timers_.take_due(now, before)) call_timer(*due);
}

void DeviceScript::call_timer(ScriptTimers::Due due) {
  lua_State* state = state_.get();
  arm_budget();
  ScriptBindings::push_timer_function(state, due.id, !due.periodic);
  if (lua_pcall(state, 0, 0, kHandlerSlot) != LUA_OK) {
    const std::string error = flattened_error(state, name_);
    log::emit(log::Level::Error, kScriptTarget, "Script error in the callback of {}: {}",
              due.periodic ? "every(), which keeps its period" : "after()", error);
  }
  lua_settop(state, kOnWriteSlot);
}

double DeviceScript::seconds() const {
  if (!started_) return 0.0;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

}  // namespace zephon
