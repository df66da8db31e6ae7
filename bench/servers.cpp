#include "servers.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cstring>
#include <fstream>
#include <string_view>
#include <thread>

#include "bench_util.h"
#include "requests.h"

extern char** environ;

namespace zephon_bench {

namespace fs = std::filesystem;
using vfio_user_client::Client;

namespace {

constexpr int kClientTimeoutMs = 10'000;
constexpr auto kStartLimit = std::chrono::seconds(10);

bool wait_for_path(const fs::path& path) {
  const auto deadline = Clock::now() + kStartLimit;
  while (Clock::now() < deadline) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(path, ec))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

}  // namespace

Child::~Child() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::expected<Child, std::string> Child::start(const std::vector<std::string>& args, const std::string& out,
                                               const std::string& err) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env_strings{"NO_COLOR=1"};
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string_view(*e).starts_with("NO_COLOR=")) continue;
    env_strings.emplace_back(*e);
  }
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  Child child;
  int rc = ::posix_spawn(&child.pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  ::posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    child.pid_ = -1;
    return std::unexpected(fmt::format("cannot start {}: {}", args[0], std::strerror(rc)));
  }
  return child;
}

std::optional<int> Child::wait(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return std::nullopt;
  const auto deadline = Clock::now() + limit;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) != pid_) {
    if (Clock::now() >= deadline) return std::nullopt;  // the destructor kills it
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::expected<Client, std::string> connect_to(const fs::path& socket, bool handshake) {
  if (!wait_for_path(socket)) return std::unexpected(fmt::format("no socket at {}", socket.string()));
  // The path appears at bind, a moment before the server listens.
  const auto deadline = Clock::now() + kStartLimit;
  auto client = Client::connect(socket.string(), kClientTimeoutMs);
  while (!client && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    client = Client::connect(socket.string(), kClientTimeoutMs);
  }
  if (!client) return client;
  if (handshake) {
    if (auto v = client->version(); !v) return std::unexpected("version handshake: " + v.error());
  }
  return client;
}

std::expected<Server, std::string> start_zephon(const fs::path& dir, std::string label, const std::string& log,
                                                const fs::path& rom, const std::string& binary) {
  const fs::path socket = dir / (label + ".sock");
  auto child = Child::start({binary, socket.string(), rom.string()}, "/dev/null", log);
  if (!child) return std::unexpected(child.error());
  auto client = connect_to(socket, true);
  if (!client) return std::unexpected(label + ": " + client.error());
  return Server{std::move(label), std::move(*child), std::move(*client)};
}

std::expected<Server, std::string> start_reference(const fs::path& dir) {
  const fs::path socket = dir / "reference.sock";
  const std::string err = (dir / "reference.err").string();
  auto child = Child::start({REFERENCE_BINARY, socket.string()}, "/dev/null", err);
  if (!child) return std::unexpected(child.error());
  auto client = connect_to(socket, false);
  if (!client) return std::unexpected("reference: " + client.error());
  return Server{"reference", std::move(*child), std::move(*client)};
}

// The framed reference logs where the zephon it is compared with does.
std::expected<Server, std::string> start_framed(const fs::path& dir, std::string label, const std::string& log) {
  const fs::path socket = dir / (label + ".sock");
  auto child = Child::start({REFERENCE_BINARY, socket.string(), "--framed"}, "/dev/null", log);
  if (!child) return std::unexpected(child.error());
  auto client = connect_to(socket, false);
  if (!client) return std::unexpected(label + ": " + client.error());
  return Server{std::move(label), std::move(*child), std::move(*client)};
}

std::expected<void, std::string> finish(Server& server) {
  server.client.close();
  auto status = server.process.wait();
  if (!status) return std::unexpected(server.label + " did not exit after the client closed");
  if (*status != 0) return std::unexpected(fmt::format("{} exited with status {}", server.label, *status));
  return {};
}

fs::path make_temp_dir() {
  std::string pattern = (fs::temp_directory_path() / "zephon-bench.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

fs::path write_rom(const fs::path& dir) {
  fs::path path = dir / "rom.bin";
  std::vector<char> rom(kRomRead);
  for (std::size_t i = 0; i < rom.size(); ++i) rom[i] = static_cast<char>(i * 7 + 1);
  rom[0] = 0x55, rom[1] = static_cast<char>(0xaa);
  std::ofstream(path, std::ios::binary).write(rom.data(), static_cast<std::streamsize>(rom.size()));
  return path;
}

}  // namespace zephon_bench
