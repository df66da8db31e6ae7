#include "deadline_alarm.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>

#ifndef sigev_notify_thread_id
#define sigev_notify_thread_id _sigev_un._tid
#endif

namespace vfio_user {

namespace {

// What the handler sees, per thread (the timer signals the thread that
// waits), so that servers on several threads, as in the tests, keep apart.
thread_local volatile std::sig_atomic_t t_fired = 0;    // a timer signal came during the wait
thread_local volatile std::sig_atomic_t t_waiting = 0;  // a wait is on: repeat each signal
thread_local timer_t t_timer{};                          // the waiting alarm's timer

// Returns d as a timespec; never all zeros, which would disarm a timer
// instead of firing it at once.
timespec to_timespec(std::chrono::nanoseconds d) {
  d = std::max(d, std::chrono::nanoseconds(1));
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(d);
  return timespec{.tv_sec = static_cast<time_t>(seconds.count()), .tv_nsec = static_cast<long>((d - seconds).count())};
}

// A signal sent by anything but a timer (kill, say) is left to end the
// receive as any signal does, without counting as the deadline.
void on_timer(int, siginfo_t* info, void*) {
  if (info->si_code != SI_TIMER) return;
  t_fired = 1;
  if (t_waiting) {
    const itimerspec again{.it_interval = {}, .it_value = to_timespec(DeadlineAlarm::kRepeat)};
    ::timer_settime(t_timer, 0, &again, nullptr);
  }
}

// Returns whether SIGRTMIN is handled by on_timer, installing it once.
bool install_handler() {
  static const bool installed = [] {
    struct sigaction action{};
    action.sa_sigaction = on_timer;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGRTMIN, &action, nullptr) == 0;
  }();
  return installed;
}

// The socket's receive time-out: long enough never to end a wait (about
// 31 700 years), finite so that the kernel does not restart an interrupted
// receive.
constexpr timeval kReceiveTimeout{.tv_sec = 1'000'000'000'000, .tv_usec = 0};

}  // namespace

DeadlineAlarm::~DeadlineAlarm() {
  if (!timer_) return;
  ::timer_delete(*timer_);
  // Receives on the socket wait without end again, as before the alarm.
  const timeval none{};
  ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
}

bool DeadlineAlarm::prepare() {
  if (timer_) return true;
  if (failed_ || !install_handler()) {
    failed_ = true;
    return false;
  }
  // A mask inherited from whoever started the program must not hold the
  // signal back: the wait would then last until the next request.
  sigset_t ours;
  sigemptyset(&ours);
  sigaddset(&ours, SIGRTMIN);
  if (::pthread_sigmask(SIG_UNBLOCK, &ours, nullptr) != 0) {
    failed_ = true;
    return false;
  }
  sigevent event{};
  event.sigev_notify = SIGEV_THREAD_ID;
  event.sigev_signo = SIGRTMIN;
  event.sigev_notify_thread_id = ::gettid();
  timer_t timer;
  if (::timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) {
    failed_ = true;
    return false;
  }
  if (::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &kReceiveTimeout, sizeof kReceiveTimeout) != 0) {
    ::timer_delete(timer);
    failed_ = true;
    return false;
  }
  timer_ = timer;
  return true;
}

bool DeadlineAlarm::begin_wait(Clock::time_point deadline) {
  if (!prepare()) return false;
  if (deadline != armed_) {
    // steady_clock counts the monotonic clock's time on Linux.
    const itimerspec at{.it_interval = {}, .it_value = to_timespec(deadline.time_since_epoch())};
    if (::timer_settime(*timer_, TIMER_ABSTIME, &at, nullptr) != 0) {
      armed_.reset();
      return false;
    }
    armed_ = deadline;
  }
  t_timer = *timer_;
  std::atomic_signal_fence(std::memory_order_seq_cst);  // the handler must see the timer before the wait
  t_fired = 0;
  t_waiting = 1;
  return true;
}

bool DeadlineAlarm::end_wait() {
  t_waiting = 0;
  if (t_fired == 0) return false;
  // The handler may have set the timer again, away from armed_ (or a late
  // signal made it so): the next wait sets it whatever its deadline.
  armed_.reset();
  return true;
}

}  // namespace vfio_user
