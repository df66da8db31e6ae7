// zephon_bench: round trips per second and latency of zephon, side by side
// with bench/reference_server (the least a server could do) in one run, over
// the project's own vfio-user client.
//
//   zephon_bench [--requests N] [--rom-requests N] [--stream N] [--repetitions R]
//                [--cpu N | --no-pin]
//       the comparison table (markdown), one row per request kind; the client
//       and the servers share one CPU (the highest available, or N)
//   zephon_bench --rss [--count N]
//       zephon's peak RSS after 1 000 and after N (1 000 000) requests
//   zephon_bench --drive KIND --socket PATH --count N [--handshake]
//       N requests of one kind against a server already listening at PATH;
//       bench/count_syscalls.sh runs the servers under strace around this
//
// Why a hand-timed loop and not Google Benchmark: each measurement drives a
// live server process over a socket, and zephon and the reference must take
// turns within one repetition so that the machine's drift hits both alike.
// Every loop is bounded in count and in time, and every socket wait has the
// client's time-out.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "client.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using vfio_user_client::Client;

constexpr std::uint32_t kRegionBar0 = 0;
constexpr std::uint32_t kRegionBar2 = 2;
constexpr std::uint32_t kRegionRom = 6;
constexpr std::uint32_t kRegionConfig = 7;
constexpr std::size_t kRomRead = 64 * 1024;
constexpr std::uint64_t kBar2Registers = 65536;
constexpr int kClientTimeoutMs = 10'000;
constexpr auto kStartLimit = std::chrono::seconds(10);
constexpr auto kExitLimit = std::chrono::seconds(30);
// No one measurement may take longer than this, whatever its count.
constexpr double kMeasurementLimitS = 20.0;

// ---------------------------------------------------------------------------
// Request kinds

enum class Op { ConfigRead, Bar2Read, Bar2Write, PostedWrite, Bar0Read, RomRead };

struct OpName {
  Op op;
  std::string_view name;  // as --drive takes it
};
constexpr OpName kOpNames[] = {
    {Op::ConfigRead, "config-read"}, {Op::Bar2Read, "bar2-read"},  {Op::Bar2Write, "bar2-write"},
    {Op::PostedWrite, "bar2-posted-write"}, {Op::Bar0Read, "bar0-read"}, {Op::RomRead, "rom-read"},
};

std::optional<Op> op_named(std::string_view name) {
  for (const auto& o : kOpNames) {
    if (o.name == name) return o.op;
  }
  return std::nullopt;
}

// Buffers of the requests, made once so the timed loops allocate nothing.
struct Buffers {
  std::array<std::uint8_t, 4> word{};
  std::vector<std::uint8_t> rom = std::vector<std::uint8_t>(kRomRead);
};

// Returns success after request number i of the kind (posted writes are only
// sent; their stream is closed by sync()).
std::expected<void, std::string> issue(Client& client, Op op, std::uint64_t i, Buffers& b) {
  const std::uint64_t reg_offset = 4 * (i % kBar2Registers);
  switch (op) {
    case Op::ConfigRead: return client.region_read_into(kRegionConfig, 0, b.word);
    case Op::Bar2Read: return client.region_read_into(kRegionBar2, reg_offset, b.word);
    case Op::Bar0Read: return client.region_read_into(kRegionBar0, reg_offset, b.word);
    case Op::RomRead: return client.region_read_into(kRegionRom, 0, b.rom);
    case Op::Bar2Write:
    case Op::PostedWrite: {
      std::array<std::uint8_t, 4> value{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8),
                                        static_cast<std::uint8_t>(i >> 16), 0x5a};
      return client.region_write_from(kRegionBar2, reg_offset, value, op == Op::PostedWrite);
    }
  }
  return std::unexpected("unknown request kind");
}

// Returns success once everything sent before has been handled: one read,
// which the server answers only after the posted writes ahead of it.
std::expected<void, std::string> sync(Client& client, Buffers& b) {
  return client.region_read_into(kRegionBar2, 0, b.word);
}

// ---------------------------------------------------------------------------
// Server processes

