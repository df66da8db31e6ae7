// InputWaiter waits until a socket has input or a deadline passes, for a
// server whose backend keeps time of its own between requests.
//
// Contract: the socket stays the caller's and must outlive the waiter. The
// kernel timer behind the deadline is armed only when the deadline changes,
// not on every wait: a wait with a time-out would arm (and, in a virtual
// machine, program) a timer each time, which costs a stream of requests
// served one at a time several per cent of its rate. An epoll set of the
// socket and a timerfd is made at the first wait; should that fail, each
// wait falls back to ppoll with a time-out.
#ifndef VFIO_USER_INPUT_WAITER_H_
#define VFIO_USER_INPUT_WAITER_H_

#include <chrono>
#include <expected>
#include <optional>

#include "vfio_user/unique_fd.h"

namespace vfio_user {

class InputWaiter {
 public:
  explicit InputWaiter(int socket) : socket_(socket) {}

  // Returns true once the socket has input (bytes, the end of the stream or
  // an error), false once deadline has passed with none there, or an error
  // number: EINTR when a signal came first. Input that is there when the
  // deadline has passed too is reported as input.
  std::expected<bool, int> wait(std::chrono::steady_clock::time_point deadline);

 private:
  // Returns whether the epoll set and its timer are ready for use.
  bool prepare();
  // Returns wait()'s answer from one ppoll with the time left.
  std::expected<bool, int> poll_until(std::chrono::steady_clock::time_point deadline);

  int socket_;          // not owned
  UniqueFd epoll_;      // the socket and timer_, made by the first wait
  UniqueFd timer_;      // timerfd on the monotonic clock, armed for armed_
  bool failed_ = false;  // making them failed once: ppoll from then on
  std::optional<std::chrono::steady_clock::time_point> armed_;  // deadline timer_ is set to
};

}  // namespace vfio_user

#endif  // VFIO_USER_INPUT_WAITER_H_
