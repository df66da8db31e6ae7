// The receive that ends at a deadline: its timer is set once per deadline
// and interrupts the receive by a signal, so what a fired timer leaves
// behind must not end a later wait early for good, hold input back, or
// break other calls the signal lands in.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

#include "socket_transport.h"
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

// Returns the error of a receive_by that received something, or how many
// bytes it took as a negative number, so expectations read as one value.
int outcome(vfio_user::SocketTransport& transport, Clock::time_point deadline) {
  std::uint8_t buf[16];
  vfio_user::FdList fds;
  auto got = transport.receive_by(buf, fds, deadline);
  return got ? -static_cast<int>(got->size) : got.error();
}

// Starts a child that, after delay, writes a byte to fd (or with fd -1
// sends the parent SIGUSR1); returns its pid.
pid_t later(std::chrono::milliseconds delay, int fd) {
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child == 0) {
    ::usleep(static_cast<useconds_t>(delay.count() * 1000));
    if (fd < 0) _exit(::kill(parent, SIGUSR1) == 0 ? 0 : 1);
    _exit(::write(fd, "x", 1) == 1 ? 0 : 1);
  }
  return child;
}

void expect_exited_well(pid_t child) {
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
}

// The whole contract, run in this process and, with RLIMIT_SIGPENDING 0 so
// that no timer can be made, in a child that waits by ppoll instead.
void deadlines_pass_and_input_goes_first() {
  Pair pair;
  vfio_user::SocketTransport transport(pair.ours.get());
  // A deadline in the past (the clock's epoch too, which must not disarm
  // the timer) ends the wait at once.
  EXPECT_EQ(outcome(transport, Clock::time_point{}), ETIME);
  EXPECT_EQ(outcome(transport, Clock::now() - 1s), ETIME);

  const auto start = Clock::now();
  EXPECT_EQ(outcome(transport, start + 20ms), ETIME);
  EXPECT_GE(Clock::now() - start, 20ms);
  // The same deadline, passed, still ends a wait at once.
  EXPECT_EQ(outcome(transport, start + 20ms), ETIME);
  // A later deadline waits again.
  const auto next = Clock::now();
  EXPECT_EQ(outcome(transport, next + 20ms), ETIME);
  EXPECT_GE(Clock::now() - next, 20ms);

  // Input waiting is taken, also when the deadline has passed as well.
  pair.send_byte();
  EXPECT_EQ(outcome(transport, Clock::now() + 10s), -1);
  pair.send_byte();
  EXPECT_EQ(outcome(transport, Clock::now() - 1s), -1);

  // Input that comes during the wait ends it, long before the deadline.
  const auto waited = Clock::now();
  const pid_t child = later(20ms, pair.theirs.get());
  ASSERT_GE(child, 0);
  EXPECT_EQ(outcome(transport, waited + 10s), -1);
  EXPECT_LT(Clock::now() - waited, 5s);
  expect_exited_well(child);

  // The end of the stream is input too.
  pair.theirs.reset();
  EXPECT_EQ(outcome(transport, Clock::now() + 10s), 0);
}

TEST(DeadlineReceive, DeadlinesPassWithoutInputAndInputGoesFirst) { deadlines_pass_and_input_goes_first(); }

TEST(DeadlineReceive, WithoutTimersItWaitsByPoll) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit none{0, 0};
    if (::setrlimit(RLIMIT_SIGPENDING, &none) != 0) _exit(2);
    deadlines_pass_and_input_goes_first();
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  expect_exited_well(child);
}

TEST(DeadlineReceive, AnInheritedSignalMaskDoesNotHoldTheDeadlineBack) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::alarm(5);  // a wait the signal cannot end fails the test, not the suite
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGRTMIN);
    ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
    Pair pair;
    vfio_user::SocketTransport transport(pair.ours.get());
    _exit(outcome(transport, Clock::now() + 20ms) == ETIME ? 0 : 1);
  }
  expect_exited_well(child);
}

extern "C" void on_usr1(int) {}

TEST(DeadlineReceive, TheTimerSignalDisturbsNothingElse) {
  Pair pair;
  vfio_user::SocketTransport transport(pair.ours.get());
  // Input there ends the wait with the timer still set, 20 ms out.
  pair.send_byte();
  EXPECT_EQ(outcome(transport, Clock::now() + 20ms), -1);
  // Its signal lands in a plain receive, which goes on to take the byte
  // that comes after it.
  const pid_t writer = later(60ms, pair.theirs.get());
  ASSERT_GE(writer, 0);
  std::uint8_t buf[4];
  vfio_user::FdList fds;
  auto got = transport.receive(buf, fds, vfio_user::Wait::Yes);
  ASSERT_TRUE(got.has_value()) << got.error();
  EXPECT_EQ(got->size, 1u);
  expect_exited_well(writer);

  // Another signal ends the wait as itself, not as the deadline.
  struct sigaction action{}, saved{};
  action.sa_handler = on_usr1;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &saved), 0);
  const pid_t signaller = later(20ms, -1);
  ASSERT_GE(signaller, 0);
  EXPECT_EQ(outcome(transport, Clock::now() + 10s), EINTR);
  expect_exited_well(signaller);
  ::sigaction(SIGUSR1, &saved, nullptr);
  // And the deadline after it is kept.
  const auto start = Clock::now();
  EXPECT_EQ(outcome(transport, start + 20ms), ETIME);
  EXPECT_GE(Clock::now() - start, 20ms);
}

}  // namespace
}  // namespace zephon_test
