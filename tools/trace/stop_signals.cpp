#include "stop_signals.h"

#include <sys/signalfd.h>
#include <unistd.h>

namespace zephon_trace {

StopSignals::StopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGHUP);
  if (::pthread_sigmask(SIG_BLOCK, &stops, &previous_) != 0) return;
  blocked_ = true;
  const int fd = ::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd < 0) {
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    blocked_ = false;
    return;
  }
  fd_ = File(fd);
}

StopSignals::~StopSignals() {
  // Signals still pending would be delivered at the unblocking; they were
  // meant for this wait, which is over.
  signalfd_siginfo info{};
  while (fd_ && ::read(fd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
  }
  if (blocked_) ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

int StopSignals::received() const {
  if (!fd_) return 0;
  signalfd_siginfo info{};
  if (::read(fd_.get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return 0;
  return static_cast<int>(info.ssi_signo);
}

}  // namespace zephon_trace
