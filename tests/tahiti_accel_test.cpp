// examples/tahiti.lua with acceleration: the real binary, the project's
// client playing the display driver (guest memory in a memfd, the GART table
// written into VRAM), and the driver's own sequences on the command
// processor's rings, the DMA engines and the interrupt handler ring.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "script_run.h"
#include "tahiti_driver.h"
#include "vfio_user/wire.h"

namespace zephon_test {
namespace {

constexpr std::uint32_t kSetConfigReg = 0x68, kIndirectBuffer = 0x32, kEventWriteEop = 0x47, kCpDma = 0x41;
constexpr std::uint32_t kDmaWrite = 0x2, kDmaCopy = 0x3, kDmaIb = 0x4, kDmaFence = 0x6, kDmaTrap = 0x7;
constexpr std::uint32_t kDmaSrbmWrite = 0x9, kDmaConstantFill = 0xD, kDmaNop = 0xF;
constexpr std::uint32_t kCpRptr[3] = {0x8700, 0x86FC, 0x86F8};
constexpr std::uint32_t kCpIntCntl[3] = {0xC1A8, 0xC1AC, 0xC1B0};
constexpr std::uint32_t kDmaBase[2] = {0xD000, 0xD800};
constexpr std::uint32_t kIhRptr = 0x3E08, kIhWptr = 0x3E0C;
constexpr std::uint32_t kTestPending = 0xCAFEDEAD, kTestPassed = 0xDEADBEEF;

using Gpu = TahitiDriver;
using Dwords = std::vector<std::uint32_t>;

std::uint32_t low(std::uint64_t address) { return static_cast<std::uint32_t>(address); }
std::uint32_t high(std::uint64_t address) { return static_cast<std::uint32_t>(address >> 32); }

// SET_CONFIG_REG of one register, as the driver's CP ring and IB tests.
std::vector<std::uint32_t> set_config_reg(std::uint32_t offset, std::uint32_t value) {
  return {pm4_type3(kSetConfigReg, 1), (offset - 0x8000) >> 2, value};
}
// EVENT_WRITE_EOP of a 32-bit fence, with or without an interrupt.
std::vector<std::uint32_t> end_of_pipe(std::uint64_t fence, std::uint32_t seq, bool interrupt) {
  return {pm4_type3(kEventWriteEop, 4), 0x514, low(fence), (high(fence) & 0xFF) | (1u << 29) | (interrupt ? 2u << 24 : 0),
          seq, 0};
}
// A DMA WRITE of one dword, as the driver's DMA ring and IB tests.
std::vector<std::uint32_t> dma_write(std::uint64_t address, std::uint32_t value) {
  return {dma_packet(kDmaWrite, 0, 1), low(address), high(address) & 0xFF, value};
}
std::vector<std::uint32_t> dma_fence(std::uint64_t fence, std::uint32_t seq) {
  return {dma_packet(kDmaFence, 0, 0), low(fence), high(fence) & 0xFF, seq};
}
std::vector<std::uint32_t> joined(std::initializer_list<std::vector<std::uint32_t>> parts) {
  std::vector<std::uint32_t> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}
std::vector<std::uint8_t> bytes_of(std::span<const std::uint32_t> dwords) {
  std::vector<std::uint8_t> out(4 * dwords.size());
  for (std::size_t i = 0; i < dwords.size(); ++i) vfio_user::wire::store32(out.data() + 4 * i, dwords[i]);
  return out;
}

class TahitiAccel : public ScriptRun {
 protected:
  void SetUp() override {
    ScriptRun::SetUp();
    auto [process, client] = serve(example("tahiti.lua"));
    ASSERT_TRUE(client);
    process_ = std::move(process);
    client_.emplace(std::move(*client));
    auto driver = Gpu::attach(*client_);
    ASSERT_TRUE(driver) << driver.error();
    gpu_ = std::move(*driver);
  }

