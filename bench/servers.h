// The server processes the benchmark drives: zephon and the reference
// server, each started with its output going to named files and reached
// through a client of its own; and the files they need.
//
// Contract: a started server is killed and reaped if it is still running
// when its Child is destroyed; only processes started here are signalled.
// Every wait is bounded in time.
#ifndef ZEPHON_BENCH_SERVERS_H_
#define ZEPHON_BENCH_SERVERS_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client.h"

namespace zephon_bench {

// A server started by this program.
class Child {
 public:
  Child() = default;
  Child(Child&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
  Child& operator=(Child&&) = delete;
  ~Child();

  // Returns the started program (its standard output and error go to the
  // files named; NO_COLOR=1 in its environment), or why not.
  static std::expected<Child, std::string> start(const std::vector<std::string>& args, const std::string& out,
                                                 const std::string& err);

  pid_t pid() const { return pid_; }

  // Returns the exit status (128 + signal), or nullopt if the child did not
  // end in time (it is then killed).
  std::optional<int> wait(std::chrono::milliseconds limit = std::chrono::seconds(30));

 private:
  pid_t pid_ = -1;  // -1 once reaped
};

// A started server and the client connected to it.
struct Server {
  std::string label;
  Child process;
  vfio_user_client::Client client;
  std::uint64_t bar2_accesses = 0;  // what its log must show
};

// Returns a client connected to the socket once it exists, after the
// version handshake when asked for.
std::expected<vfio_user_client::Client, std::string> connect_to(const std::filesystem::path& socket, bool handshake);

// Returns zephon serving a socket in dir, its log going to the file log;
// binary names another build of it to run instead of this one's.
std::expected<Server, std::string> start_zephon(const std::filesystem::path& dir, std::string label,
                                                const std::string& log, const std::filesystem::path& rom,
                                                const std::string& binary = ZEPHON_BINARY);

// Returns the reference server (one read and one write per request).
std::expected<Server, std::string> start_reference(const std::filesystem::path& dir);

// Returns the framed reference, its log line going to the file log.
std::expected<Server, std::string> start_framed(const std::filesystem::path& dir, std::string label,
                                                const std::string& log);

// Returns success once the server, its client closed, exited with status 0.
std::expected<void, std::string> finish(Server& server);

// Returns a new temporary directory, or an empty path.
std::filesystem::path make_temp_dir();

// Returns the path of a 64 KiB ROM image written in dir, whose bytes are
// not all alike.
std::filesystem::path write_rom(const std::filesystem::path& dir);

}  // namespace zephon_bench

#endif  // ZEPHON_BENCH_SERVERS_H_
