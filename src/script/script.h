// DeviceScript is a device script in Lua 5.4 that makes BAR 2 registers
// answer like hardware: constant reads (`reads[i] = v`), read and write hooks
// (`on_read[i]`, `on_write[i]`), a reset hook (`on_reset`), access to the
// register file (`regs[i]`), interrupts (`irq(n)`, `intx(b)`), guest memory
// (`dma`), the VRAM behind BAR 0 (`vram`, enabled only while the script
// loads), log lines (`log(text)`), a clock (`now()`), timers
// (`after(s, f)`, `every(s, f)`) and the replay of a recording
// (`replay(path [, options])`, Replay).
//
// Contract: load() runs the script once, on the server's thread, before the
// socket exists; a script that cannot be read, does not parse or fails while
// it runs is refused with "<file>:<line>: <message>". After that the device
// model asks it about every BAR 2 access. A per-register table of hooks is
// consulted first, so an unhooked register costs one byte lookup, and a
// `reads` constant or a replayed register no call into Lua at all. The
// script's own hooks come before a replay; a strict replay follows every
// access (ReplayFollower) until the guest departs from the recording. Every call into Lua is protected
// and bounded: kInstructionBudget instructions per call and kMemoryLimit
// bytes in all. A hook that fails, runs too long or returns a value of the
// wrong type is reported as one ERROR line (message and traceback) and the
// access gets the plain register behaviour. A timer's callback runs when the
// device model asks (run_due, between requests), under the same budget; a
// fault is one ERROR line and a periodic timer keeps its period. A reset
// cancels every timer before on_reset runs. Registers the script sets are
// logged as "Set   regs[...]" DEBUG lines. Single-threaded.
#ifndef ZEPHON_SCRIPT_H_
#define ZEPHON_SCRIPT_H_

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "register_file.h"
#include "replay.h"
#include "replay_follower.h"
#include "script_device.h"
#include "script_timers.h"

struct lua_State;

namespace zephon {

struct ScriptBindings;

// The script's file as Lua names it in messages (cut short, after "...",
// when the path is long) and as it is.
struct SourceName {
  std::string shown;
  std::string whole;
};

class DeviceScript {
 public:
  // Lua instructions one call into the script may run, the loading included.
  static constexpr long kInstructionBudget = 5'000'000;
  // Memory the Lua state may hold.
  static constexpr std::size_t kMemoryLimit = std::size_t{64} << 20;
  // What a guest-memory call counts against the budget: a fixed part (it
  // costs as much as a few dozen instructions, its log line included), and
  // one instruction per kBytesPerInstruction bytes copied.
  static constexpr long kCallInstructions = 32;
  static constexpr std::size_t kBytesPerInstruction = 16;
  // The largest script file read.
  static constexpr std::size_t kMaxFileBytes = std::size_t{16} << 20;

  // Returns the script at path, loaded and run once, which touches the
  // device through device only; or the reason it was refused, as
  // "<file>:<line>: <message>" ("<file>: <message>" when the file cannot be
  // read).
  static std::expected<std::unique_ptr<DeviceScript>, std::string> load(const std::string& path,
                                                                        ScriptDevice device);
  ~DeviceScript();
  DeviceScript(const DeviceScript&) = delete;
  DeviceScript& operator=(const DeviceScript&) = delete;

  // Returns the value the guest reads from register reg, whose stored value
  // is stored.
  std::uint32_t read(std::uint32_t reg, std::uint32_t stored) {
    const std::uint8_t hooks = hooks_[reg] & (kConstant | kOnRead | kReplay | kFollow);
    if (hooks == 0) [[likely]] return stored;
    if ((hooks & kFollow) != 0) [[unlikely]] return read_followed(reg, stored);
    if ((hooks & kOnRead) != 0) return call_on_read(reg, stored);
    if ((hooks & kConstant) != 0) return constants_[reg];
    return replay_->next(reg);
  }
  // Runs the write hook of register reg, if any, after the guest's value was
  // stored; returns nothing, the hook's outcome is in the register file.
  void wrote(std::uint32_t reg, std::uint32_t value) {
    if ((hooks_[reg] & (kOnWrite | kFollow)) != 0) [[unlikely]] wrote_hooked(reg, value);
  }
  // Cancels every timer, then runs on_reset, if defined, after a device
  // reset cleared the registers.
  void after_reset();
  // Returns when the earliest timer is due, or nullopt while none is
  // pending.
  std::optional<std::chrono::steady_clock::time_point> next_deadline() const { return timers_.next_deadline(); }
  // Runs the callbacks of the timers due at now, of those pending when it
  // is called.
  void run_due(std::chrono::steady_clock::time_point now);
  // Starts the clock of now(); the device model calls it at every region
  // access, so the clock runs from the monitor's first one. Later calls
  // change nothing.
  void start_clock() {
    if (!started_) [[unlikely]] {
      started_ = true;
      start_ = std::chrono::steady_clock::now();
    }
  }

