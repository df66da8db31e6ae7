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
#include <sched.h>
#include <signal.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "bench_util.h"
#include "requests.h"
#include "servers.h"
#include "table.h"

namespace {

using namespace zephon_bench;
namespace fs = std::filesystem;

struct Options {
  TableOptions table;
  bool rss = false;
  std::string drive;
  std::string socket;
  std::size_t count = 0;
  bool handshake = false;
};

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
    if (a == "--requests") ok = number(o.table.requests);
    else if (a == "--rom-requests") ok = number(o.table.rom_requests);
    else if (a == "--stream") ok = number(o.table.stream);
    else if (a == "--repetitions") ok = number(o.table.repetitions);
    else if (a == "--rss") o.rss = true;
    else if (a == "--drive") ok = text(o.drive);
    else if (a == "--socket") ok = text(o.socket);
    else if (a == "--count") ok = number(o.count);
    else if (a == "--handshake") o.handshake = true;
    else if (a == "--no-pin") o.table.cpu = -1;
    else if (a == "--cpu") {
      std::size_t cpu = 0;
      ok = number(cpu) && cpu < CPU_SETSIZE;
      o.table.cpu = static_cast<int>(cpu);
    }
    else ok = false;
    if (!ok) return std::nullopt;
  }
  if (o.table.repetitions == 0 || o.table.requests == 0) return std::nullopt;
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
  return run_table(options->table);
}
