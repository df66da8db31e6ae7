#include "trace_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>
#include <utility>

#include <fmt/format.h>

#include "zephon_process.h"

namespace zephon_test {

TraceRun run_trace_binary(const std::filesystem::path& dir, const std::vector<std::string>& args,
                          const std::filesystem::path& stdin_file,
                          const std::vector<std::pair<std::string, std::string>>& env,
                          std::chrono::milliseconds limit) {
  return run_tool(ZEPHON_TRACE_BINARY, args, dir, limit, stdin_file, env);
}

TraceChild::TraceChild(const std::filesystem::path& dir, const std::vector<std::string>& args)
    : out_path_(dir / "follow.out"), err_path_(dir / "follow.err") {
  // A child that has gone must fail the feeding, not kill the test.
  ::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> argv_text{ZEPHON_TRACE_BINARY};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return;
  int out = ::open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int err = ::open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(pipe_fds[0], 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::execv(ZEPHON_TRACE_BINARY, argv.data());
    ::_exit(127);
  }
  ::close(pipe_fds[0]), ::close(out), ::close(err);
  input_ = pipe_fds[1];
}

TraceChild::~TraceChild() {
  close_input();
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool TraceChild::feed(std::string_view text) {
  while (!text.empty() && input_ >= 0) {
    const ssize_t n = ::write(input_, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return text.empty();
}

void TraceChild::close_input() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

void TraceChild::signal(int number) {
  if (pid_ > 0) ::kill(pid_, number);
}

std::string TraceChild::out() const { return read_file(out_path_); }

bool TraceChild::wait_for_out(std::string_view needle, std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (out().find(needle) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

long TraceChild::peak_rss_kib() const {
  // The peak of the program's own memory: VmHWM starts afresh at exec, where
  // the rusage of a forked child also counts the test process it copied.
  const std::string status = read_file(fmt::format("/proc/{}/status", pid_));
  const auto at = status.find("VmHWM:");
  if (pid_ <= 0 || at == std::string::npos) return -1;
  return std::strtol(status.c_str() + at + 6, nullptr, 10);
}

TraceRun TraceChild::wait(std::chrono::milliseconds limit) {
  TraceRun run;
  if (pid_ <= 0) return run;
  run.status = wait_child(std::exchange(pid_, -1), limit);
  if (run.status == -1) return run;
  run.out = read_file(out_path_);
  run.err = read_file(err_path_);
  return run;
}

}  // namespace zephon_test
