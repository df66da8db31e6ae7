#include "input_waiter.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>

#include <algorithm>
#include <cerrno>

namespace vfio_user {

namespace {

// Returns the deadline as the monotonic clock's absolute time, which is
// what steady_clock counts on Linux; never all zeros, which would disarm a
// timerfd instead of firing it at once.
timespec absolute(std::chrono::steady_clock::time_point deadline) {
  const auto since = std::max<std::chrono::nanoseconds>(deadline.time_since_epoch(), std::chrono::nanoseconds(1));
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
  return timespec{.tv_sec = static_cast<time_t>(seconds.count()),
                  .tv_nsec = static_cast<long>((since - seconds).count())};
}

}  // namespace

bool InputWaiter::prepare() {
  if (epoll_) return true;
  if (failed_) return false;
  UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
  UniqueFd timer(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
  epoll_event socket_event{.events = EPOLLIN, .data = {.fd = socket_}};
  epoll_event timer_event{.events = EPOLLIN, .data = {.fd = timer.get()}};
  if (!epoll || !timer || ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, socket_, &socket_event) != 0 ||
      ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, timer.get(), &timer_event) != 0) {
    failed_ = true;
    return false;
  }
  epoll_ = std::move(epoll);
  timer_ = std::move(timer);
  return true;
}

std::expected<bool, int> InputWaiter::wait(std::chrono::steady_clock::time_point deadline) {
  if (!prepare()) return poll_until(deadline);
  // Re-arming also clears an expiry the last deadline left; a deadline that
  // stays the same and has fired keeps the timer readable, so the wait
  // returns at once, as it should for a deadline in the past.
  if (deadline != armed_) {
    const itimerspec at{.it_interval = {}, .it_value = absolute(deadline)};
    if (::timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME, &at, nullptr) != 0) return poll_until(deadline);
    armed_ = deadline;
  }
  epoll_event events[2];
  const int n = ::epoll_wait(epoll_.get(), events, 2, -1);
  if (n < 0) return std::unexpected(errno);
  return std::any_of(events, events + n, [this](const epoll_event& e) { return e.data.fd == socket_; });
}

std::expected<bool, int> InputWaiter::poll_until(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::max<std::chrono::nanoseconds>(deadline - std::chrono::steady_clock::now(), std::chrono::nanoseconds(0));
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
  const timespec limit{.tv_sec = static_cast<time_t>(seconds.count()),
                       .tv_nsec = static_cast<long>((left - seconds).count())};
  pollfd ready{.fd = socket_, .events = POLLIN, .revents = 0};
  const int n = ::ppoll(&ready, 1, &limit, nullptr);
  if (n < 0) return std::unexpected(errno);
  return n == 1;
}

}  // namespace vfio_user
