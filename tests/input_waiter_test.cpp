// The wait for a socket's input or a deadline: the timer behind it is armed
// once per deadline, so what a fired or re-armed timer leaves behind must
// not end a later wait early or hold input back.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "input_waiter.h"
#include "vfio_user/unique_fd.h"

namespace zephon_test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Pair {
  vfio_user::UniqueFd ours, theirs;
  Pair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    ours.reset(fds[0]);
    theirs.reset(fds[1]);
  }
  void send_byte() { ASSERT_EQ(::write(theirs.get(), "x", 1), 1); }
};

TEST(InputWaiter, DeadlinesPassWithoutInputAndInputGoesFirst) {
  Pair pair;
  vfio_user::InputWaiter waiter(pair.ours.get());
  // A deadline in the past (the clock's epoch too, which must not disarm
  // the timer) ends the wait at once.
  EXPECT_EQ(waiter.wait(Clock::time_point{}), false);
  EXPECT_EQ(waiter.wait(Clock::now() - 1s), false);

  const auto start = Clock::now();
  EXPECT_EQ(waiter.wait(start + 20ms), false);
  EXPECT_GE(Clock::now() - start, 20ms);
  // The same deadline, passed, still ends a wait at once.
  EXPECT_EQ(waiter.wait(start + 20ms), false);

  // A later deadline waits again: the expiry of the last one is gone.
  const auto later = Clock::now();
  EXPECT_EQ(waiter.wait(later + 20ms), false);
  EXPECT_GE(Clock::now() - later, 20ms);

  // Input waiting is reported, also when the deadline has passed as well.
  pair.send_byte();
  EXPECT_EQ(waiter.wait(Clock::now() + 10s), true);
  EXPECT_EQ(waiter.wait(Clock::now() - 1s), true);
  pair.theirs.reset();
  char byte;
  ASSERT_EQ(::read(pair.ours.get(), &byte, 1), 1);
  // The end of the stream is input too.
  EXPECT_EQ(waiter.wait(Clock::now() + 10s), true);
}

TEST(InputWaiter, InputThatArrivesDuringTheWaitEndsIt) {
  Pair pair;
  vfio_user::InputWaiter waiter(pair.ours.get());
  EXPECT_EQ(waiter.wait(Clock::now() - 1s), false);  // the timer fired and stays so
  const auto start = Clock::now();
  // A deadline far away; the byte comes from a child process after 20 ms.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::usleep(20'000);
    _exit(::write(pair.theirs.get(), "x", 1) == 1 ? 0 : 1);
  }
  EXPECT_EQ(waiter.wait(start + 10s), true);
  EXPECT_LT(Clock::now() - start, 5s);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace zephon_test
