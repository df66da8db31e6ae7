#include "guarded_copy.h"

#include <atomic>
#include <csetjmp>
#include <csignal>
#include <cstring>

namespace zephon {

namespace {

// Where a SIGBUS jumps to while a guarded copy runs; null otherwise.
std::atomic<sigjmp_buf*> g_landing{nullptr};
static_assert(std::atomic<sigjmp_buf*>::is_always_lock_free);
// The action SIGBUS had before, which every other SIGBUS gets.
struct sigaction g_previous{};

void on_bus_error(int signal, siginfo_t* info, void*) {
  if (sigjmp_buf* landing = g_landing.load(std::memory_order_relaxed)) ::siglongjmp(*landing, 1);
  // Not a guarded copy's: with the previous action back, a fault happens
  // again when the instruction is retried, and a sent signal is sent again.
  ::sigaction(signal, &g_previous, nullptr);
  if (info == nullptr || info->si_code <= 0) ::raise(signal);
}

void install_once() {
  static const bool installed = [] {
    struct sigaction action{};
    action.sa_sigaction = on_bus_error;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    return ::sigaction(SIGBUS, &action, &g_previous) == 0;
  }();
  (void)installed;
}

}  // namespace

bool guarded_copy(void* to, const void* from, std::size_t size) {
  install_once();
  // The mask is not saved: the handler does not block SIGBUS, so nothing
  // needs restoring, and saving it would cost a system call per copy.
  sigjmp_buf landing;
  if (sigsetjmp(landing, 0) != 0) {
    g_landing.store(nullptr, std::memory_order_relaxed);
    return false;
  }
  g_landing.store(&landing, std::memory_order_relaxed);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::memcpy(to, from, size);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_landing.store(nullptr, std::memory_order_relaxed);
  return true;
}

}  // namespace zephon
