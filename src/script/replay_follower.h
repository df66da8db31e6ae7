// ReplayFollower follows a recording access by access while the guest
// works, for a device script's strict replay, and says where the guest first
// departs from it.
//
// Contract: steps are the recording's 32-bit register accesses in order, a
// read repeated in a row (a poll) as one step, so that a wait that took 3
// reads in the recording and 7 now is no departure; the guest's accesses
// are aligned the same way, as zephon-trace compare aligns two recordings.
// The first access that is not the recording's next step (another
// register, direction or value, or any access once the recording ended) is
// logged as one WARN line naming both, and following stops there. Memory is
// the steps; each access costs a comparison. Single-threaded.
#ifndef ZEPHON_REPLAY_FOLLOWER_H_
#define ZEPHON_REPLAY_FOLLOWER_H_

#include <cstdint>
#include <string>
#include <vector>

namespace zephon {

// One step of a recording: a register access, a poll's reads as one.
struct ReplayStep {
  std::uint64_t line = 0;    // the line of its first access in the recording
  std::uint32_t value = 0;
  std::uint32_t access = 0;  // the 1-based number of that access among the recording's register accesses
  std::uint16_t reg = 0;
  bool write = false;
};

// Returns whether two steps are the same access, however often each read.
constexpr bool same_access(const ReplayStep& a, const ReplayStep& b) {
  return a.write == b.write && a.reg == b.reg && a.value == b.value;
}

class ReplayFollower {
 public:
  // Follows steps, read from the recording called name.
  ReplayFollower(std::vector<ReplayStep> steps, std::string name) : steps_(std::move(steps)), name_(std::move(name)) {}

  // Returns whether the guest, after this access (a read that got value, or
  // a write of value), still follows the recording; logs the first access
  // that does not.
  bool follow(bool write, std::uint32_t reg, std::uint32_t value);
  // Returns whether the guest has departed from the recording.
  bool departed() const { return departed_; }

 private:
  std::vector<ReplayStep> steps_;
  std::string name_;           // the recording's path, for the WARN line
  std::size_t next_ = 0;       // the step the guest's next new access must be
  std::uint64_t accesses_ = 0;  // the guest's accesses so far
  bool departed_ = false;
};

}  // namespace zephon

#endif  // ZEPHON_REPLAY_FOLLOWER_H_
