// ScriptTimers is the queue of a device script's timers (after() and
// every()): when each is due and, for a periodic one, its period. It knows
// nothing of Lua; the script keeps each timer's function under its id.
//
// Contract: at most kMaxPending timers are pending at once; a delay or a
// period below kMinDelay counts as kMinDelay. Ids are never reused, so a
// handle that outlived its timer cancels nothing. A periodic timer keeps its
// period: its next deadline is the last one plus the period, past any
// periods that went by while it could not run (those are not made up).
// take_due() hands out only timers added before a given id, so a callback
// that adds a timer cannot keep one round of due timers going forever.
// Single-threaded.
#ifndef ZEPHON_SCRIPT_TIMERS_H_
#define ZEPHON_SCRIPT_TIMERS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <utility>

namespace zephon {

class ScriptTimers {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::size_t kMaxPending = 4096;
  static constexpr Clock::duration kMinDelay = std::chrono::microseconds(10);

  // A timer take_due() found due.
  struct Due {
    std::uint64_t id;
    bool periodic;  // still pending, at its next deadline
  };

  // Returns the id of a new timer due delay after now, then every period
  // if period is not zero; or nullopt when kMaxPending are pending.
  std::optional<std::uint64_t> add(Clock::time_point now, Clock::duration delay, Clock::duration period);
  // Returns whether timer id was pending; it is not any more.
  bool cancel(std::uint64_t id);
  // Cancels every timer.
  void clear();
  // Returns the earliest deadline, or nullopt when nothing is pending.
  std::optional<Clock::time_point> next_deadline() const {
    if (queue_.empty()) return std::nullopt;
    return queue_.begin()->first;
  }
  // Returns a timer added before the id `before` that is due at now, having
  // removed it (once) or moved it to its next deadline (periodic); nullopt
  // when there is none.
  std::optional<Due> take_due(Clock::time_point now, std::uint64_t before);
  // Returns the id the next add() will give.
  std::uint64_t next_id() const { return next_id_; }
  // Returns how many timers are pending.
  std::size_t pending() const { return timers_.size(); }

 private:
  struct Timer {
    Clock::time_point deadline;
    Clock::duration period;  // zero for a timer that runs once
  };

  std::map<std::uint64_t, Timer> timers_;                         // the pending timers, by id
  std::set<std::pair<Clock::time_point, std::uint64_t>> queue_;  // (deadline, id) of each, earliest first
  std::uint64_t next_id_ = 1;
};

}  // namespace zephon

#endif  // ZEPHON_SCRIPT_TIMERS_H_
