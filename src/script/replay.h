// Replay is a recording of a driver at work (a zephon log or an mmiotrace,
// read by the recording library as zephon-trace reads it) turned into the
// answers of a device: for each register, the values the recording read from
// it, in recorded order.
//
// Contract: only the guest's 32-bit accesses at a register's start count
// (zephon's registers answer no others); an mmiotrace's register BAR is the
// one MapChoice names. next(reg) is valid for registers with reads() and
// costs an index into one flat array: once a register's values run out, its
// last one repeats. A recording of more than kMaxAccesses register accesses,
// or of none, is refused. With follow, the whole sequence is kept too, for a
// ReplayFollower. Memory: 4 bytes per recorded read, 24 per access when
// followed, 512 KiB of cursors. Single-threaded.
#ifndef ZEPHON_REPLAY_H_
#define ZEPHON_REPLAY_H_

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "recording/mmiotrace_window.h"
#include "register_file.h"
#include "replay_follower.h"

namespace zephon {

struct ReplayOptions {
  zephon_trace::MapChoice map;  // an mmiotrace's register BAR
  bool follow = false;          // keep the sequence for a ReplayFollower
};

class Replay {
 public:
  // The most register accesses a recording may hold: 16 MiB of read values.
  static constexpr std::size_t kMaxAccesses = std::size_t{1} << 22;

  // Returns the recording at path, or why it cannot be replayed.
  static std::expected<std::unique_ptr<Replay>, std::string> load(const std::string& path,
                                                                  const ReplayOptions& options);

  // Returns whether the recording read register reg.
  bool reads(std::uint32_t reg) const { return last_[reg] != kNone; }
  // Returns the next value of register reg's recorded reads, the last one
  // again once they ran out.
  std::uint32_t next(std::uint32_t reg) {
    const std::uint32_t at = next_[reg];
    next_[reg] = at + (at < last_[reg] ? 1 : 0);
    return values_[at];
  }
  // Returns the recorded sequence, for following (empty without follow).
  std::vector<ReplayStep> take_sequence() { return std::move(sequence_); }
  // Returns one line of what was loaded, for the log.
  const std::string& description() const { return description_; }

 private:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  Replay() = default;

  std::vector<std::uint32_t> values_;           // every register's reads, register by register
  std::array<std::uint32_t, kNumRegs> next_{};  // index in values_ of a register's next read
  std::array<std::uint32_t, kNumRegs> last_{};  // index of its last read; kNone if it has none
  std::vector<ReplayStep> sequence_;            // with follow: the accesses, polls as one step
  std::string description_;
};

}  // namespace zephon

#endif  // ZEPHON_REPLAY_H_
