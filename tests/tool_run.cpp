#include "tool_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "zephon_process.h"

namespace zephon_test {

ToolRun run_tool(const std::string& binary, const std::vector<std::string>& args, const std::filesystem::path& dir,
                 std::chrono::milliseconds limit, const std::filesystem::path& stdin_file,
                 const std::vector<std::pair<std::string, std::string>>& env) {
  const auto out_path = dir / "tool.out";
  const auto err_path = dir / "tool.err";
  std::vector<std::string> argv_text{binary};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int in = ::open(stdin_file.c_str(), O_RDONLY | O_CLOEXEC);
  const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ToolRun run;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
    ::execv(binary.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(in), ::close(out), ::close(err);
  if (pid < 0) return run;
  run.status = wait_child(pid, limit);
  if (run.status == -1) return run;
  run.out = read_file(out_path);
  run.err = read_file(err_path);
  return run;
}

int wait_child(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace zephon_test
