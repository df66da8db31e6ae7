#include "replay_follower.h"

#include <fmt/format.h>

#include "log.h"

namespace zephon {

namespace {

// Returns an access as zephon's own lines show it: "read regs[0x0039] (0xe4) = 0x00000001".
std::string access_text(const ReplayStep& s) {
  return fmt::format("{} regs[{:#06x}] ({:#x}) = {:#010x}", s.write ? "write" : "read", s.reg, 4 * s.reg, s.value);
}

}  // namespace

bool ReplayFollower::follow(bool write, std::uint32_t reg, std::uint32_t value) {
  if (departed_) return false;
  ++accesses_;
  const ReplayStep got{.line = 0, .value = value, .access = 0, .reg = static_cast<std::uint16_t>(reg), .write = write};
  if (next_ < steps_.size() && same_access(steps_[next_], got)) {
    ++next_;
    return true;
  }
  // One more read of what was just polled: the recording's poll took fewer.
  if (!write && next_ > 0 && same_access(steps_[next_ - 1], got)) return true;
  departed_ = true;
  std::string recorded = "nothing more";
  if (next_ < steps_.size()) {
    const ReplayStep& want = steps_[next_];
    recorded = fmt::format("{} (its access {}, line {})", access_text(want), want.access, want.line);
  }
  log::emit(log::Level::Warn, log::kScriptTarget,
            "Replay departs from {} at the guest's access {}: the recording has {}, the guest did {}; replay goes on "
            "register by register",
            name_, accesses_, recorded, access_text(got));
  return false;
}

}  // namespace zephon
