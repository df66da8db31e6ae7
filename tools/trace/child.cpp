#include "child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>

#include "file.h"

namespace zephon_trace {

std::optional<std::string> find_on_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    const std::size_t colon = dirs.find(':');
    const std::string_view dir = dirs.substr(0, colon);
    std::string candidate = fmt::format("{}/{}", dir.empty() ? std::string_view(".") : dir, name);
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string_view::npos) return std::nullopt;
    dirs.remove_prefix(colon + 1);
  }
}

std::expected<TempDir, std::string> TempDir::create(const std::string& prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = fmt::format("{}/{}.XXXXXX", tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp", prefix);
  if (::mkdtemp(pattern.data()) == nullptr) {
    return std::unexpected(fmt::format("cannot make a temporary directory {}: {}", pattern, std::strerror(errno)));
  }
  return TempDir(pattern);
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::expected<int, std::string> run_to_completion(const std::string& program, const std::vector<std::string>& args,
                                                  const std::filesystem::path& output_file,
                                                  std::chrono::milliseconds limit) {
  auto out = open_write(output_file.string());
  if (!out) return std::unexpected(fmt::format("cannot create {}: {}", output_file.string(), out.error()));
  File null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  std::vector<std::string> argv_text{program};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return std::unexpected(fmt::format("cannot start {}: {}", program, std::strerror(errno)));
  if (pid == 0) {
    if (null.get() >= 0) ::dup2(null.get(), 0);
    ::dup2(out->get(), 1);
    ::dup2(out->get(), 2);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) {
      return std::unexpected(fmt::format("waiting for {}: {}", program, std::strerror(errno)));
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      return std::unexpected(fmt::format("{} did not finish within {} s", program, limit.count() / 1000));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

}  // namespace zephon_trace
