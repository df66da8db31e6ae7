#include "memory_bindings.h"

#include <lua.hpp>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <new>
#include <span>

#include "log.h"

namespace zephon {

namespace {

// Reads up to this many bytes go through a buffer on the C stack.
constexpr std::size_t kStackRead = 16 * 1024;

// Returns the table the running function is bound to (its upvalue 1).
const MemoryTable& table_of(lua_State* state) {
  return *static_cast<const MemoryTable*>(lua_touserdata(state, lua_upvalueindex(1)));
}

// Returns the integer at stack index (a number with an integral value; no
// strings), or raises an error naming what it is.
lua_Integer check_integer(lua_State* state, int index, const char* function, const char* what) {
  int is_integer = 0;
  const lua_Integer value = lua_tointegerx(state, index, &is_integer);
  if (lua_type(state, index) != LUA_TNUMBER || is_integer == 0) {
    luaL_error(state, "%s.%s: %s must be an integer, not %s", table_of(state).name, function, what,
               luaL_tolstring(state, index, nullptr));
  }
  return value;
}

// Appends `text` padded with spaces to `width`, then one space.
char* append_padded(char* out, std::string_view text, std::size_t width) {
  out = std::copy(text.begin(), text.end(), out);
  for (std::size_t n = text.size(); n < width; ++n) *out++ = ' ';
  *out++ = ' ';
  return out;
}

// Appends value in decimal.
char* append_decimal(char* out, std::size_t value) {
  char digits[20];
  std::size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) *out++ = digits[--n];
  return out;
}

// Logs one access done, as "Dma   read  0x0000000000100100 +16"; made by
// hand, as the register lines are, because it comes with every access and
// parsing a format at run time cost more than the rest of the line.
void log_access(const MemoryTable& table, std::string_view verb, std::uint64_t address, std::size_t size) {
  if (!log::enabled(log::Level::Debug)) return;
  char text[16 + 6 + 19 + 21];  // kind and verb padded, "0x" and 16 digits and a space, "+" and a length
  char* p = append_padded(text, std::string_view(table.line_kind).substr(0, 15), 5);
  p = append_padded(p, verb, 5);
  *p++ = '0';
  *p++ = 'x';
  for (int shift = 60; shift >= 0; shift -= 4) *p++ = "0123456789abcdef"[(address >> shift) & 0xf];
  *p++ = ' ';
  *p++ = '+';
  p = append_decimal(p, size);
  log::write_text(log::Level::Debug, log::kDeviceTarget, std::string_view(text, static_cast<std::size_t>(p - text)));
}

// Raises the error of a refused access.
int refuse(lua_State* state, const char* function, std::uint64_t address, std::size_t size, std::string_view reason) {
  std::array<char, 256> text{};
  const auto end = fmt::format_to_n(text.data(), text.size() - 1, "{}.{} {:#018x} +{} refused: {}",
                                    table_of(state).name, function, address, size, reason);
  *end.out = '\0';
  return luaL_error(state, "%s", text.data());
}

// Returns the address argument at stack index 1.
std::uint64_t check_address(lua_State* state, const char* function) {
  return static_cast<std::uint64_t>(check_integer(state, 1, function, "address"));
}

int read_bytes(lua_State* state) {
  const MemoryTable& table = table_of(state);
  const std::uint64_t address = check_address(state, "read");
  const lua_Integer length = check_integer(state, 2, "read", "length");
  if (length < 0 || static_cast<std::uint64_t>(length) > kMaxAccess) {
    luaL_error(state, "%s.read: length must be from 0 to %d, not %I", table.name, static_cast<int>(kMaxAccess),
               length);
  }
  const auto size = static_cast<std::size_t>(length);
  table.charge(state, size);
  if (size <= kStackRead) {
    // Up to a few pages, a copy through the stack costs less than the
    // buffer Lua would allocate and finalize for it.
    std::array<std::uint8_t, kStackRead> bytes;
    if (auto read = table.space->read(address, std::span(bytes).first(size)); !read) {
      return refuse(state, "read", address, size, read.error());
    }
    lua_pushlstring(state, reinterpret_cast<const char*>(bytes.data()), size);
  } else {
    luaL_Buffer buffer;
    char* out = luaL_buffinitsize(state, &buffer, size);
    if (auto read = table.space->read(address, {reinterpret_cast<std::uint8_t*>(out), size}); !read) {
      return refuse(state, "read", address, size, read.error());
    }
    luaL_pushresultsize(&buffer, size);
  }
  log_access(table, "read", address, size);
  return 1;
}

int write_bytes(lua_State* state) {
  const MemoryTable& table = table_of(state);
  const std::uint64_t address = check_address(state, "write");
  std::size_t size = 0;
  const char* bytes = lua_type(state, 2) == LUA_TSTRING ? lua_tolstring(state, 2, &size) : nullptr;
  if (bytes == nullptr || size > kMaxAccess) {
    luaL_error(state, "%s.write: bytes must be a string of at most %d bytes, not %s", table.name,
               static_cast<int>(kMaxAccess), bytes == nullptr ? luaL_typename(state, 2) : "a longer one");
  }
  table.charge(state, size);
  if (auto written = table.space->write(address, {reinterpret_cast<const std::uint8_t*>(bytes), size}); !written) {
    return refuse(state, "write", address, size, written.error());
  }
  log_access(table, "write", address, size);
  return 0;
}

template <std::size_t kBytes>
constexpr const char* kReadName = kBytes == 1 ? "read8" : kBytes == 2 ? "read16" : kBytes == 4 ? "read32" : "read64";
template <std::size_t kBytes>
constexpr const char* kWriteName =
    kBytes == 1 ? "write8" : kBytes == 2 ? "write16" : kBytes == 4 ? "write32" : "write64";

template <std::size_t kBytes>
int read_le(lua_State* state) {
  const MemoryTable& table = table_of(state);
  const std::uint64_t address = check_address(state, kReadName<kBytes>);
  table.charge(state, kBytes);
  std::array<std::uint8_t, kBytes> bytes{};
  if (auto read = table.space->read(address, bytes); !read) {
    return refuse(state, kReadName<kBytes>, address, kBytes, read.error());
  }
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < kBytes; ++i) value |= std::uint64_t{bytes[i]} << (8 * i);
  lua_pushinteger(state, static_cast<lua_Integer>(value));
  log_access(table, "read", address, kBytes);
  return 1;
}

