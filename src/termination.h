// Termination signals (SIGINT, SIGTERM, SIGHUP) end the server's run as if
// the client had closed the connection, so the register dump is still
// written and the socket file still removed; the process then reports the
// signal and exits with 128 + its number.
//
// Contract: the handler only records the signal, calls the stop of the
// server that a StopOnSignal names and starts the emergency exit's grace
// period (all async-signal-safe); everything else happens on the main
// thread after the run returns, unless the run is still going when the
// grace period ends (emergency_exit.h). A signal that comes before a server
// is named stops it as soon as it is.
#ifndef ZEPHON_TERMINATION_H_
#define ZEPHON_TERMINATION_H_

#include "vfio_user/server.h"

namespace zephon::termination {

// Installs the handlers (without SA_RESTART, so blocking calls return),
// the emergency exit's among them.
void install_handlers();

// While it lives, termination signals stop `server`, which must outlive it.
class StopOnSignal {
 public:
  explicit StopOnSignal(vfio_user::Server& server);
  ~StopOnSignal();
  StopOnSignal(const StopOnSignal&) = delete;
  StopOnSignal& operator=(const StopOnSignal&) = delete;
};
// Returns the number of the first termination signal received, or 0.
int received();
// Writes the one-line notice naming the signal to standard error.
void report(int signal);

}  // namespace zephon::termination

#endif  // ZEPHON_TERMINATION_H_
