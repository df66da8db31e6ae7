// Termination signals (SIGINT, SIGTERM, SIGHUP) end the server's run as if
// the client had closed the connection, so the register dump is still
// written and the socket file still removed; the process then reports the
// signal and exits with 128 + its number.
//
// Contract: the handler only records the signal and calls the server's
// async-signal-safe stop; everything else happens on the main thread after
// the run returns.
#ifndef ZEPHON_TERMINATION_H_
#define ZEPHON_TERMINATION_H_

namespace zephon::termination {

// Installs the handlers (without SA_RESTART, so blocking calls return).
void install_handlers();
// Returns the number of the first termination signal received, or 0.
int received();
// Writes the one-line notice naming the signal to standard error.
void report(int signal);

}  // namespace zephon::termination

#endif  // ZEPHON_TERMINATION_H_
