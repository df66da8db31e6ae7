// TahitiDriver plays the display driver's part against examples/tahiti.lua
// through the project's client: it lends the device guest memory (a memfd),
// writes a GART table into VRAM, programs the memory controller, the
// command processor's rings 0-2, the DMA engines, the interrupt handler
// ring, write-back and MSI the way the driver does, and then submits
// packets the way the driver does (packets into the ring in guest memory,
// then the write pointer).
//
// Contract: attach() does the whole set-up on a client that has done the
// version handshake; afterwards every call is one or a few requests on that
// client, each with the client's time-out. Guest memory is read and written
// directly in the memfd, by GPU address in the GTT; VRAM over the socket
// through BAR 0. Failures are values. Shared by the tests and the
// benchmark, so it does not use GoogleTest. Not thread-safe.
#ifndef ZEPHON_TESTS_TAHITI_DRIVER_H_
#define ZEPHON_TESTS_TAHITI_DRIVER_H_

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "client.h"
#include "vfio_user/unique_fd.h"

namespace zephon_test {

class TahitiDriver {
 public:
  // The GPU's address space as the driver lays it out (MC addresses).
  static constexpr std::uint64_t kGttStart = 0x10000000;  // to 0x8FFFFFFF
  static constexpr std::uint64_t kTableVram = 0x40000;     // the GART table's VRAM offset
  static constexpr std::uint64_t kWriteBack = kGttStart;   // the write-back page
  static constexpr std::uint64_t kRingBytes = 4096;        // every ring, IH's too
  static constexpr std::uint32_t kRingDwords = kRingBytes / 4;
  static constexpr std::uint64_t kIbArea = kGttStart + 0x8000;  // 8 pages for indirect buffers
  static constexpr std::uint64_t kBufferA = kGttStart + 0x100000;  // 1 MiB each
  static constexpr std::uint64_t kBufferB = kGttStart + 0x200000;
  // Guest memory: kGuestPages pages at kGuestIova; GTT page k is guest page
  // k ^ 1, so that no two neighbouring GTT pages are neighbours in memory.
  static constexpr std::uint64_t kGuestIova = 0x100000;
  static constexpr std::uint64_t kGuestPages = 1024;
  // Where the driver keeps what the device writes back, from kWriteBack.
  static constexpr std::uint64_t kCpRptrSlot[3] = {1024, 1280, 1536};
  static constexpr std::uint64_t kDmaRptrSlot[2] = {1792, 2304};
  static constexpr std::uint64_t kIhWptrSlot = 2048;
  static constexpr std::uint64_t kFenceSlot = 3072;  // + 4 * ring
  static constexpr std::uint64_t kDmaTestSlot[2] = {3588, 3592};

  // Returns the GPU address of ring (0-2 CP, 3-4 DMA, 5 the IH ring).
  static std::uint64_t ring_address(int ring) { return kGttStart + 0x1000 * (1 + static_cast<std::uint64_t>(ring)); }

  // Returns the driver attached: guest memory mapped, MSI vector 0 set up
  // with an eventfd, the GART table written and every engine programmed.
  static std::expected<std::unique_ptr<TahitiDriver>, std::string> attach(vfio_user_client::Client& client);

  // Returns success once dwords were written to CP ring 0-2 at its write
  // pointer (wrapping) and the new write pointer was written.
  std::expected<void, std::string> cp_submit(int ring, std::span<const std::uint32_t> dwords);
  // The same for DMA engine 0 or 1 (the driver's rings 3 and 4).
  std::expected<void, std::string> dma_submit(int engine, std::span<const std::uint32_t> dwords);

  // Returns success once bytes are in guest memory at GTT address gpu.
  std::expected<void, std::string> store(std::uint64_t gpu, std::span<const std::uint8_t> bytes);
  // Returns size bytes of guest memory at GTT address gpu.
  std::expected<std::vector<std::uint8_t>, std::string> load(std::uint64_t gpu, std::size_t size) const;
  // Returns the 32-bit word at GTT address gpu (0 if it cannot be read).
  std::uint32_t word(std::uint64_t gpu) const;
  // Returns success once a 32-bit word is at GTT address gpu.
  std::expected<void, std::string> set_word(std::uint64_t gpu, std::uint32_t value);

  // Returns success once bytes are at VRAM offset, over the socket.
  std::expected<void, std::string> vram_write(std::uint64_t offset, std::span<const std::uint8_t> bytes);
  // Returns size bytes at VRAM offset, over the socket.
  std::expected<std::vector<std::uint8_t>, std::string> vram_read(std::uint64_t offset, std::size_t size);

  // Returns the guest memory address (IOVA) that GTT address gpu maps to.
  static std::uint64_t iova(std::uint64_t gpu);
  // Returns the MSI vector's eventfd.
  int msi() const { return msi_.get(); }
  // Returns the client.
  vfio_user_client::Client& client() { return client_; }
  // Returns the write pointer (dwords) the driver last gave ring 0-4.
  std::uint32_t wptr(int ring) const { return wptr_[ring]; }

 private:
  TahitiDriver(vfio_user_client::Client& client, vfio_user::UniqueFd memory, vfio_user::UniqueFd msi)
      : client_(client), memory_(std::move(memory)), msi_(std::move(msi)) {}

  // Returns success once dwords are in ring at its write pointer, which moves.
  std::expected<void, std::string> put(int ring, std::span<const std::uint32_t> dwords);
  // Returns success once all registers of the set-up are written.
  std::expected<void, std::string> program();

  vfio_user_client::Client& client_;
  vfio_user::UniqueFd memory_;  // the guest memory memfd
  vfio_user::UniqueFd msi_;     // MSI vector 0's eventfd
  std::uint32_t wptr_[5] = {};  // rings 0-4, in dwords
};

// PM4 and DMA packet headers as the driver builds them.
constexpr std::uint32_t pm4_type3(std::uint32_t opcode, std::uint32_t count) {
  return (3u << 30) | ((count & 0x3FFF) << 16) | ((opcode & 0xFF) << 8);
}
constexpr std::uint32_t pm4_type0(std::uint32_t reg_index, std::uint32_t count) {
  return ((count - 1) & 0x3FFF) << 16 | (reg_index & 0xFFFF);
}
constexpr std::uint32_t kPm4Filler = 0x80000000;
constexpr std::uint32_t dma_packet(std::uint32_t command, std::uint32_t sub, std::uint32_t count) {
  return (command << 28) | ((sub & 0xFF) << 20) | (count & 0xFFFFF);
}

// Returns the eventfd's count once it is signalled, or 0 if it is not
// within limit_ms.
std::uint64_t wait_event(int fd, int limit_ms);

}  // namespace zephon_test

#endif  // ZEPHON_TESTS_TAHITI_DRIVER_H_
