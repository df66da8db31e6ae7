// parse_command_line in a child process: where help and errors go, the exit
// status, and when they are styled (terminals, pipes, NO_COLOR).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"
#include "cli_texts.h"

namespace zephon {
namespace {

// --- Process wrapper --------------------------------------------------------

std::string drain(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return text;  // end of file, or EIO once a terminal's other side is closed
    }
  }
}

struct Finished {
  int status = -1;  // exit status, or -1 if the child did not exit normally
  std::string out;
  std::string err;
};

// Runs parse_command_line(argv) in a child whose standard output and error
// are `out_fd` and `err_fd` (closed here afterwards) and whose NO_COLOR is
// `no_color` (unset when null); reads the other ends `out_read`/`err_read`.
Finished run_wrapper(std::vector<std::string> argv, int out_fd, int out_read, int err_fd, int err_read,
                     const char* no_color) {
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    if (no_color != nullptr) {
      setenv("NO_COLOR", no_color, 1);
    } else {
      unsetenv("NO_COLOR");
    }
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    parse_command_line(static_cast<int>(argv.size()), pointers.data());
    _exit(99);  // parse_command_line returned: the arguments were accepted
  }
  close(out_fd);
  close(err_fd);
  Finished finished;
  finished.out = drain(out_read);
  finished.err = drain(err_read);
  close(out_read);
  close(err_read);
  int wait_status = 0;
  if (waitpid(pid, &wait_status, 0) == pid && WIFEXITED(wait_status)) finished.status = WEXITSTATUS(wait_status);
  return finished;
}

Finished run_with_pipes(std::vector<std::string> argv) {
  int out[2];
  int err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return {};
  return run_wrapper(std::move(argv), out[1], out[0], err[1], err[0], nullptr);
}

TEST(ParseCommandLine, ReturnsPaths) {
  std::string program = "/usr/bin/zephon";
  std::string socket = "sock";
  std::string rom = "rom\xff";
  char* argv[] = {program.data(), socket.data(), rom.data(), nullptr};
  const Cli cli = parse_command_line(3, argv);
  EXPECT_EQ(cli.socket, "sock");
  EXPECT_EQ(cli.rom, "rom\xff");
}

TEST(ParseCommandLine, HelpGoesToStdoutWithStatusZero) {
  const Finished finished = run_with_pipes({"zephon", "--help"});
  EXPECT_EQ(finished.status, 0);
  EXPECT_EQ(finished.out, kHelp);
  EXPECT_EQ(finished.err, "");
}

TEST(ParseCommandLine, ErrorGoesToStderrWithStatusTwo) {
  const Finished finished = run_with_pipes({"zephon"});
  EXPECT_EQ(finished.status, 2);
  EXPECT_EQ(finished.out, "");
  EXPECT_EQ(finished.err, kMissingBoth);
}

TEST(ParseCommandLine, NoArgumentVectorAtAll) {
  const Finished finished = run_with_pipes({});
  EXPECT_EQ(finished.status, 2);
  EXPECT_EQ(finished.err, kMissingBoth);
}

// Both streams go to one terminal, so only NO_COLOR decides whether the text
// is styled, and everything written is read back as `out`.
struct TerminalCase {
  std::string name;
  std::vector<std::string> argv;
  const char* no_color;  // null: unset
  int status;
  std::string text;  // what was written, without escapes and with "\n" line ends
  bool styled;
};

void PrintTo(const TerminalCase& c, std::ostream* os) { *os << c.name; }

class TerminalTest : public testing::TestWithParam<TerminalCase> {};

// Returns `text` without the carriage returns a terminal puts before "\n".
std::string without_returns(std::string text) {
  std::erase(text, '\r');
  return text;
}

TEST_P(TerminalTest, StylesTerminalUnlessNoColor) {
  const TerminalCase& c = GetParam();
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  const Finished finished = run_wrapper(c.argv, terminal, master, dup(terminal), dup(master), c.no_color);
  EXPECT_EQ(finished.status, c.status);
  EXPECT_EQ(has_escape(finished.out), c.styled) << finished.out;
  EXPECT_EQ(strip_escapes(without_returns(finished.out)), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Cli, TerminalTest,
    testing::Values(TerminalCase{"HelpUnset", {"zephon", "-h"}, nullptr, 0, kHelp, true},
                    TerminalCase{"HelpEmpty", {"zephon", "-h"}, "", 0, kHelp, true},
                    TerminalCase{"HelpNoColor", {"zephon", "-h"}, "1", 0, kHelp, false},
                    TerminalCase{"ErrorUnset", {"zephon", "-x"}, nullptr, 2, pass_as_value("-x", "-x"), true},
                    TerminalCase{"ErrorNoColor", {"zephon", "-x"}, "true", 2, pass_as_value("-x", "-x"), false}),
    [](const testing::TestParamInfo<TerminalCase>& info) { return info.param.name; });

}  // namespace
}  // namespace zephon
