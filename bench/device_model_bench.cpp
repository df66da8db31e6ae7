// device_model_bench: what a device script adds to one BAR 2 access in the
// device model itself, without the socket round trip that hides it in
// script_bench. Each access is logged as in the program, the log going to
// /dev/null, so the figures are the model's work plus formatting its line.
//
//   device_model_bench [Google Benchmark flags]
//
// The argument of each benchmark picks the script: 0 none, 1 hooks other
// registers, 2 a `reads` constant on the accessed register, 3 an `on_read`
// function on it (for writes, an `on_write` function), 4 and 5 such a
// function that also reads guest memory (a memfd mapped for DMA): 4 bytes
// with dma.read32, 4 KiB with dma.read, each access logged as in the
// program.
#include <fcntl.h>
#include <linux/vfio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "backend.h"
#include "device.h"
#include "log.h"
#include "vfio_user/unique_fd.h"

namespace {

constexpr std::uint32_t kBar2 = 2;
constexpr std::uint64_t kOffset = 4 * 0x30d3;  // the register the recorded driver polls

const char* const kScripts[] = {
    "",
    "for i = 0xf000, 0xffff do reads[i] = i end\n"
    "for i = 0xe000, 0xefff do on_read[i] = function(v) return v + 1 end end\n",
    "for i = 0, 0xffff do reads[i] = 0x5a5a end\n",
    "local f = function(v) return v | 1 end\n"
    "local g = function(v) end\n"
    "for i = 0, 0xffff do on_read[i] = f; on_write[i] = g end\n",
    "local f = function(v) return v | dma.read32(0x100100) end\n"
    "local g = function(v) dma.read32(0x100100) end\n"
    "for i = 0, 0xffff do on_read[i] = f; on_write[i] = g end\n",
    "local f = function(v) return v | #dma.read(0x100100, 4096) end\n"
    "local g = function(v) dma.read(0x100100, 4096) end\n"
    "for i = 0, 0xffff do on_read[i] = f; on_write[i] = g end\n",
};

const char* const kLabels[] = {"no script",     "hooks other registers",     "reads constant",
                               "hook function", "hook with dma.read32",      "hook with 4 KiB dma.read"};

// Maps 64 KiB of guest memory (a memfd) at 0x100000 for the scripts that
// read it; returns whether it is mapped.
bool map_guest_memory(zephon::Backend& backend) {
  vfio_user::UniqueFd ram(::memfd_create("guest", MFD_CLOEXEC));
  if (!ram || ::ftruncate(ram.get(), 0x10000) != 0) return false;
  return backend.dma_map(VFIO_DMA_MAP_FLAG_READ | VFIO_DMA_MAP_FLAG_WRITE, 0, 0x100000, 0x10000, std::move(ram))
      .has_value();
}

// Returns a backend serving the script numbered variant, or null.
std::unique_ptr<zephon::Backend> make_backend(std::int64_t variant) {
  auto config = zephon::device::configuration(zephon::device::rom_size(512));
  if (!config) return nullptr;
  auto backend = std::make_unique<zephon::Backend>(*config, std::vector<std::uint8_t>(512, 0x55));
  if (variant == 0) return backend;
  const auto path = std::filesystem::temp_directory_path() / ("zephon-model-bench-" + std::to_string(::getpid()) + ".lua");
  std::ofstream(path) << kScripts[variant];
  auto loaded = backend->load_script(path.c_str());
  std::filesystem::remove(path);
  if (!loaded || !map_guest_memory(*backend)) return nullptr;
  return backend;
}

void Bar2Read(benchmark::State& state) {
  auto backend = make_backend(state.range(0));
  if (!backend) return state.SkipWithError("the device model could not be made");
  state.SetLabel(kLabels[state.range(0)]);
  std::array<std::uint8_t, 4> word{};
  for (auto _ : state) {
    auto read = backend->region_read(kBar2, kOffset, word);
    benchmark::DoNotOptimize(read);
    benchmark::DoNotOptimize(word);
  }
  zephon::log::flush();
}

void Bar2Write(benchmark::State& state) {
  auto backend = make_backend(state.range(0));
  if (!backend) return state.SkipWithError("the device model could not be made");
  state.SetLabel(kLabels[state.range(0)]);
  std::array<std::uint8_t, 4> word = {0x78, 0x56, 0x34, 0x12};
  for (auto _ : state) {
    auto written = backend->region_write(kBar2, kOffset, word);
    benchmark::DoNotOptimize(written);
  }
  zephon::log::flush();
}

BENCHMARK(Bar2Read)->DenseRange(0, 5);
BENCHMARK(Bar2Write)->DenseRange(0, 5);

}  // namespace

int main(int argc, char** argv) {
  static vfio_user::UniqueFd null_log(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (!null_log || !zephon::log::install({.fd = null_log.get(), .colour = false})) {
    std::fputs("device_model_bench: cannot install the log\n", stderr);
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