  std::uint32_t reg(std::uint32_t offset) {
    auto value = client_->read32(2, offset);
    return value ? *value : 0xBAD0BAD0;
  }
  void write_reg(std::uint32_t offset, std::uint32_t value) { ASSERT_TRUE(client_->write32(2, offset, value)); }
  // Returns the interrupt entry (four dwords) at byte offset of the IH ring.
  std::vector<std::uint32_t> ih_entry(std::uint32_t offset) {
    std::vector<std::uint32_t> entry;
    for (std::uint32_t k = 0; k < 4; ++k) entry.push_back(gpu_->word(Gpu::ring_address(5) + offset + 4 * k));
    return entry;
  }
  RunResult finish_run() {
    gpu_.reset();
    return finish(*process_, *client_);
  }

  std::unique_ptr<ZephonProcess> process_;
  std::optional<vfio_user_client::Client> client_;
  std::unique_ptr<Gpu> gpu_;
};

// The driver's ring tests: 0xCAFEDEAD where the packet will write, the
// packet, the write pointer, then 0xDEADBEEF read back at once; the read
// pointer in its register and at its write-back slot, and the scratch
// register mirrored on the write-back page.
TEST_F(TahitiAccel, RingTestsPassOnAllFiveRings) {
  for (int ring = 0; ring < 3; ++ring) {
    const std::uint32_t scratch = 0x8500 + 4 * static_cast<std::uint32_t>(ring);
    write_reg(scratch, kTestPending);
    ASSERT_TRUE(gpu_->cp_submit(ring, set_config_reg(scratch, kTestPassed)));
    EXPECT_EQ(reg(scratch), kTestPassed) << "ring " << ring;
    EXPECT_EQ(reg(kCpRptr[ring]), 3u) << "ring " << ring;
    EXPECT_EQ(gpu_->word(Gpu::kWriteBack + Gpu::kCpRptrSlot[ring]), 3u) << "ring " << ring;
    EXPECT_EQ(gpu_->word(Gpu::kWriteBack + 4 * static_cast<std::uint32_t>(ring)), kTestPassed) << "ring " << ring;
  }
  for (int engine = 0; engine < 2; ++engine) {
    const std::uint64_t slot = Gpu::kWriteBack + Gpu::kDmaTestSlot[engine];
    ASSERT_TRUE(gpu_->set_word(slot, kTestPending));
    ASSERT_TRUE(gpu_->dma_submit(engine, dma_write(slot, kTestPassed)));
    EXPECT_EQ(gpu_->word(slot), kTestPassed) << "ring " << 3 + engine;
    EXPECT_EQ(reg(kDmaBase[engine] + 8), 16u) << "ring " << 3 + engine;
    EXPECT_EQ(gpu_->word(Gpu::kWriteBack + Gpu::kDmaRptrSlot[engine]), 16u) << "ring " << 3 + engine;
  }
  RunResult run = finish_run();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_GE(run.find("INFO zephon::script: accel: CP1 kick rptr 0 wptr 3 (3 dw)"), 0) << run.err;
  EXPECT_GE(run.find("DEBUG zephon: Set   regs[0x2142] (0x8508) = 0xdeadbeef"), 0) << run.err;
  EXPECT_GE(run.find("INFO zephon::script: accel: DMA1 WRITE 0x10000e08 (1 dw)"), 0) << run.err;
  EXPECT_EQ(run.count_containing("ERROR"), 0u) << run.err;
}

// The IB tests: the test's packet in an indirect buffer, then a fence; both
// done by the time the write pointer's write is answered.
TEST_F(TahitiAccel, IndirectBuffersRunOnACpRingAndADmaRing) {
  const std::uint64_t cp_ib = Gpu::kIbArea, dma_ib = Gpu::kIbArea + 0x100;
  ASSERT_TRUE(gpu_->store(cp_ib, bytes_of(set_config_reg(0x8514, kTestPassed))));
  write_reg(0x8514, kTestPending);
  ASSERT_TRUE(gpu_->cp_submit(0, joined({{pm4_type3(kIndirectBuffer, 2), low(cp_ib), high(cp_ib), 3},
                                         end_of_pipe(Gpu::kWriteBack + Gpu::kFenceSlot, 1, false)})));
  EXPECT_EQ(reg(0x8514), kTestPassed);
  EXPECT_EQ(gpu_->word(Gpu::kWriteBack + Gpu::kFenceSlot), 1u);

  const std::uint64_t slot = Gpu::kWriteBack + Gpu::kDmaTestSlot[0];
  ASSERT_TRUE(gpu_->store(dma_ib, bytes_of(dma_write(slot, kTestPassed))));
  ASSERT_TRUE(gpu_->set_word(slot, kTestPending));
  ASSERT_TRUE(gpu_->dma_submit(0, joined({{dma_packet(kDmaIb, 0, 0), low(dma_ib), (4u << 12) | high(dma_ib)},
                                          dma_fence(Gpu::kWriteBack + Gpu::kFenceSlot + 12, 7)})));
  EXPECT_EQ(gpu_->word(slot), kTestPassed);
  EXPECT_EQ(gpu_->word(Gpu::kWriteBack + Gpu::kFenceSlot + 12), 7u);
  RunResult run = finish_run();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_GE(run.find("INFO zephon::script: accel: CP0 IB 0x10008000 len 3 vmid 0"), 0) << run.err;
  EXPECT_GE(run.find("INFO zephon::script: accel: DMA0 IB 0x10008100 len 4"), 0) << run.err;
}

// A fence lands when its packet runs; its interrupt entry goes into the IH
// ring and MSI vector 0 is raised once the driver has enabled the source,
// at once or when it enables it later.
TEST_F(TahitiAccel, FencesRaiseInterruptEntriesThroughMsi) {
  write_reg(kCpIntCntl[1], 1u << 26);
  const std::uint64_t fence1 = Gpu::kWriteBack + Gpu::kFenceSlot + 4;
  ASSERT_TRUE(gpu_->cp_submit(1, end_of_pipe(fence1, 5, true)));
  EXPECT_EQ(gpu_->word(fence1), 5u);
  EXPECT_EQ(wait_event(gpu_->msi(), 5000), 1u);
  EXPECT_EQ(ih_entry(0), (std::vector<std::uint32_t>{181, 0, 1, 0}));
  EXPECT_EQ(reg(kIhWptr), 16u);
  EXPECT_EQ(gpu_->word(Gpu::kWriteBack + Gpu::kIhWptrSlot), 16u);
  write_reg(kIhRptr, 16);

  // DMA1's trap while its interrupt is off: the fence is there, the entry
  // waits for DMA_CNTL's trap enable.
  const std::uint64_t fence4 = Gpu::kWriteBack + Gpu::kFenceSlot + 16;
  ASSERT_TRUE(gpu_->dma_submit(1, joined({dma_fence(fence4, 9), {dma_packet(kDmaTrap, 0, 0)}})));
  EXPECT_EQ(gpu_->word(fence4), 9u);
  EXPECT_EQ(wait_event(gpu_->msi(), 200), 0u);
  EXPECT_EQ(reg(kIhWptr), 16u);
  write_reg(kDmaBase[1] + 0x2C, 1);
  EXPECT_EQ(wait_event(gpu_->msi(), 5000), 1u);
  EXPECT_EQ(ih_entry(16), (std::vector<std::uint32_t>{244, 0, 0, 0}));
  EXPECT_EQ(reg(kIhWptr), 32u);
  RunResult run = finish_run();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.count_containing("DEBUG zephon: Irq   vector 0 (MSI)"), 2u) << run.err;
  EXPECT_GE(run.find("INFO zephon::script: accel: IV 244 ring 0 held until its source is enabled"), 0) << run.err;
}

// Copies of an odd length at odd addresses, GTT to VRAM and back, by the DMA
// engine (in bytes) and by the CP's CP_DMA: every byte arrives, none around.
TEST_F(TahitiAccel, CopiesOfAnUnalignedLengthBetweenGttAndVram) {
  constexpr std::uint32_t kLength = 0xFFFFD;  // 1 MiB less 3
  std::vector<std::uint8_t> pattern(kLength);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>((i * 7 + i / 4096) % 253);
  ASSERT_TRUE(gpu_->store(Gpu::kBufferA + 1, pattern));
  const std::uint64_t vram = 0x300002;
  ASSERT_TRUE(gpu_->dma_submit(
      0, joined({{dma_packet(kDmaCopy, 0x40, kLength), low(vram), low(Gpu::kBufferA + 1), 0, high(Gpu::kBufferA)},
                 {dma_packet(kDmaCopy, 0x40, kLength), low(Gpu::kBufferB + 3), low(vram), high(Gpu::kBufferB), 0},
                 dma_fence(Gpu::kWriteBack + Gpu::kFenceSlot + 12, 2)})));
  EXPECT_EQ(gpu_->word(Gpu::kWriteBack + Gpu::kFenceSlot + 12), 2u);
  auto in_vram = gpu_->vram_read(vram - 1, kLength + 2);
  ASSERT_TRUE(in_vram);
  EXPECT_EQ(in_vram->front(), 0u);
  EXPECT_EQ(in_vram->back(), 0u);
  EXPECT_TRUE(std::equal(pattern.begin(), pattern.end(), in_vram->begin() + 1));
  auto back = gpu_->load(Gpu::kBufferB, kLength + 4);
  ASSERT_TRUE(back);
  EXPECT_EQ(std::vector<std::uint8_t>(back->begin(), back->begin() + 3), std::vector<std::uint8_t>(3, 0));
  EXPECT_TRUE(std::equal(pattern.begin(), pattern.end(), back->begin() + 3));
  EXPECT_EQ(back->back(), 0u);

  // The CP's copy engine, as the driver's blit copy uses it.
  ASSERT_TRUE(gpu_->cp_submit(0, Dwords{pm4_type3(kCpDma, 4), low(Gpu::kBufferA + 1), high(Gpu::kBufferA) | (1u << 31),
                                  low(0x500001), 0, 4097}));
  auto blit = gpu_->vram_read(0x500001, 4097);
  ASSERT_TRUE(blit);
  EXPECT_TRUE(std::equal(blit->begin(), blit->end(), pattern.begin()));
  RunResult run = finish_run();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.count_containing("ERROR"), 0u) << run.err;
}

