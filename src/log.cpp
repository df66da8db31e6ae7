#include "log.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace zephon::log {

namespace {

constexpr std::string_view kReset = "\x1b[0m";
constexpr std::string_view kDim = "\x1b[2m";

std::string_view level_text(Level level) {
  switch (level) {
    case Level::Trace: return "TRACE";
    case Level::Debug: return "DEBUG";
    case Level::Info: return " INFO";
    case Level::Warn: return " WARN";
    case Level::Error: return "ERROR";
  }
  return "ERROR";
}

std::string_view level_colour(Level level) {
  switch (level) {
    case Level::Trace: return "\x1b[35m";
    case Level::Debug: return "\x1b[34m";
    case Level::Info: return "\x1b[32m";
    case Level::Warn: return "\x1b[33m";
    case Level::Error: return "\x1b[31m";
  }
  return "\x1b[31m";
}

void append(fmt::memory_buffer& buf, std::string_view text) { buf.append(text.data(), text.data() + text.size()); }

// Appends everything of a line that comes before the message.
void append_prefix(fmt::memory_buffer& buf, bool colour, std::string_view timestamp, Level level,
                   std::string_view target) {
  if (colour) {
    append(buf, kDim), append(buf, timestamp), append(buf, kReset), append(buf, " ");
    append(buf, level_colour(level)), append(buf, level_text(level)), append(buf, kReset), append(buf, " ");
    append(buf, kDim), append(buf, target), append(buf, kReset);
    append(buf, kDim), append(buf, ":"), append(buf, kReset), append(buf, " ");
  } else {
    append(buf, timestamp), append(buf, " "), append(buf, level_text(level)), append(buf, " ");
    append(buf, target), append(buf, ": ");
  }
}

// The wall clock as "YYYY-MM-DDTHH:MM:SS.ffffffZ". The part up to the seconds
// changes at most once a second, so it is formatted only then.
class Clock {
 public:
  std::string_view now() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    if (ts.tv_sec != cached_second_) {
      tm parts{};
      ::gmtime_r(&ts.tv_sec, &parts);
      fmt::format_to_n(text_, 19, "{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", parts.tm_year + 1900, parts.tm_mon + 1,
                       parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
      cached_second_ = ts.tv_sec;
    }
    auto micros = static_cast<unsigned>(ts.tv_nsec / 1000);
    text_[19] = '.';
    for (int i = 25; i >= 20; --i) {
      text_[i] = static_cast<char>('0' + micros % 10);
      micros /= 10;
    }
    text_[26] = 'Z';
    return {text_, 27};
  }

 private:
  time_t cached_second_ = -1;  // the second text_[0..19) shows
  char text_[27] = {};
};

// Lines held back are written once this many bytes are waiting, so a long
// burst of posted writes costs one write per batch, not one per line.
constexpr std::size_t kBatchBytes = 64 * 1024;
// What is held back fits a batch and the longest line the program makes (a
// script's log text or error message with its prefix); a longer line is
// written on its own.
constexpr std::size_t kHeldCapacity = kBatchBytes + 16 * 1024;

// The installed log: where lines go, how they look, and what is held back.
struct State {
  Options options;
  Clock clock;
  fmt::memory_buffer line;  // the line being made
  // Whole lines not yet written, in order: the first held_size bytes of
  // held, of which a flush under way has written the first written. A
  // fixed block, and sizes stored only once the bytes are in place, so
  // that a signal handler can write them out (held_back()).
  char held[kHeldCapacity];
  std::atomic<std::size_t> held_size{0};
  std::atomic<std::size_t> written{0};

  // At exit nothing held back may be lost.
  ~State() { flush(); }
  void flush();
  // Holds back the line made in `line`, or writes it at once if it is
  // longer than the block.
  void commit();
};
static_assert(std::atomic<std::size_t>::is_always_lock_free);
State* g_state = nullptr;

// Writes the whole of data, counting what went out in *progress; on failure
// tries once to say so, then drops it.
void write_line(int fd, const char* data, std::size_t size, std::atomic<std::size_t>* progress = nullptr) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      if (progress != nullptr) progress->store(done, std::memory_order_release);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    int err = n < 0 ? errno : EIO;
    char notice[160];
    auto r = fmt::format_to_n(notice, sizeof notice - 1, "zephon: dropped a log line: {}\n", std::strerror(err));
    ssize_t ignored = ::write(fd, notice, r.size);
    (void)ignored;
    return;
  }
}

void State::flush() {
  const std::size_t size = held_size.load(std::memory_order_relaxed);
  if (size == 0) return;
  write_line(options.fd, held, size, &written);
  held_size.store(0, std::memory_order_release);
  written.store(0, std::memory_order_release);
}

void State::commit() {
  const std::size_t size = held_size.load(std::memory_order_relaxed);
  if (size + line.size() > kHeldCapacity) flush();
  if (line.size() > kHeldCapacity) {
    write_line(options.fd, line.data(), line.size());
    return;
  }
  const std::size_t at = held_size.load(std::memory_order_relaxed);
  std::memcpy(held + at, line.data(), line.size());
  held_size.store(at + line.size(), std::memory_order_release);
  if (at + line.size() >= kBatchBytes) flush();
}

void emit_line(Level level, std::string_view target, auto&& append_message) {
  State* state = g_state;
  if (state == nullptr) return;
  fmt::memory_buffer& buf = state->line;
  buf.clear();
  append_prefix(buf, state->options.colour, state->clock.now(), level, target);
  append_message(buf);
  buf.push_back('\n');
  state->commit();
}

// Joins the server's log channel to this log.
class ServerSink final : public vfio_user::log::Sink {
 public:
  bool enabled(Level level) const override { return zephon::log::enabled(level); }
  void write(Level level, std::string_view target, std::string_view message) override {
    write_text(level, target, message);
  }
  void flush() override { zephon::log::flush(); }
  bool holds_back() const override {
    return g_state != nullptr && g_state->held_size.load(std::memory_order_relaxed) != 0;
  }
};

}  // namespace

Options default_options() {
  const char* no_color = std::getenv("NO_COLOR");
  return Options{.fd = 2, .colour = no_color == nullptr || no_color[0] == '\0'};
}

std::expected<void, std::string> install(Options options) {
  if (g_state != nullptr) return std::unexpected("a global default trace dispatcher has already been set");
  static State state;
  static ServerSink sink;
  state.options = options;
  state.line.reserve(4096);
  g_state = &state;
  vfio_user::log::set_sink(&sink);
  return {};
}

void write_event(Level level, std::string_view target, fmt::string_view format, fmt::format_args args) {
  emit_line(level, target, [&](fmt::memory_buffer& buf) { fmt::vformat_to(fmt::appender(buf), format, args); });
}

void write_text(Level level, std::string_view target, std::string_view message) {
  emit_line(level, target, [&](fmt::memory_buffer& buf) { append(buf, message); });
}

void flush() {
  if (g_state != nullptr) g_state->flush();
}

HeldBack held_back() {
  const State* state = g_state;
  if (state == nullptr) return {};
  const std::size_t size = state->held_size.load(std::memory_order_acquire);
  const std::size_t written = std::min(state->written.load(std::memory_order_acquire), size);
  return {.fd = state->options.fd, .data = state->held + written, .size = size - written};
}

std::string format_line(bool colour, std::string_view timestamp, Level level, std::string_view target,
                        std::string_view message) {
  fmt::memory_buffer buf;
  append_prefix(buf, colour, timestamp, level, target);
  append(buf, message);
  buf.push_back('\n');
  return fmt::to_string(buf);
}

}  // namespace zephon::log
