#include "follow.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>

#include "file.h"

namespace zephon_trace {

namespace {

using Clock = std::chrono::steady_clock;

// Back to the start of the line and clear it: removes the open run's line.
constexpr std::string_view kErase = "\r\x1b[K";
// Reads taken after a stop, so that a writer that never pauses cannot hold
// the follow open.
constexpr int kDrainReads = 64;

// What the terminal shows of the open run, and when it was last drawn.
class LiveView {
 public:
  LiveView(Sequence& sequence, Output& out, int out_fd, const FollowOptions& options)
      : sequence_(sequence), out_(out), out_fd_(out_fd), options_(options) {}

  // Returns nothing; writes the lines the last read completed (removing the
  // open run's line first) and redraws the open run when it is due.
  void after_read(Clock::time_point now) {
    if (out_.buffer().size() > 0) {
      if (shown_) erase();
      out_.flush();
    }
    tick(now);
  }

  // Returns nothing; redraws the open run if it changed and the interval
  // since the last drawing has passed.
  void tick(Clock::time_point now) {
    if (!stale() || now - drawn_at_ < options_.update_every) return;
    fmt::memory_buffer line;
    if (shown_) append_text(line, kErase);
    sequence_.write_pending(line);
    (void)write_all(out_fd_, std::string_view(line.data(), line.size()));
    shown_ = true;
    drawn_at_ = now;
    shown_lines_ = sequence_.lines();
    shown_count_ = sequence_.pending();
  }

  // Returns the milliseconds until a redraw is due, or -1 when none is.
  int wait_ms(Clock::time_point now) const {
    if (!stale()) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(drawn_at_ + options_.update_every - now);
    return static_cast<int>(std::max<std::int64_t>(left.count(), 0));
  }

  // Returns nothing; removes the open run's line before the last lines.
  void end() {
    if (shown_) erase();
  }

 private:
  bool stale() const {
    return options_.terminal && sequence_.pending() > 0 &&
           (!shown_ || sequence_.lines() != shown_lines_ || sequence_.pending() != shown_count_);
  }
  void erase() {
    (void)write_all(out_fd_, kErase);
    shown_ = false;
  }

  Sequence& sequence_;
  Output& out_;
  int out_fd_;
  const FollowOptions& options_;
  bool shown_ = false;                 // the open run's line is on the terminal
  Clock::time_point drawn_at_{};       // when it was drawn
  std::uint64_t shown_lines_ = 0;      // the sequence's lines then
  std::uint64_t shown_count_ = 0;      // and the count of the run drawn
};

// Returns the poll result for fds, retried on EINTR; negative on failure.
int wait_for(pollfd* fds, nfds_t count, int timeout_ms) {
  for (;;) {
    const int r = ::poll(fds, count, timeout_ms);
    if (r >= 0 || errno != EINTR) return r;
  }
}

// Returns true when fd is readable now (or closed); false for fd -1.
bool readable_now(int fd) {
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  return wait_for(&p, 1, 0) > 0;
}

}  // namespace

std::expected<FollowEnd, std::string> follow_log(int fd, LogScanner& scanner, Sequence& sequence, Output& out,
                                                 int out_fd, const FollowOptions& options) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::unexpected(fmt::format("cannot follow: {}", std::strerror(errno)));
  const bool regular = S_ISREG(st.st_mode);
  const int file_ms = static_cast<int>(options.file_interval.count());
  LiveView view(sequence, out, out_fd, options);
  int drain = -1;  // reads left after a stop; -1 while not stopping
  FollowEnd end = FollowEnd::LogEnded;
  for (;;) {
    if (drain == 0) {
      end = FollowEnd::Stopped;
      break;
    }
    if (drain < 0 && readable_now(options.stop_fd)) drain = kDrainReads;
    if (!regular) {
      if (drain > 0) {
        if (!readable_now(fd)) {
          end = FollowEnd::Stopped;
          break;
        }
      } else {
        pollfd fds[2] = {{fd, POLLIN, 0}, {options.stop_fd, POLLIN, 0}};
        const int r = wait_for(fds, options.stop_fd >= 0 ? 2 : 1, view.wait_ms(Clock::now()));
        if (r < 0) return std::unexpected(fmt::format("cannot wait for the log: {}", std::strerror(errno)));
        if (r == 0) {
          view.tick(Clock::now());
          continue;
        }
        if (fds[0].revents == 0) continue;  // a stop: seen at the top of the loop
      }
    }
    const std::span<char> room = scanner.space();
    const ssize_t n = ::read(fd, room.data(), room.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(fmt::format("cannot read: {}", std::strerror(errno)));
    }
    if (drain > 0) --drain;
    if (n == 0) {
      if (!regular) break;  // the writer closed the pipe: the log ended
      if (drain >= 0) {
        end = FollowEnd::Stopped;
        break;
      }
      // The end of the file for now: wait for it to grow, or for a stop.
      pollfd stop{options.stop_fd, POLLIN, 0};
      const int wait = view.wait_ms(Clock::now());
      const int r = wait_for(&stop, options.stop_fd >= 0 ? 1 : 0, wait < 0 ? file_ms : std::min(wait, file_ms));
      if (r < 0) return std::unexpected(fmt::format("cannot wait for the log: {}", std::strerror(errno)));
      view.tick(Clock::now());
      continue;
    }
    if (auto taken = scanner.take(static_cast<std::size_t>(n)); !taken) return std::unexpected(taken.error());
    view.after_read(Clock::now());
    if (out.failed()) break;  // the caller reports it when it finishes the output
    if (regular && scanner.stats().closed) break;
  }
  view.end();
  return end;
}

}  // namespace zephon_trace