// Packets that begin before the end of the ring and end after its start.
TEST_F(TahitiAccel, PacketsCrossTheEndOfTheRing) {
  ASSERT_TRUE(gpu_->cp_submit(0, std::vector<std::uint32_t>(Gpu::kRingDwords - 1, kPm4Filler)));
  write_reg(0x8518, kTestPending);
  ASSERT_TRUE(gpu_->cp_submit(0, set_config_reg(0x8518, kTestPassed)));
  EXPECT_EQ(reg(0x8518), kTestPassed);
  EXPECT_EQ(reg(kCpRptr[0]), 2u);

  ASSERT_TRUE(gpu_->dma_submit(1, std::vector<std::uint32_t>(Gpu::kRingDwords - 2, dma_packet(kDmaNop, 0, 0))));
  const std::uint64_t slot = Gpu::kWriteBack + Gpu::kDmaTestSlot[1];
  ASSERT_TRUE(gpu_->dma_submit(1, dma_write(slot, kTestPassed)));
  EXPECT_EQ(gpu_->word(slot), kTestPassed);
  EXPECT_EQ(reg(kDmaBase[1] + 8), 8u);
  RunResult run = finish_run();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_GE(run.find("INFO zephon::script: accel: CP0 kick rptr 1023 wptr 2 (3 dw)"), 0) << run.err;
}

