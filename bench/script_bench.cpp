// script_bench: what device scripts cost per access. The real zephon
// runs side by side without a script and with four scripts, in one run,
// driven by the project's client over its socket:
//
//   other      hooks registers the benchmark never touches
//   constant   a `reads` constant on every accessed register
//   function   an `on_read` function on every accessed register
//   timer      a periodic timer pending (every 0.1 s), so that the loop
//              waits for the socket or its deadline between requests
//   replay     replay() of a recording that read each accessed register 16
//              times
//
//   script_bench [--requests N] [--repetitions R] [--baseline BINARY]
//
// --baseline adds another build of zephon (one from before device scripts,
// say) run without a script, to show what having scripts costs those who do
// not use them.
//
// Each repetition sends a block of N requests of each kind (BAR 2 reads and
// writes, configuration-space and ROM reads) to each server in turn (who
// goes first rotates); the table shows the median rates and the
// median of the paired ratios to the server without a script. The client
// and the servers share the highest-numbered CPU, as in zephon_bench. Every
// socket wait has the client's time-out.
#include <sched.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_util.h"
#include "requests.h"
#include "servers.h"

namespace {

using namespace zephon_bench;
namespace fs = std::filesystem;

struct Variant {
  std::string label;
  std::string script;  // empty: no script
  std::string binary = ZEPHON_BINARY;
};

constexpr const char* kUsage = "usage: script_bench [--requests N] [--repetitions R] [--baseline BINARY]";

const std::vector<Variant> kVariants = {
    {"no script", ""},
    {"script hooking other registers",
     "for i = 0xf000, 0xffff do reads[i] = i end\n"
     "for i = 0xe000, 0xefff do on_read[i] = function(v) return v + 1 end end\n"},
    {"reads constant on the accessed register", "for i = 0, 0xffff do reads[i] = 0x5a5a end\n"},
    {"on_read function on the accessed register",
     "local f = function(v) return v | 1 end\nfor i = 0, 0xffff do on_read[i] = f end\n"},
    {"periodic timer pending", "local ticks = 0\nevery(0.1, function() ticks = ticks + 1 end)\n"},
    {"replay of a recording on the accessed register", "replay('recording.log')\n"},
};

// Writes the recording the replay variant answers from: 16 rounds of reads
// of registers 0 to registers - 1, a different value each time.
void write_recording(const fs::path& path, std::size_t registers) {
  std::ofstream out(path);
  for (std::uint32_t round = 0; round < 16; ++round) {
    for (std::uint32_t reg = 0; reg < registers; ++reg) {
      out << fmt::format("2026-03-01T12:00:00.000000Z DEBUG zephon: Read  regs[{:#06x}] ({:#x}) = {:#010x}\n", reg,
                         4 * reg, round << 16 | reg);
    }
  }
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t requests = 2000;
  std::size_t repetitions = 15;
  std::vector<Variant> variants = kVariants;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--requests") requests = std::strtoull(argv[i + 1], nullptr, 10);
    else if (a == "--repetitions") repetitions = std::strtoull(argv[i + 1], nullptr, 10);
    else if (a == "--baseline") variants.push_back({"baseline build, no script", "", argv[i + 1]});
    else return failure(kUsage, 2);
  }
  if (argc % 2 == 0) return failure(kUsage, 2);
  requests = std::clamp<std::size_t>(requests, 1, 1'000'000);
  repetitions = std::clamp<std::size_t>(repetitions, 1, 1001);
  const int cpu = pin_to_last_cpu();

  const fs::path dir = make_temp_dir();
  if (dir.empty()) return failure("cannot make a temporary directory");
  const fs::path rom = write_rom(dir);
  // A block of requests goes through registers 0 to requests - 1.
  write_recording(dir / "recording.log", std::min<std::size_t>(requests, 65536));
  std::vector<Server> servers;
  for (std::size_t v = 0; v < variants.size(); ++v) {
    const std::string script = (dir / fmt::format("script{}.lua", v)).string();
    std::ofstream(script) << variants[v].script;
    ::setenv("ZEPHON_SCRIPT", variants[v].script.empty() ? "" : script.c_str(), 1);
    auto server = start_zephon(dir, fmt::format("zephon{}", v), (dir / fmt::format("zephon{}.log", v)).string(), rom,
                               variants[v].binary);
    ::unsetenv("ZEPHON_SCRIPT");
    if (!server) return failure(server.error());
    servers.push_back(std::move(*server));
  }

  struct Kind {
    Op op;
    const char* label;
  };
  // Configuration-space and ROM reads never reach a script: they show what
  // its check on every access costs.
  const Kind kinds[] = {{Op::Bar2Read, "BAR 2 read, 4 B, log to file"},
                        {Op::Bar2Write, "BAR 2 write, 4 B, log to file"},
                        {Op::ConfigRead, "configuration-space read, 4 B"},
                        {Op::RomRead, "ROM read, 64 KiB"}};
  constexpr std::size_t kKinds = std::size(kinds);
  // rates[kind][variant][repetition]
  std::vector<std::vector<std::vector<double>>> rates(kKinds, std::vector<std::vector<double>>(variants.size()));
  Buffers buffers;
  for (std::size_t r = 0; r < repetitions; ++r) {
    for (std::size_t k = 0; k < kKinds; ++k) {
      for (std::size_t n = 0; n < servers.size(); ++n) {
        const std::size_t v = (n + r) % servers.size();
        const auto start = Clock::now();
        for (std::size_t i = 0; i < requests; ++i) {
          if (auto sent = issue(servers[v].client, kinds[k].op, i, buffers); !sent) return failure(sent.error());
        }
        rates[k][v].push_back(static_cast<double>(requests) / seconds_since(start));
      }
    }
  }
  for (auto& server : servers) {
    if (auto done = finish(server); !done) return failure(done.error());
  }
  fs::remove_all(dir);

  fmt::print("{} requests per block, {} repetitions, client and servers on CPU {}\n", requests, repetitions, cpu);
  if (variants.size() > kVariants.size()) fmt::print("baseline build: {}\n", variants.back().binary);
  fmt::print("\n");
  fmt::print("| kind | variant | rt/s | ratio to no script |\n|---|---|---:|---:|\n");
  for (std::size_t k = 0; k < kKinds; ++k) {
    for (std::size_t v = 0; v < variants.size(); ++v) {
      std::vector<double> ratios;
      for (std::size_t r = 0; r < repetitions; ++r) ratios.push_back(rates[k][v][r] / rates[k][0][r]);
      fmt::print("| {} | {} | {} | {:.3f} |\n", kinds[k].label, variants[v].label, fmt_rate(median(rates[k][v])),
                 median(ratios));
    }
  }
  return 0;
}
