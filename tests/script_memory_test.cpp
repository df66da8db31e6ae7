// Guest memory from a device script, end to end: the real binary, memfds
// mapped with DmaMap by the project's client, hooks reading and writing them.
#include <linux/vfio.h>
#include <sys/eventfd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "script_run.h"
#include "vfio_user/unique_fd.h"
#include "vfio_user/wire.h"

namespace zephon_test {
namespace {

constexpr std::uint32_t kRead = VFIO_DMA_MAP_FLAG_READ;
constexpr std::uint32_t kReadWrite = VFIO_DMA_MAP_FLAG_READ | VFIO_DMA_MAP_FLAG_WRITE;
// Two adjacent maps: 8 KiB the device may write, then 4 KiB it may only read.
constexpr std::uint64_t kRam = 0x100000;
constexpr std::uint64_t kRom = 0x102000;

using vfio_user::UniqueFd;

using GuestMemoryScript = ScriptRun;

TEST_F(GuestMemoryScript, AHookReadsAndWritesTheMonitorsMemory) {
  auto [process, client] = serve(write_script("device.lua", R"(
on_write[0] = function(v)
  dma.write(0x100100, dma.read(0x102010, 16))
  dma.write32(0x100201, v)
  dma.write8(0x100000, 0x1ff)
  dma.write16(0x100002, 0xbeef)
  dma.write64(0x100008, -2)
  regs[1] = dma.read32(0x101ffe)
  regs[2] = dma.read16(0x102003)
  regs[3] = dma.read64(0x102008) >> 32
end
)"));
  ASSERT_TRUE(client);
  GuestRam ram(0x2000, true);
  GuestRam rom(0x1000);
  ASSERT_TRUE(ram.store(0x1ffe, "\xaa\xbb"));
  ASSERT_TRUE(map_guest(*client, &ram, kReadWrite, kRam, 0x2000).has_value());
  ASSERT_TRUE(map_guest(*client, &rom, kRead, kRom, 0x1000).has_value());
  ASSERT_TRUE(client->write32(2, 0, 0xdeadbeef).has_value());
  EXPECT_EQ(client->read32(2, 4), 0x0100bbaau);  // across the two maps
  EXPECT_EQ(client->read32(2, 8), 0x0403u);
  EXPECT_EQ(client->read32(2, 12), 0x0f0e0d0cu);

  EXPECT_EQ(ram.bytes(0x100, 16), rom.bytes(0x10, 16));
  EXPECT_EQ(ram.bytes(0x200, 6), std::string("\0\xef\xbe\xad\xde\0", 6));
  EXPECT_EQ(ram.bytes(0, 16), std::string("\xff\0\xef\xbe\0\0\0\0\xfe\xff\xff\xff\xff\xff\xff\xff", 16));
  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
  const long write = run.find("DEBUG zephon: Write regs[0x0000] (0x0) = 0xdeadbeef");
  ASSERT_GE(write, 0) << run.err;
  EXPECT_EQ(run.find("DEBUG zephon: Dma   read  0x0000000000102010 +16"), write + 1) << run.err;
  EXPECT_EQ(run.find("DEBUG zephon: Dma   write 0x0000000000100100 +16"), write + 2) << run.err;
  EXPECT_EQ(run.find("DEBUG zephon: Dma   write 0x0000000000100201 +4"), write + 3) << run.err;
  EXPECT_EQ(run.find("DEBUG zephon: Dma   read  0x0000000000101ffe +4"), write + 7) << run.err;
  EXPECT_EQ(run.find("DEBUG zephon: Set   regs[0x0001] (0x4) = 0x0100bbaa"), write + 8) << run.err;
  EXPECT_EQ(run.count_containing("zephon: Dma   "), 9u) << run.err;
}

// Each hook does one thing guest memory refuses: it is that hook's ERROR
// line, nothing is written, and the run goes on.
struct Refused {
  std::string code;
  std::string message;
};

const Refused kRefused[] = {
    {"dma.read(0x0ffffe, 4)", "dma.read 0x00000000000ffffe +4 refused: not wholly inside guest memory"},
    {"dma.read32(0x102ffe)", "dma.read32 0x0000000000102ffe +4 refused: not wholly inside guest memory"},
    {"dma.write8(0x102000, 1)", "dma.write8 0x0000000000102000 +1 refused: the map there is read-only"},
    {"dma.write(0x101fff, 'ab')", "dma.write 0x0000000000101fff +2 refused: the map there is read-only"},
    {"dma.read64(0x200000)",
     "dma.read64 0x0000000000200000 +8 refused: the map there came without a file descriptor"},
    {"dma.read(0x100000, 16777217)", "dma.read: length must be from 0 to 16777216, not 16777217"},
    {"dma.write32(0x100000, '1')", "dma.write32: value must be an integer, not 1"},
    {"dma.read8(-1 + 0x100001)", ""},  // inside: the one that works before the unmap
};

TEST_F(GuestMemoryScript, RefusedRangesAreErrorsOfTheHookAndTheRunGoesOn) {
  std::string text;
  for (std::size_t k = 0; k < std::size(kRefused); ++k) {
    text += "on_write[" + std::to_string(0x10 + k) + "] = function() regs[0] = " + kRefused[k].code + " end\n";
  }
  const std::string path = write_script("device.lua", text);
  auto [process, client] = serve(path);
  ASSERT_TRUE(client);
  GuestRam ram(0x2000, true);
  GuestRam rom(0x1000);
  ASSERT_TRUE(map_guest(*client, &ram, kReadWrite, kRam, 0x2000).has_value());
  ASSERT_TRUE(map_guest(*client, &rom, kRead, kRom, 0x1000).has_value());
  ASSERT_TRUE(map_guest(*client, nullptr, kReadWrite, 0x200000, 0x1000).has_value());
  ASSERT_TRUE(ram.store(0, "\x7f"));
  for (std::size_t k = 0; k < std::size(kRefused); ++k) {
    ASSERT_TRUE(client->write32(2, 4 * (0x10 + k), 1).has_value()) << k;
  }
  EXPECT_EQ(client->read32(2, 0), 0x7fu);
  // Once the monitor takes the map away, the same access is refused.
  auto unmapped = client->call(vfio_user::Command::DmaUnmap, dma_unmap_payload(0, kRam, 0x2000));
  ASSERT_TRUE(unmapped.has_value()) << unmapped.error();
  EXPECT_FALSE(unmapped->is_error());
  ASSERT_TRUE(client->write32(2, 4 * (0x10 + std::size(kRefused) - 1), 1).has_value());

  EXPECT_EQ(ram.bytes(0x1fff, 1), std::string(1, '\0'));
  EXPECT_EQ(rom.bytes(0, 1), std::string(1, '\0'));
  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.reg(0), 0x7fu);
  for (std::size_t k = 0; k + 1 < std::size(kRefused); ++k) {
    EXPECT_EQ(run.count_containing(fmt::format("Script error in on_write[{:#06x}], the access is served as a plain "
                                               "register: {}:{}: {}",
                                               0x10 + k, path, k + 1, kRefused[k].message)),
              1u)
        << kRefused[k].code << "\n"
        << run.err;
  }
  EXPECT_EQ(run.count_containing(path + ":8: dma.read8 0x0000000000100000 +1 refused: not wholly inside "
                                        "guest memory"),
            1u)
      << run.err;
  EXPECT_EQ(run.count_containing("ERROR"), std::size(kRefused)) << run.err;
}

// examples/ring.lua: commands in a memfd, completions checked byte by byte,
// the interrupt, a millisecond after the doorbell, through an eventfd set up
// as MSI vector 0 while the client sends nothing.
std::string command(std::uint32_t opcode, std::uint32_t sequence, std::uint64_t argument) {
  std::string bytes(16, '\0');
  auto* p = reinterpret_cast<std::uint8_t*>(bytes.data());
  vfio_user::wire::store32(p, opcode);
  vfio_user::wire::store32(p + 4, sequence);
  vfio_user::wire::store64(p + 8, argument);
  return bytes;
}

std::string record(std::uint32_t sequence, std::uint32_t status) {
  std::string bytes(8, '\0');
  vfio_user::wire::store32(reinterpret_cast<std::uint8_t*>(bytes.data()), sequence);
  vfio_user::wire::store32(reinterpret_cast<std::uint8_t*>(bytes.data()) + 4, status);
  return bytes;
}

TEST_F(GuestMemoryScript, TheRingExampleCompletesCommandsAndRaisesItsInterrupt) {
  auto [process, client] = serve(example("ring.lua"));
  ASSERT_TRUE(client);
  GuestRam ram(0x4000, true);  // ring at 0x0, completions at 0x1000, fence at 0x2000
  ASSERT_TRUE(map_guest(*client, &ram, kReadWrite, kRam, 0x4000).has_value());
  UniqueFd event(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  const int fds[] = {event.get()};
  auto set = client->call(vfio_user::Command::SetIrqs,
                          set_irqs_payload(VFIO_IRQ_SET_DATA_EVENTFD | VFIO_IRQ_SET_ACTION_TRIGGER,
                                           VFIO_PCI_MSI_IRQ_INDEX, 0, 1),
                          0, fds);
  ASSERT_TRUE(set.has_value() && !set->is_error());
  ASSERT_TRUE(client->write32(VFIO_PCI_CONFIG_REGION_INDEX, 0x50, 0x0001 << 16));  // MSI enabled, 1 vector
  const std::pair<std::uint64_t, std::uint64_t> setup[] = {
      {0x400, kRam}, {0x404, 0}, {0x408, 4}, {0x414, kRam + 0x1000}, {0x418, 0}};
  for (auto [offset, value] : setup) ASSERT_TRUE(client->write32(2, offset, static_cast<std::uint32_t>(value)));

  // A nop, a fence, an unknown opcode, a fence outside guest memory.
  ASSERT_TRUE(ram.store(0, command(0, 1, 0) + command(1, 2, kRam + 0x2000) + command(7, 3, 0) +
                               command(1, 4, 0x10)));
  ASSERT_TRUE(client->write32(2, 0x40c, 3));
  EXPECT_EQ(wait_signalled(event.get(), 5000), 1u);
  EXPECT_EQ(client->read32(2, 0x410), 3u);
  EXPECT_EQ(ram.bytes(0x1000, 32), record(1, 0) + record(2, 0) + record(3, 1) + std::string(8, '\0'));
  EXPECT_EQ(ram.bytes(0x2000, 4), std::string("\x02\0\0\0", 4));
  // Around the end of the ring: slot 3, then slot 0 again; the driver
  // cannot move the head.
  ASSERT_TRUE(ram.store(0, command(1, 5, kRam + 0x2000)));
  ASSERT_TRUE(client->write32(2, 0x410, 0));
  ASSERT_TRUE(client->write32(2, 0x40c, 1));
  EXPECT_EQ(wait_signalled(event.get(), 5000), 1u);
  EXPECT_EQ(client->read32(2, 0x410), 1u);
  EXPECT_EQ(ram.bytes(0x1000, 32), record(5, 0) + record(2, 0) + record(3, 1) + record(4, 2));
  EXPECT_EQ(ram.bytes(0x2000, 4), std::string("\x05\0\0\0", 4));

  RunResult run = finish(*process, *client);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.count_containing("ERROR"), 0u) << run.err;
  EXPECT_EQ(run.count_containing("DEBUG zephon: Irq   vector 0 (MSI)"), 2u) << run.err;
  EXPECT_GE(run.find("DEBUG zephon: Dma   read  0x0000000000100030 +16"), 0) << run.err;
  EXPECT_EQ(run.reg(0x104), 1u);
}

}  // namespace
}  // namespace zephon_test
