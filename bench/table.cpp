#include "table.h"

#include <sched.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <expected>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "bench_util.h"
#include "requests.h"
#include "servers.h"

namespace zephon_bench {

namespace {

namespace fs = std::filesystem;

// No one measurement may take longer than this, whatever its count.
constexpr double kMeasurementLimitS = 20.0;

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

}  // namespace

int run_table(const TableOptions& options) {
  const auto placement = place(options.cpu);
  if (!placement) return failure(fmt::format("cannot bind to a CPU: {}", placement.error()));
  const fs::path dir = make_temp_dir();
  if (dir.empty()) return failure("cannot make a temporary directory");
  const fs::path rom = write_rom(dir);

  std::vector<Row> rows = {
      {"config-space read, 4 B", Op::ConfigRead, false, 0.85, options.requests},
      {"BAR 2 read, 4 B, log to file", Op::Bar2Read, false, 0.80, options.requests},
      {"BAR 2 write, 4 B, log to file", Op::Bar2Write, false, 0.80, options.requests},
      {"BAR 2 read, 4 B, log to /dev/null", Op::Bar2Read, true, 0, options.requests},
      {"BAR 2 write, 4 B, log to /dev/null", Op::Bar2Write, true, 0, options.requests},
      {"BAR 0 read, 4 B", Op::Bar0Read, false, 0, options.requests},
      {"ROM read, 64 KiB (MB/s)", Op::RomRead, false, 0.8, options.rom_requests},
      {"posted BAR 2 write stream, log to file (writes/s)", Op::PostedWrite, false, 0.85, options.stream},
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

}  // namespace zephon_bench
