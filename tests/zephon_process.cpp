#include "zephon_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace zephon_test {

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

ZephonProcess::ZephonProcess(const std::filesystem::path& dir, ProcessOptions options)
    : out_path_(dir / "stdout"), err_path_(dir / "stderr") {
  std::vector<std::string> argv_strings{options.argv0};
  argv_strings.insert(argv_strings.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (auto& a : argv_strings) argv.push_back(a.data());
  argv.push_back(nullptr);
  int out = options.stdout_fd >= 0 ? options.stdout_fd
                                   : ::open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int err = ::open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (options.no_color) ::setenv("NO_COLOR", "1", 1); else ::unsetenv("NO_COLOR");
    ::execv(options.binary.c_str(), argv.data());
    ::_exit(127);
  }
  if (options.stdout_fd < 0) ::close(out);
  ::close(err);
}

ZephonProcess::~ZephonProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool ZephonProcess::wait_for_path(const std::filesystem::path& path, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(path, ec))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::optional<int> ZephonProcess::wait(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return std::nullopt;
  auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  pid_ = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

void ZephonProcess::signal(int sig) const {
  if (pid_ > 0) ::kill(pid_, sig);
}

std::expected<vfio_user_client::Client, std::string> connect_when_listening(const std::string& path,
                                                                         std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    auto client = vfio_user_client::Client::connect(path, 10000);
    if (client || std::chrono::steady_clock::now() >= deadline) return client;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string ZephonProcess::out() const { return read_file(out_path_); }
std::string ZephonProcess::err() const { return read_file(err_path_); }

}  // namespace zephon_test
