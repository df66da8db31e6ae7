// StopSignals turns Ctrl-C (SIGINT), SIGTERM and SIGHUP into a descriptor
// that becomes readable, so that a long wait can end cleanly on them instead
// of the process being killed.
//
// Contract: while the object lives the three signals are blocked for the
// calling thread and queued on the descriptor; the previous signal mask is
// restored when it is destroyed. When the descriptor cannot be made, fd() is
// -1 and the signals keep their usual effect.
#ifndef ZEPHON_TRACE_STOP_SIGNALS_H_
#define ZEPHON_TRACE_STOP_SIGNALS_H_

#include <signal.h>

#include "file.h"

namespace zephon_trace {

class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Returns the descriptor that is readable once a signal came, or -1.
  int fd() const { return fd_.get(); }
  // Returns the number of the signal that came, or 0 when none did.
  int received() const;

 private:
  sigset_t previous_{};  // the mask to restore
  bool blocked_ = false;
  File fd_;
};

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_STOP_SIGNALS_H_
