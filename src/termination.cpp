#include "termination.h"

#include <unistd.h>

#include <fmt/format.h>

#include <csignal>
#include <cstring>

#include "vfio_user/server.h"

namespace zephon::termination {

namespace {

volatile std::sig_atomic_t g_signal = 0;  // first termination signal, 0 if none

void on_signal(int signal) {
  if (g_signal == 0) g_signal = signal;
  vfio_user::Server::request_stop();
}

}  // namespace

void install_handlers() {
  struct sigaction action{};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

int received() { return g_signal; }

void report(int signal) {
  const char* name = ::sigabbrev_np(signal);
  std::string line = fmt::format("zephon: stopped by SIG{}; register dump written, socket removed\n",
                                 name != nullptr ? name : "?");
  ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

}  // namespace zephon::termination
