// timer_bench: how late a device script's timer runs. The real zephon runs
// a script that keeps one timer going (each callback starts the next with
// after(), so every one is measured from its own start) and records how
// late each callback ran, by now(); the client first sends a stream of BAR 2
// reads, then nothing, and reads the figures back from the script's
// registers after each.
//
//   timer_bench [--period-us P] [--requests N] [--idle-ms T]
//
// The client and zephon share the highest-numbered CPU, as in the other
// benchmarks, so under the stream a callback waits for the request being
// served and for the client's turn on the CPU. Every socket wait has the
// client's time-out.
#include <sched.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "bench_util.h"
#include "requests.h"
#include "servers.h"

namespace {

using namespace zephon_bench;
namespace fs = std::filesystem;

constexpr const char* kUsage = "usage: timer_bench [--period-us P] [--requests N] [--idle-ms T]";

// The script: writing 0xff00 starts the timer; writing 0xff01 sorts the
// lateness of the callbacks since the last such write into registers
// 0xff02 (count), 0xff03 (median, ns) and 0xff04 (99th percentile, ns).
// Its registers lie where the stream of reads does not write.
constexpr const char* kScript = R"(
local period = {} * 1e-6
local late = {{}}
local function arm()
  local due = now() + period
  after(period, function()
    late[#late + 1] = now() - due
    arm()
  end)
end
on_write[0xff00] = function() arm() end
on_write[0xff01] = function()
  table.sort(late)
  regs[0xff02] = #late
  regs[0xff03] = #late > 0 and math.floor(late[(#late + 1) // 2] * 1e9) or 0
  regs[0xff04] = #late > 0 and math.floor(late[math.max(1, math.ceil(#late * 0.99))] * 1e9) or 0
  late = {{}}
end
)";

struct Lateness {
  std::uint32_t count = 0;
  double median_us = 0;
  double p99_us = 0;
};

// Returns the figures the script gathered since the last call.
std::expected<Lateness, std::string> collect(vfio_user_client::Client& client) {
  if (auto w = client.write32(2, 4 * 0xff01, 1); !w) return std::unexpected(w.error());
  std::uint32_t values[3];
  for (int i = 0; i < 3; ++i) {
    auto v = client.read32(2, 4 * (0xff02 + i));
    if (!v) return std::unexpected(v.error());
    values[i] = *v;
  }
  return Lateness{values[0], values[1] / 1000.0, values[2] / 1000.0};
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t period_us = 1000;
  std::size_t requests = 100'000;
  std::size_t idle_ms = 2000;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--period-us") period_us = std::strtoull(argv[i + 1], nullptr, 10);
    else if (a == "--requests") requests = std::strtoull(argv[i + 1], nullptr, 10);
    else if (a == "--idle-ms") idle_ms = std::strtoull(argv[i + 1], nullptr, 10);
    else return failure(kUsage, 2);
  }
  if (argc % 2 == 0) return failure(kUsage, 2);
  period_us = std::clamp<std::size_t>(period_us, 10, 1'000'000);
  requests = std::clamp<std::size_t>(requests, 1, 10'000'000);
  idle_ms = std::clamp<std::size_t>(idle_ms, 1, 600'000);
  const int cpu = pin_to_last_cpu();

  const fs::path dir = make_temp_dir();
  if (dir.empty()) return failure("cannot make a temporary directory");
  const fs::path rom = write_rom(dir);
  const std::string script = (dir / "timer.lua").string();
  std::ofstream(script) << fmt::format(kScript, period_us);
  ::setenv("ZEPHON_SCRIPT", script.c_str(), 1);
  auto server = start_zephon(dir, "zephon", (dir / "zephon.log").string(), rom);
  ::unsetenv("ZEPHON_SCRIPT");
  if (!server) return failure(server.error());
  vfio_user_client::Client& client = server->client;

  if (auto w = client.write32(2, 4 * 0xff00, 1); !w) return failure(w.error());
  Buffers buffers;
  const auto start = Clock::now();
  for (std::size_t i = 0; i < requests; ++i) {
    if (auto sent = issue(client, Op::Bar2Read, i, buffers); !sent) return failure(sent.error());
  }
  const double stream_seconds = seconds_since(start);
  auto busy = collect(client);
  if (!busy) return failure(busy.error());
  std::this_thread::sleep_for(std::chrono::milliseconds(idle_ms));
  auto idle = collect(client);
  if (!idle) return failure(idle.error());
  if (auto done = finish(*server); !done) return failure(done.error());
  fs::remove_all(dir);

  fmt::print("timer period {} us, client and zephon on CPU {}\n\n", period_us, cpu);
  fmt::print("| while | callbacks | lateness, median | lateness, 99th percentile |\n|---|---:|---:|---:|\n");
  fmt::print("| {} BAR 2 reads ({} rt/s) | {} | {:.1f} us | {:.1f} us |\n", fmt_rate(static_cast<double>(requests)),
             fmt_rate(static_cast<double>(requests) / stream_seconds), busy->count, busy->median_us, busy->p99_us);
  fmt::print("| no requests ({} ms) | {} | {:.1f} us | {:.1f} us |\n", idle_ms, idle->count, idle->median_us,
             idle->p99_us);
  return 0;
}