 private:
  friend struct ScriptBindings;

  // The count hook fires every kHookStep instructions; the budget is
  // counted in these steps.
  static constexpr int kHookStep = 1000;

  // Bits of hooks_[reg].
  static constexpr std::uint8_t kConstant = 1;  // reads[reg] is set
  static constexpr std::uint8_t kOnRead = 2;    // on_read[reg] is a function
  static constexpr std::uint8_t kOnWrite = 4;   // on_write[reg] is a function
  static constexpr std::uint8_t kReplay = 8;    // the replayed recording read reg
  static constexpr std::uint8_t kFollow = 16;   // a strict replay follows the guest (every register)

  // Fixed stack slots of the state between calls.
  static constexpr int kHandlerSlot = 1;  // the message handler adding a traceback
  static constexpr int kOnReadSlot = 2;   // the functions of on_read, by register
  static constexpr int kOnWriteSlot = 3;  // the functions of on_write, by register

  struct StateCloser {
    void operator()(lua_State* state) const;
  };

  explicit DeviceScript(ScriptDevice device) : device_(device) {}

  std::uint32_t call_on_read(std::uint32_t reg, std::uint32_t stored);
  void call_on_write(std::uint32_t reg, std::uint32_t value);
  // read() and wrote() while a strict replay follows the guest.
  std::uint32_t read_followed(std::uint32_t reg, std::uint32_t stored);
  void wrote_hooked(std::uint32_t reg, std::uint32_t value);
  // Takes every register's follow bit off.
  void stop_following();
  // Returns whether the recording at path (relative to the script's
  // directory) is loaded for replay; if not, its refusal is in raised_.
  // Never raises a Lua error.
  bool start_replay(std::string_view path, const ReplayOptions& options);
  // Resets the instruction count before a call into the script.
  void arm_budget();
  // Runs the callback of a timer that fell due.
  void call_timer(ScriptTimers::Due due);
  // Logs the ERROR line of a failed call whose error text is on the stack.
  void report_failure(std::string_view what);
  // Returns seconds since the clock started (0 before).
  double seconds() const;

  ScriptDevice device_;              // what the script may touch of the device
  SourceName name_;                  // put whole into every message about the script
  std::array<std::uint8_t, kNumRegs> hooks_{};      // kConstant | kOnRead | kOnWrite per register
  std::array<std::uint32_t, kNumRegs> constants_{};  // reads[reg], valid where kConstant is set
  std::size_t allocated_ = 0;        // bytes the Lua state holds
  long used_ = 0;                    // instructions run by the current call, in hook steps
  bool exhausted_ = false;           // the current call ran past the budget
  bool loading_ = false;             // the script's main chunk is running (load())
  bool started_ = false;             // start_ is set
  std::chrono::steady_clock::time_point start_{};  // origin of now()
  ScriptTimers timers_;              // after() and every(); their functions are in the Lua state
  std::string path_;                 // the script file, for paths relative to it
  std::unique_ptr<Replay> replay_;   // replay(): null without one
  std::unique_ptr<ReplayFollower> follower_;  // a strict replay's: null without one
  // The message of an error a binding raises once the objects it used are
  // gone (a Lua error skips destructors).
  std::string raised_;
  std::unique_ptr<lua_State, StateCloser> state_;  // declared last: closed first
};

}  // namespace zephon

#endif  // ZEPHON_SCRIPT_H_
