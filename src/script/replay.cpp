#include "replay.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>

#include "recording/log_scanner.h"
#include "vfio_user/unique_fd.h"

namespace zephon {

namespace {

using zephon_trace::Event;

// Takes the recording's register accesses as the scanner hands them over:
// each read's register and value in order, and with follow the steps.
class AccessSink final : public zephon_trace::EventSink {
 public:
  explicit AccessSink(bool follow) : follow_(follow) {}

  void on_event(const Event& e) override {
    if (!zephon_trace::is_access(e) || full_) return;
    ++accesses_;
    if (accesses_ > Replay::kMaxAccesses) {
      full_ = true;
      return;
    }
    // Accesses of other widths reach no register of zephon's.
    if (!zephon_trace::is_whole_register(e)) return;
    ++whole_;
    const bool write = e.op == zephon_trace::Op::Write;
    const auto value = static_cast<std::uint32_t>(e.value);
    if (!write) {
      read_regs.push_back(e.index);
      read_values.push_back(value);
    }
    if (!follow_) return;
    const ReplayStep step{.line = e.line, .value = value, .access = static_cast<std::uint32_t>(accesses_),
                          .reg = e.index, .write = write};
    if (!write && !steps.empty() && same_access(steps.back(), step)) return;
    steps.push_back(step);
  }

  // Returns whether the recording has more accesses than a replay takes.
  bool full() const { return full_; }
  // Returns the register accesses seen.
  std::uint64_t accesses() const { return accesses_; }
  // Returns those of them that were 32 bits at a register's start.
  std::uint64_t whole() const { return whole_; }

  std::vector<std::uint16_t> read_regs;     // the register of each read, in order
  std::vector<std::uint32_t> read_values;   // and its value
  std::vector<ReplayStep> steps;            // with follow

 private:
  bool follow_;
  bool full_ = false;
  std::uint64_t accesses_ = 0;
  std::uint64_t whole_ = 0;
};

// Returns the scan's counts once the whole file was read, or why not; stops
// reading once the sink is full.
std::expected<zephon_trace::ScanStats, std::string> scan(int fd, AccessSink& sink,
                                                         const zephon_trace::ScanOptions& options) {
  zephon_trace::LogScanner scanner(sink, options);
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  while (!sink.full()) {
    const std::span<char> room = scanner.space();
    const ssize_t n = ::read(fd, room.data(), room.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(fmt::format("cannot read: {}", std::strerror(errno)));
    if (n == 0) break;
    if (auto taken = scanner.take(static_cast<std::size_t>(n)); !taken) return std::unexpected(taken.error());
  }
  return scanner.finish();
}

}  // namespace

std::expected<std::unique_ptr<Replay>, std::string> Replay::load(const std::string& path,
                                                                const ReplayOptions& options) {
  // Not waiting for a FIFO's writer: a recording is a file, read before the
  // socket exists.
  vfio_user::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return std::unexpected(fmt::format("cannot read {}: {}", path, std::strerror(errno)));
  struct stat file{};
  if (::fstat(fd.get(), &file) != 0) {
    return std::unexpected(fmt::format("cannot read {}: {}", path, std::strerror(errno)));
  }
  if (!S_ISREG(file.st_mode)) return std::unexpected(fmt::format("cannot read {}: not a regular file", path));
  AccessSink sink(options.follow);
  auto stats = scan(fd.get(), sink, {.map = options.map});
  if (!stats) return std::unexpected(fmt::format("{}: {}", path, stats.error()));
  if (sink.full()) {
    return std::unexpected(fmt::format("{}: more than {} register accesses", path, Replay::kMaxAccesses));
  }
  if (sink.whole() == 0) {
    return std::unexpected(fmt::format("{}: no 32-bit register accesses to replay", path));
  }

  // The reads, register by register, each register's in recorded order.
  std::unique_ptr<Replay> replay(new Replay());
  std::vector<std::uint32_t> fill(kNumRegs, 0);  // counts first, then where the next read goes
  for (const std::uint16_t reg : sink.read_regs) ++fill[reg];
  std::uint32_t start = 0;
  std::size_t registers = 0;
  for (std::size_t reg = 0; reg < kNumRegs; ++reg) {
    const std::uint32_t n = fill[reg];
    replay->next_[reg] = start;
    replay->last_[reg] = n == 0 ? kNone : start + n - 1;
    registers += n == 0 ? 0 : 1;
    fill[reg] = start;
    start += n;
  }
  replay->values_.resize(sink.read_values.size());
  for (std::size_t i = 0; i < sink.read_regs.size(); ++i) {
    replay->values_[fill[sink.read_regs[i]]++] = sink.read_values[i];
  }
  replay->sequence_ = std::move(sink.steps);

  std::string description = fmt::format("{}: {} reads of {} registers among {} register accesses", path,
                                        sink.read_values.size(), registers, sink.accesses());
  if (!stats->window.empty()) description += fmt::format(", the register BAR: {}", stats->window);
  if (stats->malformed > 0) description += fmt::format(", {} malformed lines skipped", stats->malformed);
  replay->description_ = std::move(description);
  return replay;
}

}  // namespace zephon