// A server started by this program; killed and reaped if still running when
// destroyed. Only this child is ever signalled.
class Child {
 public:
  Child() = default;
  Child(Child&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
  Child& operator=(Child&&) = delete;
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  // Returns the started program (its standard output and error go to the
  // files named; NO_COLOR=1 in its environment), or why not.
  static std::expected<Child, std::string> start(const std::vector<std::string>& args, const std::string& out,
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

  pid_t pid() const { return pid_; }

  // Returns the exit status (128 + signal), or nullopt if the child did not
  // end in time (it is then killed).
  std::optional<int> wait(std::chrono::milliseconds limit = kExitLimit) {
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

 private:
  pid_t pid_ = -1;  // -1 once reaped
};

bool wait_for_path(const fs::path& path) {
  const auto deadline = Clock::now() + kStartLimit;
  while (Clock::now() < deadline) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(path, ec))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

// Returns a client connected to the socket once it exists, after the
// version handshake when asked for.
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

struct Server {
  std::string label;
  Child process;
  Client client;
  std::uint64_t bar2_accesses = 0;  // what its log must show
};

std::expected<Server, std::string> start_zephon(const fs::path& dir, std::string label, const std::string& log,
                                                const fs::path& rom) {
  const fs::path socket = dir / (label + ".sock");
  auto child = Child::start({ZEPHON_BINARY, socket.string(), rom.string()}, "/dev/null", log);
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

// Returns success once the server, its client closed, exited with status 0.
std::expected<void, std::string> finish(Server& server) {
  server.client.close();
  auto status = server.process.wait();
  if (!status) return std::unexpected(server.label + " did not exit after the client closed");
  if (*status != 0) return std::unexpected(fmt::format("{} exited with status {}", server.label, *status));
  return {};
}

// ---------------------------------------------------------------------------
// Measuring

struct Sample {
  double rate = 0;     // requests per second (MB/s for ROM reads)
  double mean_us = NAN;
  double p99_us = NAN;
};

double percentile(std::vector<float>& v, double p) {
  if (v.empty()) return NAN;
  const auto k = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size()))) - 1;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

// Returns status after printing message on standard error.
int failure(std::string_view message, int status = 1) {
  fmt::print(stderr, "zephon_bench: {}\n", message);
  return status;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Returns the sample of up to count requests of the kind, one after another;
// a posted-write stream is count writes then one read, timed as a whole.
std::expected<Sample, std::string> measure(Server& server, Op op, std::size_t count, Buffers& b,
                                           std::vector<float>& latency) {
  latency.clear();
  std::size_t done = 0;
  const auto start = Clock::now();
  if (op == Op::PostedWrite) {
    for (; done < count; ++done) {
      if ((done & 1023) == 0 && seconds_since(start) > kMeasurementLimitS) break;
      if (auto r = issue(server.client, op, done, b); !r) return std::unexpected(r.error());
    }
    if (auto r = sync(server.client, b); !r) return std::unexpected(r.error());
    server.bar2_accesses += done + 1;
    return Sample{static_cast<double>(done) / seconds_since(start)};
  }
  auto before = start;
  for (; done < count; ++done) {
    if ((done & 255) == 0 && std::chrono::duration<double>(before - start).count() > kMeasurementLimitS) break;
    if (auto r = issue(server.client, op, done, b); !r) return std::unexpected(r.error());
    const auto after = Clock::now();
    latency.push_back(std::chrono::duration<float, std::micro>(after - before).count());
    before = after;
  }
  const double elapsed = std::chrono::duration<double>(before - start).count();
  if (op == Op::Bar2Read || op == Op::Bar2Write) server.bar2_accesses += done;
  Sample s;
  s.rate = static_cast<double>(done) / elapsed;
  if (op == Op::RomRead) s.rate *= static_cast<double>(kRomRead) / 1e6;
  double sum = 0;
  for (float l : latency) sum += l;
  s.mean_us = sum / static_cast<double>(latency.size());
  s.p99_us = percentile(latency, 0.99);
  return s;
}

double median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// One row of the table: a request kind on one zephon, against the reference.
struct Row {
  std::string_view name;
  Op op;
  bool null_log;  // the zephon whose log goes to /dev/null
  double target;  // least ratio asked for; 0 for none
  std::size_t count;
  std::vector<Sample> zephon = {}, reference = {}, framed = {};
  std::vector<double> ratios = {};         // zephon / reference, per repetition
  std::vector<double> framed_ratios = {};  // zephon / framed reference
  std::vector<double> framed_limits = {};  // framed reference / reference
};

struct Options {
  // Short measurements (some 20 ms) and many repetitions: on a shared
  // machine the two halves of a pair then see the same conditions, and a
  // disturbance spoils a few pairs, which the median leaves out.
  std::size_t requests = 2'000;
  std::size_t rom_requests = 500;
  std::size_t stream = 10'000;
  std::size_t repetitions = 61;
  bool rss = false;
  std::string drive;
  std::string socket;
  std::size_t count = 0;
  bool handshake = false;
  // The CPU that the client and every server share; -1 lets the scheduler
  // place them. Sharing one CPU is the default because on an idle virtual
  // machine the scheduler's placement decides the result: a server woken on
  // the other, halted vCPU pays tens of microseconds to be woken, and which
  // server happens to get that placement swamps the difference being
  // measured (ratios from 0.5 to 4 were seen). On one CPU a round trip is
  // two context switches plus what each server does, and that is compared.
  int cpu = -2;  // -2: the highest CPU this process may run on
};

// Returns a description of where the benchmark runs, after binding this
// process (and so every server it starts) to the chosen CPU.
std::expected<std::string, std::string> place(int cpu) {
  if (cpu == -1) return "placed by the scheduler";
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return std::unexpected(std::strerror(errno));
  if (cpu == -2) {
    for (int c = CPU_SETSIZE - 1; c >= 0; --c) {
      if (CPU_ISSET(c, &set)) {
        cpu = c;
        break;
      }
    }
  }
  if (cpu < 0 || cpu >= CPU_SETSIZE || !CPU_ISSET(cpu, &set)) {
    return std::unexpected(fmt::format("CPU {} is not available to this process", cpu));
  }
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (::sched_setaffinity(0, sizeof set, &set) != 0) return std::unexpected(std::strerror(errno));
  return fmt::format("client and servers on CPU {}", cpu);
}

std::string machine_line() {
  utsname u{};
  ::uname(&u);
  std::string model = "unknown CPU";
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.starts_with("model name")) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  return fmt::format("{}, {} online CPUs, Linux {}", model, ::sysconf(_SC_NPROCESSORS_ONLN), u.release);
}

// Returns v rounded, its thousands set apart with commas.
std::string fmt_rate(double v) {
  const std::string digits = fmt::format("{:.0f}", v);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0 && digits[i - 1] != '-') out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

std::string fmt_latency(const std::vector<Sample>& samples) {
  std::vector<double> mean, p99;
  for (const auto& s : samples) mean.push_back(s.mean_us), p99.push_back(s.p99_us);
  const double m = median(mean);
  if (std::isnan(m)) return "-";
  return fmt::format("{:.1f} / {:.1f}", m, median(p99));
}

// A bar per row: the ratio on a scale from 0 to 1 (the reference), with the
// target marked, so that the distance to both shows at a glance.
void print_chart(const std::vector<Row>& rows) {
  constexpr int kWidth = 50;
  std::size_t name_width = 0;
  for (const Row& row : rows) name_width = std::max(name_width, row.name.size());
  fmt::print("\nzephon / reference ('|' marks the target, the right edge is the reference):\n");
  for (const Row& row : rows) {
    const double ratio = median(row.ratios);
    const int filled = std::clamp(static_cast<int>(std::lround(ratio * kWidth)), 0, kWidth);
    const int mark = row.target > 0 ? static_cast<int>(std::lround(row.target * kWidth)) : -1;
    std::string bar;
    for (int i = 0; i < kWidth; ++i) {
      if (i == mark) bar += '|';
      else bar += i < filled ? '#' : '.';
    }
    fmt::print("  {:<{}}  {} {:.3f}\n", row.name, name_width, bar, ratio);
  }
}

fs::path make_temp_dir() {
  std::string pattern = (fs::temp_directory_path() / "zephon-bench.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

// A ROM image of 64 KiB whose bytes are not all alike.
fs::path write_rom(const fs::path& dir) {
  fs::path path = dir / "rom.bin";
  std::vector<char> rom(kRomRead);
  for (std::size_t i = 0; i < rom.size(); ++i) rom[i] = static_cast<char>(i * 7 + 1);
  rom[0] = 0x55, rom[1] = static_cast<char>(0xaa);
  std::ofstream(path, std::ios::binary).write(rom.data(), static_cast<std::streamsize>(rom.size()));
  return path;
}

std::uint64_t count_log_lines(const fs::path& log, std::string_view needle) {
  std::ifstream in(log);
  std::uint64_t n = 0;
  for (std::string line; std::getline(in, line);) n += line.find(needle) != std::string::npos;
  return n;
}

// Returns success after one repetition: fresh servers, a short warm-up, then
// every row once, zephon and the reference back to back. Fresh processes for
// each repetition, because the scheduler may keep a long-lived server on the
// other CPU from its client (a round trip then costs several times as much):
// that must spoil a few pairs, not a whole row.
std::expected<void, std::string> run_repetition(std::size_t rep, const fs::path& dir, const fs::path& rom,
                                                std::vector<Row>& rows, Buffers& buffers,
                                                std::vector<float>& latency, std::uint64_t& logged,
                                                std::uint64_t& expected) {
  const fs::path log = dir / "zephon.log";
  auto file = start_zephon(dir, "zephon-file", log.string(), rom);
  if (!file) return std::unexpected(file.error());
  auto null = start_zephon(dir, "zephon-null", "/dev/null", rom);
  if (!null) return std::unexpected(null.error());
  auto ref = start_reference(dir);
  if (!ref) return std::unexpected(ref.error());
  auto framed_file = start_framed(dir, "framed-file", (dir / "framed.log").string());
  if (!framed_file) return std::unexpected(framed_file.error());
  auto framed_null = start_framed(dir, "framed-null", "/dev/null");
  if (!framed_null) return std::unexpected(framed_null.error());

  // Warm-up: caches, and the first page faults of every buffer on all sides.
  for (const Row& row : rows) {
    Server& z = row.null_log ? *null : *file;
    Server& f = row.null_log ? *framed_null : *framed_file;
    for (Server* s : {&z, &*ref, &f}) {
      if (auto w = measure(*s, row.op, std::min<std::size_t>(row.count / 10 + 1, 500), buffers, latency); !w) {
        return std::unexpected(w.error());
      }
    }
  }
  for (Row& row : rows) {
    Server& z = row.null_log ? *null : *file;
    Server& f = row.null_log ? *framed_null : *framed_file;
    // Who goes first rotates, so none always inherits another's warmth or
    // its disturbance.
    std::array<Server*, 3> order = {&z, &*ref, &f};
    std::rotate(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(rep % 3), order.end());
    Sample zs, rs, fs;
    for (Server* server : order) {
      auto s = measure(*server, row.op, row.count, buffers, latency);
      if (!s) return std::unexpected(s.error());
      (server == &z ? zs : server == &*ref ? rs : fs) = *s;
    }
    row.zephon.push_back(zs);
    row.reference.push_back(rs);
    row.framed.push_back(fs);
    row.ratios.push_back(zs.rate / rs.rate);
    row.framed_ratios.push_back(zs.rate / fs.rate);
    row.framed_limits.push_back(fs.rate / rs.rate);
  }

  expected += file->bar2_accesses;
  for (auto* s : {&*file, &*null, &*ref, &*framed_file, &*framed_null}) {
    if (auto f = finish(*s); !f) return f;
  }
  logged += count_log_lines(log, "regs[");
  return {};
}

int run_table(const Options& options) {
  const auto placement = place(options.cpu);
  if (!placement) return failure(fmt::format("cannot bind to a CPU: {}", placement.error()));
  const fs::path dir = make_temp_dir();
  if (dir.empty()) return failure("cannot make a temporary directory");
  const fs::path rom = write_rom(dir);

  std::vector<Row> rows = {
      {"config-space read, 4 B", Op::ConfigRead, false, 0.85, options.requests},
      {"BAR 2 read, 4 B, log to file", Op::Bar2Read, false, 0.75, options.requests},
      {"BAR 2 write, 4 B, log to file", Op::Bar2Write, false, 0.75, options.requests},
      {"BAR 2 read, 4 B, log to /dev/null", Op::Bar2Read, true, 0, options.requests},
      {"BAR 2 write, 4 B, log to /dev/null", Op::Bar2Write, true, 0, options.requests},
      {"BAR 0 read, 4 B", Op::Bar0Read, false, 0, options.requests},
      {"ROM read, 64 KiB (MB/s)", Op::RomRead, false, 0.8, options.rom_requests},
      {"posted BAR 2 write stream, log to file (writes/s)", Op::PostedWrite, false, 0, options.stream},
  };

  Buffers buffers;
  std::vector<float> latency;
  latency.reserve(std::max(options.requests, options.rom_requests));
  std::uint64_t logged = 0, expected_lines = 0;
  for (std::size_t rep = 0; rep < options.repetitions; ++rep) {
    if (auto r = run_repetition(rep, dir, rom, rows, buffers, latency, logged, expected_lines); !r) {
      return failure(fmt::format("repetition {}: {}", rep + 1, r.error()));
    }
  }

  fmt::print("zephon vs reference server, {} repetitions, medians; {}; {}\n", options.repetitions, machine_line(),
             *placement);
  fmt::print("requests per measurement: {} (ROM reads {}, posted stream {} writes + 1 read)\n\n", options.requests,
             options.rom_requests, options.stream);
  fmt::print("| kind | zephon rt/s | ref rt/s | ratio | zephon mean / p99 µs | ref mean / p99 µs | target met? "
             "| framed ref rt/s | framed / ref | zephon / framed |\n");
  fmt::print("|---|---:|---:|---:|---:|---:|---|---:|---:|---:|\n");
  bool all_met = true;
  for (const Row& row : rows) {
    std::vector<double> zr, rr, fr;
    for (const auto& s : row.zephon) zr.push_back(s.rate);
    for (const auto& s : row.reference) rr.push_back(s.rate);
    for (const auto& s : row.framed) fr.push_back(s.rate);
    const double ratio = median(row.ratios);
    std::string verdict = "no target (reported)";
    if (row.target > 0) {
      const bool met = ratio >= row.target;
      all_met = all_met && met;
      verdict = fmt::format("≥ {:.2f}: {}", row.target, met ? "yes" : "NO");
    }
    fmt::print("| {} | {} | {} | {:.3f} | {} | {} | {} | {} | {:.3f} | {:.3f} |\n", row.name, fmt_rate(median(zr)),
               fmt_rate(median(rr)), ratio, fmt_latency(row.zephon), fmt_latency(row.reference), verdict,
               fmt_rate(median(fr)), median(row.framed_limits), median(row.framed_ratios));
  }
  fmt::print("\nratios: medians over the repetitions of one rate over another, the two run back to back.\n");
  fmt::print("framed ref: the reference reading each request as the protocol frames it (header by recvmsg, fixed\n"
             "part, data) and writing one log line per BAR 2 access, where zephon's log goes; nothing else.\n"
             "framed / ref is the most any server that reads and logs that way reaches in the ratio column.\n");
  print_chart(rows);
  fmt::print("zephon's log files: {} register lines for {} BAR 2 accesses ({})\n", logged, expected_lines,
             logged == expected_lines ? "all logged" : "MISMATCH");
  fs::remove_all(dir);
  return all_met && logged == expected_lines ? 0 : 3;
}

// ---------------------------------------------------------------------------
// Peak RSS

struct Memory {
  std::uint64_t hwm_kib = 0, rss_kib = 0;
};

std::optional<Memory> memory_of(pid_t pid) {
  std::ifstream status(fmt::format("/proc/{}/status", pid));
  Memory m;
  bool found = false;
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) m.hwm_kib = std::strtoull(line.c_str() + 6, nullptr, 10), found = true;
    if (line.starts_with("VmRSS:")) m.rss_kib = std::strtoull(line.c_str() + 6, nullptr, 10);
  }
  if (!found) return std::nullopt;
  return m;
}

int run_rss(const Options& options) {
  const fs::path dir = make_temp_dir();
  if (dir.empty()) return failure("cannot make a temporary directory");
  const fs::path rom = write_rom(dir);
  auto z = start_zephon(dir, "zephon-rss", "/dev/null", rom);
  if (!z) return failure(z.error());

  // Every kind in turn; a posted write is followed by a read, which keeps the
  // client from running ahead.
  constexpr Op kMix[] = {Op::ConfigRead, Op::Bar2Write, Op::Bar2Read, Op::PostedWrite, Op::Bar0Read, Op::RomRead};
  Buffers buffers;
  constexpr std::size_t kFirst = 1'000;
  const std::size_t total = std::max(options.count == 0 ? 1'000'000 : options.count, kFirst);
  const auto start = Clock::now();
  std::optional<Memory> early;
  std::size_t done = 0;
  for (; done < total; ++done) {
    if (done == kFirst) early = memory_of(z->process.pid());
    if ((done & 1023) == 0 && seconds_since(start) > 600) break;
    if (auto r = issue(z->client, kMix[done % std::size(kMix)], done, buffers); !r) {
      return failure(fmt::format("request {}: {}", done, r.error()));
    }
  }
  if (auto r = sync(z->client, buffers); !r) return failure(r.error());
  const auto late = memory_of(z->process.pid());
  const double elapsed = seconds_since(start);
  if (auto f = finish(*z); !f) return failure(f.error());
  fs::remove_all(dir);
  if (!early || !late) return failure("cannot read /proc/PID/status");

  const auto growth = static_cast<std::int64_t>(late->hwm_kib) - static_cast<std::int64_t>(early->hwm_kib);
  const bool met = growth <= 1024;
  fmt::print("zephon peak RSS (VmHWM), requests of every kind in turn (config read, BAR 2 write, BAR 2 read,\n"
             "posted BAR 2 write, BAR 0 read, 64 KiB ROM read), log to /dev/null:\n");
  fmt::print("| after | VmHWM KiB | VmRSS KiB |\n|---:|---:|---:|\n");
  fmt::print("| {} requests | {} | {} |\n", fmt_rate(kFirst), early->hwm_kib, early->rss_kib);
  fmt::print("| {} requests | {} | {} |\n", fmt_rate(static_cast<double>(done)), late->hwm_kib, late->rss_kib);
  fmt::print("growth of the peak: {} KiB (target: within 1024 KiB): {}  [{:.1f} s]\n", growth, met ? "met" : "NOT met",
             elapsed);
  return met && done == total ? 0 : 3;
}

// ---------------------------------------------------------------------------
// One kind against a server somebody else started (for the syscall counts)

int run_drive(const Options& options) {
  auto op = op_named(options.drive);
  if (!op) return failure(fmt::format("unknown kind {}", options.drive), 2);
  auto client = connect_to(options.socket, options.handshake);
  if (!client) return failure(client.error());
  Buffers buffers;
  const auto start = Clock::now();
  for (std::size_t i = 0; i < options.count; ++i) {
    if ((i & 255) == 0 && seconds_since(start) > 300) return failure("out of time");
    if (auto r = issue(*client, *op, i, buffers); !r) return failure(r.error());
  }
  // Every run ends with one read, so that the posted writes are all handled
  // before the connection closes and so that the runs differ only by count.
  if (auto r = sync(*client, buffers); !r) return failure(r.error());
  const double elapsed = seconds_since(start);
  client->close();
  fmt::print("{} {} requests + 1 read in {:.3f} s: {:.2f} us per request\n", options.count, options.drive, elapsed,
             elapsed * 1e6 / static_cast<double>(std::max<std::size_t>(options.count, 1)));
  return 0;
}

std::optional<Options> parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    auto number = [&](std::size_t& out) {
      if (i + 1 >= argc) return false;
      char* end = nullptr;
      out = std::strtoull(argv[++i], &end, 10);
      return *end == '\0';
    };
    auto text = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    bool ok = true;
    if (a == "--requests") ok = number(o.requests);
    else if (a == "--rom-requests") ok = number(o.rom_requests);
    else if (a == "--stream") ok = number(o.stream);
    else if (a == "--repetitions") ok = number(o.repetitions);
    else if (a == "--rss") o.rss = true;
    else if (a == "--drive") ok = text(o.drive);
    else if (a == "--socket") ok = text(o.socket);
    else if (a == "--count") ok = number(o.count);
    else if (a == "--handshake") o.handshake = true;
    else if (a == "--no-pin") o.cpu = -1;
    else if (a == "--cpu") {
      std::size_t cpu = 0;
      ok = number(cpu) && cpu < CPU_SETSIZE;
      o.cpu = static_cast<int>(cpu);
    }
    else ok = false;
    if (!ok) return std::nullopt;
  }
  if (o.repetitions == 0 || o.requests == 0) return std::nullopt;
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  auto options = parse(argc, argv);
  if (!options) {
    fmt::print(stderr,
               "usage: zephon_bench [--requests N] [--rom-requests N] [--stream N] [--repetitions R]\n"
               "                    [--cpu N | --no-pin]\n"
               "       zephon_bench --rss [--count N]\n"
               "       zephon_bench --drive KIND --socket PATH --count N [--handshake]\n"
               "KIND: config-read bar2-read bar2-write bar2-posted-write bar0-read rom-read\n");
    return 2;
  }
  if (!options->drive.empty()) return run_drive(*options);
  if (options->rss) return run_rss(*options);
  return run_table(*options);
}
