// DeadlineAlarm lets a blocking receive on a socket end when a deadline
// passes, so a server whose backend keeps time of its own waits for a
// request and for its next deadline in the receive itself, at no cost per
// request. Any other wait (epoll or ppoll with the socket and a timer)
// costs one system call more for every request of a client that waits for
// each reply.
//
// How: a POSIX timer on the monotonic clock sends SIGRTMIN to the thread
// that armed it, and the socket gets a (very long) receive time-out, which
// makes the kernel end an interrupted receive with EINTR instead of
// restarting it. The handler is installed with SA_RESTART, so every other
// system call the signal lands in is restarted as if nothing happened.
//
// Contract: one thread arms and waits, one wait at a time; SIGRTMIN is this
// alarm's: its handler is installed, and the signal unblocked in the waiting
// thread, at the first wait. The socket stays the caller's and must outlive
// the alarm; receives on it that a signal interrupts must be repeated by
// whoever makes them (the transports do). The timer is set only when the
// deadline changes. A deadline that passes after the caller looked at the
// clock and before its receive blocks sends its signal before there is a
// receive to end: so while a wait is on, each signal sets the timer again
// kRepeat later, and that receive ends one kRepeat late instead of never. A
// signal may also come late, from a deadline given up or a timer deleted,
// and end a wait early: callers take that as a deadline that found nothing
// due.
#ifndef VFIO_USER_DEADLINE_ALARM_H_
#define VFIO_USER_DEADLINE_ALARM_H_

#include <time.h>

#include <chrono>
#include <optional>

namespace vfio_user {

class DeadlineAlarm {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::microseconds kRepeat{200};

  explicit DeadlineAlarm(int socket) : socket_(socket) {}
  ~DeadlineAlarm();
  DeadlineAlarm(const DeadlineAlarm&) = delete;
  DeadlineAlarm& operator=(const DeadlineAlarm&) = delete;

  // Returns whether the timer is set to fire at deadline and a wait has
  // begun, so the caller may look at the clock and block in a receive;
  // false if the timer, its signal or the socket's time-out cannot be had
  // (the caller waits some other way).
  bool begin_wait(Clock::time_point deadline);
  // Returns whether the timer fired since begin_wait(), ending the wait.
  bool end_wait();

 private:
  // Returns whether the timer, the handler and the socket's time-out are
  // ready, making them at the first call.
  bool prepare();

  int socket_;                                // not owned
  std::optional<timer_t> timer_;              // made by the first arm
  bool failed_ = false;                       // making it failed: never again
  std::optional<Clock::time_point> armed_;    // deadline the timer was last set to
};

}  // namespace vfio_user

#endif  // VFIO_USER_DEADLINE_ALARM_H_