template <std::size_t kBytes>
int write_le(lua_State* state) {
  const MemoryTable& table = table_of(state);
  const std::uint64_t address = check_address(state, kWriteName<kBytes>);
  const auto value = static_cast<std::uint64_t>(check_integer(state, 2, kWriteName<kBytes>, "value"));
  table.charge(state, kBytes);
  std::array<std::uint8_t, kBytes> bytes{};
  for (std::size_t i = 0; i < kBytes; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  if (auto written = table.space->write(address, bytes); !written) {
    return refuse(state, kWriteName<kBytes>, address, kBytes, written.error());
  }
  log_access(table, "write", address, kBytes);
  return 0;
}

}  // namespace

void open_memory_table(lua_State* state, const MemoryTable& table) {
  static const luaL_Reg kFunctions[] = {
      {"read", read_bytes},         {"write", write_bytes},         {"read8", read_le<1>},
      {"read16", read_le<2>},       {"read32", read_le<4>},         {"read64", read_le<8>},
      {"write8", write_le<1>},      {"write16", write_le<2>},       {"write32", write_le<4>},
      {"write64", write_le<8>},     {nullptr, nullptr}};
  lua_createtable(state, 0, static_cast<int>(std::size(kFunctions) - 1));
  new (lua_newuserdatauv(state, sizeof(MemoryTable), 0)) MemoryTable(table);
  luaL_setfuncs(state, kFunctions, 1);
  lua_setglobal(state, table.name);
}

}  // namespace zephon
