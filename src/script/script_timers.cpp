#include "script_timers.h"

#include <algorithm>

namespace zephon {

std::optional<std::uint64_t> ScriptTimers::add(Clock::time_point now, Clock::duration delay,
                                               Clock::duration period) {
  if (timers_.size() >= kMaxPending) return std::nullopt;
  const std::uint64_t id = next_id_++;
  const Clock::duration every = period == Clock::duration::zero() ? period : std::max(period, kMinDelay);
  const Timer timer{now + std::max(delay, kMinDelay), every};
  timers_.emplace(id, timer);
  queue_.emplace(timer.deadline, id);
  return id;
}

bool ScriptTimers::cancel(std::uint64_t id) {
  auto found = timers_.find(id);
  if (found == timers_.end()) return false;
  queue_.erase({found->second.deadline, id});
  timers_.erase(found);
  return true;
}

void ScriptTimers::clear() {
  timers_.clear();
  queue_.clear();
}

std::optional<ScriptTimers::Due> ScriptTimers::take_due(Clock::time_point now, std::uint64_t before) {
  auto entry = queue_.begin();
  while (entry != queue_.end() && entry->first <= now && entry->second >= before) ++entry;
  if (entry == queue_.end() || entry->first > now) return std::nullopt;
  const std::uint64_t id = entry->second;
  queue_.erase(entry);
  auto timer = timers_.find(id);
  if (timer->second.period == Clock::duration::zero()) {
    timers_.erase(timer);
    return Due{id, false};
  }
  // The next deadline after now, on the timer's own beat.
  Timer& t = timer->second;
  const auto periods = (now - t.deadline) / t.period + 1;
  t.deadline += periods * t.period;
  queue_.emplace(t.deadline, id);
  return Due{id, true};
}

}  // namespace zephon