// Register writes of packets (type 0, a DMA engine's SRBM_WRITE with byte
// enables) go through the register file; a constant fill and page entries
// land in memory.
TEST_F(TahitiAccel, PacketsWriteRegistersAndFillMemory) {
  write_reg(0x9004, 0xAABBCCDD);
  ASSERT_TRUE(gpu_->cp_submit(2, Dwords{pm4_type0(0x9000 >> 2, 2), 0x11, 0x22}));
  EXPECT_EQ(reg(0x9000), 0x11u);
  EXPECT_EQ(reg(0x9004), 0x22u);
  ASSERT_TRUE(gpu_->dma_submit(0, Dwords{dma_packet(kDmaSrbmWrite, 0, 0), (0x5u << 16) | (0x9004 >> 2), 0x44332211}));
  EXPECT_EQ(reg(0x9004), 0x00330011u);
  // The longest fill, 0xFFFFF dwords of 0x5A5A5A5A (within the instruction
  // budget), then 4 page entries counting up by a page over its start.
  ASSERT_TRUE(gpu_->dma_submit(0, Dwords{dma_packet(kDmaConstantFill, 0, 0xFFFFF), 0x600000, 0x5A5A5A5A, 0,
                                         dma_packet(kDmaWrite, 0x42, 8), 0x600000, 0, 0x1, 0, 0x7000, 0, 0x1000, 0}));
  auto filled = gpu_->vram_read(0x600000 + 4 * 0xFFFFE, 8);
  ASSERT_TRUE(filled);
  EXPECT_EQ(vfio_user::wire::load32(filled->data()), 0x5A5A5A5Au);
  EXPECT_EQ(vfio_user::wire::load32(filled->data() + 4), 0u);
  auto entries = gpu_->vram_read(0x600000, 40);
  ASSERT_TRUE(entries);
  for (std::uint64_t k = 0; k < 5; ++k) {
    EXPECT_EQ(vfio_user::wire::load64(entries->data() + 8 * k), k < 4 ? (0x7000 + 0x1000 * k) | 1 : 0x5A5A5A5A5A5A5A5A)
        << k;
  }
  RunResult run = finish_run();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_GE(run.find("DEBUG zephon: Set   regs[0x2401] (0x9004) = 0x00000022"), 0) << run.err;
  EXPECT_GE(run.find("DEBUG zephon: Set   regs[0x2401] (0x9004) = 0x00330011"), 0) << run.err;
}

