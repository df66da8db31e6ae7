#include "trace_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "zephon_process.h"

namespace zephon_test {

TraceRun run_trace_binary(const std::filesystem::path& dir, const std::vector<std::string>& args,
                          const std::filesystem::path& stdin_file,
                          const std::vector<std::pair<std::string, std::string>>& env,
                          std::chrono::milliseconds limit) {
  const auto out_path = dir / "trace.out";
  const auto err_path = dir / "trace.err";
  std::vector<std::string> argv_text{ZEPHON_TRACE_BINARY};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  int in = ::open(stdin_file.c_str(), O_RDONLY | O_CLOEXEC);
  int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  TraceRun run;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
    ::execv(ZEPHON_TRACE_BINARY, argv.data());
    ::_exit(127);
  }
  ::close(in), ::close(out), ::close(err);
  if (pid < 0) return run;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    if (::waitpid(pid, &status, WNOHANG) == pid) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      return run;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = read_file(out_path);
  run.err = read_file(err_path);
  return run;
}

}  // namespace zephon_test
