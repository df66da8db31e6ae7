#include "termination.h"

#include <unistd.h>

#include <fmt/format.h>

#include <atomic>
#include <csignal>
#include <cstring>

#include "emergency_exit.h"
#include "log.h"
#include "vfio_user/server.h"

namespace zephon::termination {

namespace {

volatile std::sig_atomic_t g_signal = 0;  // first termination signal, 0 if none
// The server a signal stops, while a StopOnSignal names it.
std::atomic<vfio_user::Server*> g_server{nullptr};
static_assert(std::atomic<vfio_user::Server*>::is_always_lock_free);

void on_signal(int signal) {
  if (g_signal == 0) g_signal = signal;
  if (vfio_user::Server* server = g_server.load()) server->request_stop();
  emergency::start_grace(signal);
}

}  // namespace

void install_handlers() {
  struct sigaction action{};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
  emergency::install_handler();
}

StopOnSignal::StopOnSignal(vfio_user::Server& server) {
  g_server.store(&server);
  // A signal that came before the server existed still ends its run.
  if (g_signal != 0) server.request_stop();
}

StopOnSignal::~StopOnSignal() { g_server.store(nullptr); }

int received() { return g_signal; }

void report(int signal) {
  zephon::log::flush();
  const char* name = ::sigabbrev_np(signal);
  std::string line = fmt::format("zephon: stopped by SIG{}; register dump written, socket removed\n",
                                 name != nullptr ? name : "?");
  ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

}  // namespace zephon::termination