// A malformed packet is an error in the script; the ring's read pointer
// still moves to the write pointer and the next submission runs.
TEST_F(TahitiAccel, MalformedPacketsAreScriptErrorsAndTheRunGoesOn) {
  // Longer than what the driver queued.
  ASSERT_TRUE(gpu_->cp_submit(0, Dwords{pm4_type3(kSetConfigReg, 10), 0x140, 1}));
  EXPECT_EQ(reg(kCpRptr[0]), 3u);
  // A GTT page with no valid entry, and an address outside VRAM and GTT.
  const std::uint64_t unmapped = Gpu::kGttStart + 2000 * 4096;
  ASSERT_TRUE(gpu_->dma_submit(0, dma_write(unmapped, 1)));
  ASSERT_TRUE(gpu_->dma_submit(1, dma_write(0x95000000, 1)));
  // An IB through an entry whose guest page the monitor never mapped.
  std::uint8_t entry[8];
  vfio_user::wire::store64(entry, 0x40000000 | 0x67);
  ASSERT_TRUE(gpu_->vram_write(Gpu::kTableVram + 8 * 1500, entry));
  const std::uint64_t ib = Gpu::kGttStart + 1500 * 4096;
  ASSERT_TRUE(gpu_->cp_submit(1, Dwords{pm4_type3(kIndirectBuffer, 2), low(ib), high(ib), 3}));
  EXPECT_EQ(reg(kCpRptr[1]), 4u);

  for (int ring = 0; ring < 2; ++ring) {
    write_reg(0x8500, kTestPending);
    ASSERT_TRUE(gpu_->cp_submit(ring, set_config_reg(0x8500, kTestPassed)));
    EXPECT_EQ(reg(0x8500), kTestPassed) << ring;
  }
  for (int engine = 0; engine < 2; ++engine) {
    const std::uint64_t slot = Gpu::kWriteBack + Gpu::kDmaTestSlot[engine];
    ASSERT_TRUE(gpu_->dma_submit(engine, dma_write(slot, kTestPassed)));
    EXPECT_EQ(gpu_->word(slot), kTestPassed) << engine;
  }
  RunResult run = finish_run();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.count_containing("ERROR"), 4u) << run.err;
  EXPECT_EQ(run.count_containing("CP0 ring dword 0: type-3 packet 0x68 of 12 dwords, 3 are left"), 1u) << run.err;
  EXPECT_EQ(run.count_containing(fmt::format("GTT page {:#x} (entry 0x0) is not valid", unmapped)), 1u) << run.err;
  EXPECT_EQ(run.count_containing("GPU address 0x95000000 +4 is neither in VRAM"), 1u) << run.err;
  EXPECT_EQ(run.count_containing("dma.read 0x0000000040000000 +12 refused"), 1u) << run.err;
}

}  // namespace
}  // namespace zephon_test
