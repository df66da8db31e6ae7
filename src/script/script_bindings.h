// ScriptBindings is what a device script sees of the device: the Lua
// functions and tables of its interface, and the state's allocator and
// instruction-count hook. It is DeviceScript's friend and has no state of
// its own. The timer functions are defined in script_timer_bindings.cpp.
//
// Contract: every function here is called by Lua with the owning
// DeviceScript in the state's extra space. They raise Lua errors for bad
// arguments (a register index outside 0 to 65535, a value that is not an
// integer), and so hold nothing that needs a destructor when they may raise.
#ifndef ZEPHON_SCRIPT_BINDINGS_H_
#define ZEPHON_SCRIPT_BINDINGS_H_

#include <cstddef>
#include <cstdint>

struct lua_State;
struct lua_Debug;

namespace zephon {

class DeviceScript;

struct ScriptBindings {
  // Returns the DeviceScript whose Lua state this is.
  static DeviceScript* owner(lua_State* state);
  // Returns memory for the Lua state, or null past DeviceScript::kMemoryLimit.
  static void* allocate(void* user, void* block, std::size_t old_size, std::size_t new_size);
  // Raises an error once a call has run past DeviceScript::kInstructionBudget.
  static void count_hook(lua_State* state, lua_Debug* debug);
  // Counts a call that copies bytes against the budget
  // (DeviceScript::kCallInstructions, and one instruction per
  // kBytesPerInstruction bytes); raises the same error past it.
  static void charge(lua_State* state, std::size_t bytes);
  // Counts instructions a library function's work is worth against the
  // budget; raises the same error past it.
  static void spend(lua_State* state, long instructions);
  // Returns 3 values: the traceback message handler and the function tables
  // of on_read and on_write, after setting up libraries, interface and
  // prelude.
  static int open_environment(lua_State* state);
  // Returns 0 values after calling the global on_reset, if it is set.
  static int run_on_reset(lua_State* state);
  // Makes the global `vram`: the memory functions over the device's VRAM
  // (memory_bindings.h) and vram.enable (script_vram.cpp).
  static void open_vram(lua_State* state);
  // Sets up after(), every() and the timer handles' metatable.
  static void open_timers(lua_State* state);
  // Returns 1 value, a handle, after adding a timer from the arguments of
  // after() (periodic false) or every().
  static int add_timer(lua_State* state, bool periodic);
  // Pushes the function of timer id (a function doing nothing if it has
  // none), forgetting it when `last`; never raises.
  static void push_timer_function(lua_State* state, std::uint64_t id, bool last);
  // Forgets the functions of every timer.
  static void forget_timer_functions(lua_State* state);

  // The interface's functions and its tables' metamethods; each returns the
  // number of values it leaves for Lua.
  static int reads_index(lua_State* state);
  static int reads_newindex(lua_State* state);
  static int hooks_newindex(lua_State* state);
  static int regs_index(lua_State* state);
  static int regs_newindex(lua_State* state);
  static int irq(lua_State* state);
  static int intx(lua_State* state);
  static int log(lua_State* state);
  static int now(lua_State* state);
  static int vram_enable(lua_State* state);
  static int after(lua_State* state);
  static int every(lua_State* state);
  static int cancel_timer(lua_State* state);
  // replay(path [, options]), in replay_bindings.cpp.
  static int replay(lua_State* state);
};

// The Lua source of the helpers every script can use.
extern const char* const kScriptPrelude;

}  // namespace zephon

#endif  // ZEPHON_SCRIPT_BINDINGS_H_
