#include "emergency_exit.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>

#include "log.h"

namespace zephon::emergency {

namespace {

// What the program is doing, as the handler sees it.
enum Phase : int {
  kStarting,  // no recording named yet
  kServing,   // the run is on: the handler writes the dump
  kDumping,   // the run ended and the program writes the dump
  kDumped,    // the dump is written; the program is finishing
  kDone,      // the program ends by itself
};

// While the program writes the dump, the handler gives it this many more
// grace periods before it leaves without it.
constexpr int kDumpingExtensions = 3;

std::atomic<int> g_phase{kStarting};
static_assert(std::atomic<int>::is_always_lock_free);
volatile std::sig_atomic_t g_signal = 0;  // the stop signal, 0 before one
volatile std::sig_atomic_t g_extensions = 0;
const std::uint32_t* g_registers = nullptr;
char g_socket_path[PATH_MAX] = {};  // empty: nothing to remove

timespec deadline_in(unsigned seconds) {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  now.tv_sec += seconds;
  return now;
}

// Returns the milliseconds left until deadline, 0 once it has passed.
int left_ms(const timespec& deadline) {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const long long ms = (deadline.tv_sec - now.tv_sec) * 1000LL + (deadline.tv_nsec - now.tv_nsec) / 1'000'000;
  return ms > 0 ? static_cast<int>(ms) : 0;
}

// Returns whether all of data went to fd before deadline. It waits for the
// stream with poll and writes at most a pipe's atomic size at a time, so a
// write it starts does not block.
bool write_before(int fd, const char* data, std::size_t size, const timespec& deadline) {
  while (size > 0) {
    pollfd ready{.fd = fd, .events = POLLOUT, .revents = 0};
    const int waited = ::poll(&ready, 1, left_ms(deadline));
    if (waited < 0 && errno == EINTR) continue;
    if (waited <= 0 || (ready.revents & POLLOUT) == 0) return false;
    const ssize_t n = ::write(fd, data, std::min<std::size_t>(size, PIPE_BUF));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Returns whether the whole dump went to standard output, little-endian,
// as the program writes it.
bool write_dump(const timespec& deadline) {
  static char block[4096];
  constexpr std::size_t kPerBlock = sizeof block / 4;
  for (std::size_t first = 0; first < kNumRegisters; first += kPerBlock) {
    for (std::size_t i = 0; i < kPerBlock; ++i) {
      const std::uint32_t value = g_registers[first + i];
      for (int b = 0; b < 4; ++b) block[4 * i + b] = static_cast<char>(value >> (8 * b));
    }
    if (!write_before(STDOUT_FILENO, block, sizeof block, deadline)) return false;
  }
  return true;
}

// Appends text at *at, up to end.
void append(char*& at, const char* end, const char* text) {
  while (*text != '\0' && at < end) *at++ = *text++;
}

// What becomes of the dump when the handler ends the process.
enum class Dump { Write, Written, Unfinished };

[[noreturn]] void leave(int signal, Dump dump) {
  if (g_socket_path[0] != '\0') ::unlink(g_socket_path);
  bool dumped = dump == Dump::Written;
  if (dump == Dump::Write && g_registers != nullptr) dumped = write_dump(deadline_in(kGraceSeconds));
  const timespec deadline = deadline_in(kGraceSeconds);
  const log::HeldBack held = log::held_back();
  if (held.size > 0) write_before(held.fd, held.data, held.size, deadline);
  char line[200];
  char* at = line;
  const char* end = line + sizeof line;
  const char* name = ::sigabbrev_np(signal);
  append(at, end, "zephon: stopped by SIG");
  append(at, end, name != nullptr ? name : "?");
  append(at, end, dumped ? "; still busy 2 s later: register dump written, socket removed\n"
                         : "; still busy 2 s later: register dump not written, socket removed\n");
  write_before(STDERR_FILENO, line, static_cast<std::size_t>(at - line), deadline);
  ::_exit(128 + signal);
}

void on_alarm(int) {
  const int saved_errno = errno;
  const int signal = g_signal;
  if (signal == 0) return;
  switch (g_phase.load()) {
    case kServing:
      leave(signal, Dump::Write);
    case kDumping:
      if (g_extensions < kDumpingExtensions) {
        g_extensions = g_extensions + 1;
        ::alarm(kGraceSeconds);
        errno = saved_errno;
        return;
      }
      leave(signal, Dump::Unfinished);
    case kDumped:
      leave(signal, Dump::Written);
    case kDone:
      errno = saved_errno;
      return;
    default:
      leave(signal, Dump::Unfinished);
  }
}

}  // namespace

void install_handler() {
  struct sigaction action{};
  action.sa_handler = on_alarm;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  ::sigaction(SIGALRM, &action, nullptr);
}

void keep(std::span<const std::uint32_t, kNumRegisters> registers, const std::string& socket_path) {
  g_registers = registers.data();
  const std::size_t n = std::min(socket_path.size(), sizeof g_socket_path - 1);
  std::memcpy(g_socket_path, socket_path.data(), n);
  g_socket_path[n] = '\0';
  g_phase.store(kServing);
}

void start_grace(int signal) {
  if (g_signal != 0) return;
  g_signal = signal;
  ::alarm(kGraceSeconds);
}

void run_ended() { g_phase.store(kDumping); }

void dump_written() { g_phase.store(kDumped); }

void stand_down() {
  g_phase.store(kDone);
  ::alarm(0);
}

}  // namespace zephon::emergency
