// The last resort of a stop signal: when the run has not ended kGraceSeconds
// after SIGINT, SIGTERM or SIGHUP (a device script busy in one long call,
// say, or a log nobody reads), a SIGALRM handler writes the recording and
// ends the process, from async-signal-safe code alone.
//
// Contract: install_handler() comes with the stop signals' handlers, keep()
// names the recording once the server exists; from then on
// a grace period that start_grace() begins ends, if the program has not
// finished by itself, in: the socket file removed, the register dump
// written to standard output (unless the program wrote it already), the
// log lines held back written to the log, a line saying so on standard
// error, and exit status 128 + the signal. Each write waits at most
// kGraceSeconds for its stream, so a stream nobody reads cannot hold the
// exit. The handler allocates nothing and takes no lock: the registers and
// the held-back log lines are read where they are (log::held_back()).
#ifndef ZEPHON_EMERGENCY_EXIT_H_
#define ZEPHON_EMERGENCY_EXIT_H_

#include <cstdint>
#include <span>
#include <string>

namespace zephon::emergency {

inline constexpr unsigned kGraceSeconds = 2;
inline constexpr std::size_t kNumRegisters = 65536;

// Installs the SIGALRM handler; before keep() it only ends the process.
void install_handler();
// Names what an exit from the handler writes: registers (dumped as the
// program dumps them; they must stay in place until the process ends) and
// the socket file at socket_path.
void keep(std::span<const std::uint32_t, kNumRegisters> registers, const std::string& socket_path);
// Begins the grace period of the stop signal `signal`; async-signal-safe,
// for the stop signal's handler. Later calls change nothing.
void start_grace(int signal);
// Says the run has ended: the program writes the dump itself, and the
// handler waits for it a little longer before it gives up on it.
void run_ended();
// Says the dump is written and flushed.
void dump_written();
// Says the program is about to end by itself: the handler does nothing.
void stand_down();

}  // namespace zephon::emergency

#endif  // ZEPHON_EMERGENCY_EXIT_H_
