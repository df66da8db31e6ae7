// accel_bench: what the acceleration model of examples/tahiti.lua costs, seen
// from the driver's side: zephon with the script, the project's client
// playing the driver (tests/tahiti_driver), and the time from the write of a
// ring's write pointer to its reply, by which the model has executed the
// packets. The copies are the driver's own: its DMA copy (two COPY packets
// for 1 MiB, then a fence), its blit copy (one CP_DMA of 1 MiB, then a
// fence), each GTT to VRAM and back; the ring test shows a kick's fixed
// cost. The log goes to a file in a temporary directory, as in a real run.
//
//   accel_bench [Google Benchmark flags]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

#include "tahiti_driver.h"
#include "zephon_process.h"

namespace {

using zephon_test::TahitiDriver;

// One zephon serving examples/tahiti.lua, attached once for all benchmarks.
struct Rig {
  std::filesystem::path dir;
  std::unique_ptr<zephon_test::ZephonProcess> process;
  std::optional<vfio_user_client::Client> client;
  std::unique_ptr<TahitiDriver> driver;

  ~Rig() {
    driver.reset();
    if (client) client->close();
    if (process) process->wait();
    std::filesystem::remove_all(dir);
  }
};

// Returns the rig, started on first use; null (with a message) if it failed.
TahitiDriver* driver() {
  static std::unique_ptr<Rig> rig;
  if (rig) return rig->driver.get();
  rig = std::make_unique<Rig>();
  rig->dir = std::filesystem::temp_directory_path() / ("zephon-accel-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(rig->dir);
  const auto rom = rig->dir / "rom.bin";
  std::ofstream(rom) << std::string(4096, '\x55');
  ::setenv("ZEPHON_SCRIPT", ZEPHON_EXAMPLES_DIR "/tahiti.lua", 1);
  const std::string socket = (rig->dir / "zephon.sock").string();
  rig->process = std::make_unique<zephon_test::ZephonProcess>(
      rig->dir, zephon_test::ProcessOptions{.args = {socket, rom.string()}});
  auto client = zephon_test::connect_when_listening(socket);
  if (!client || !client->version()) {
    std::fprintf(stderr, "accel_bench: cannot connect to zephon\n");
    return nullptr;
  }
  rig->client.emplace(std::move(*client));
  auto attached = TahitiDriver::attach(*rig->client);
  if (!attached) {
    std::fprintf(stderr, "accel_bench: %s\n", attached.error().c_str());
    return nullptr;
  }
  rig->driver = std::move(*attached);
  return rig->driver.get();
}

constexpr std::uint64_t kVram = 0x400000;
constexpr std::uint32_t kMiB = 1 << 20;
constexpr std::uint64_t kFence = TahitiDriver::kWriteBack + TahitiDriver::kFenceSlot;

// DMA ring 3 (engine 0): 1 MiB as the driver splits it, then a fence.
void DmaCopy(benchmark::State& state) {
  TahitiDriver* gpu = driver();
  if (gpu == nullptr) return state.SkipWithError("no zephon");
  const bool to_vram = state.range(0) == 0;
  const std::uint64_t from = to_vram ? TahitiDriver::kBufferA : kVram;
  const std::uint64_t to = to_vram ? kVram : TahitiDriver::kBufferB;
  std::uint32_t seq = 0;
  for (auto _ : state) {
    ++seq;
    const std::uint32_t first = 0xFFFFF;
    const std::uint32_t packets[] = {
        zephon_test::dma_packet(0x3, 0x40, first), static_cast<std::uint32_t>(to), static_cast<std::uint32_t>(from),
        0, 0,
        zephon_test::dma_packet(0x3, 0x40, kMiB - first), static_cast<std::uint32_t>(to + first),
        static_cast<std::uint32_t>(from + first), 0, 0,
        zephon_test::dma_packet(0x6, 0, 0), static_cast<std::uint32_t>(kFence + 12), 0, seq};
    if (!gpu->dma_submit(0, packets)) return state.SkipWithError("submit failed");
  }
  if (gpu->word(kFence + 12) != seq) state.SkipWithError("the fence did not land");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kMiB);
}
BENCHMARK(DmaCopy)->ArgName("vram_to_gtt")->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// CP ring 0: the blit copy's CP_DMA of 1 MiB, then a fence.
void CpDmaCopy(benchmark::State& state) {
  TahitiDriver* gpu = driver();
  if (gpu == nullptr) return state.SkipWithError("no zephon");
  const bool to_vram = state.range(0) == 0;
  const std::uint64_t from = to_vram ? TahitiDriver::kBufferA : kVram;
  const std::uint64_t to = to_vram ? kVram : TahitiDriver::kBufferB;
  std::uint32_t seq = 0;
  for (auto _ : state) {
    ++seq;
    const std::uint32_t packets[] = {
        zephon_test::pm4_type3(0x41, 4), static_cast<std::uint32_t>(from), 1u << 31, static_cast<std::uint32_t>(to), 0,
        kMiB,
        zephon_test::pm4_type3(0x47, 4), 0x514, static_cast<std::uint32_t>(kFence), 1u << 29, seq, 0};
    if (!gpu->cp_submit(0, packets)) return state.SkipWithError("submit failed");
  }
  if (gpu->word(kFence) != seq) state.SkipWithError("the fence did not land");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kMiB);
}
BENCHMARK(CpDmaCopy)->ArgName("vram_to_gtt")->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// The driver's ring test on CP ring 1: one SET_CONFIG_REG, then the
// scratch register read back.
void RingTest(benchmark::State& state) {
  TahitiDriver* gpu = driver();
  if (gpu == nullptr) return state.SkipWithError("no zephon");
  for (auto _ : state) {
    const std::uint32_t packet[] = {zephon_test::pm4_type3(0x68, 1), (0x8504 - 0x8000) >> 2, 0xDEADBEEF};
    if (!gpu->cp_submit(1, packet)) return state.SkipWithError("submit failed");
    auto value = gpu->client().read32(2, 0x8504);
    if (!value || *value != 0xDEADBEEF) return state.SkipWithError("the ring test failed");
  }
}
BENCHMARK(RingTest)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
