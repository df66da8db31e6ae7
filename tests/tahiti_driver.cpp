#include "tahiti_driver.h"

#include <linux/vfio.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

#include "vfio_user/wire.h"

namespace zephon_test {

namespace {

using vfio_user::UniqueFd;

constexpr std::uint32_t kBar0 = 0;
constexpr std::uint32_t kBar2 = 2;
constexpr std::uint64_t kPage = 4096;
// A GTT entry for guest memory: valid, system, snooped, readable, writable.
constexpr std::uint64_t kSystemPage = 0x67;
// Register writes travel in pieces of this size.
constexpr std::size_t kPiece = 64 * 1024;

constexpr std::uint64_t kCpWptr[3] = {0xC114, 0xC190, 0xC1A4};
constexpr std::uint64_t kDmaBase[2] = {0xD000, 0xD800};

// Returns the 32-byte DmaMap payload for a map of the memfd from offset 0.
std::vector<std::uint8_t> dma_map(std::uint64_t address, std::uint64_t size) {
  std::vector<std::uint8_t> payload(32);
  vfio_user::wire::store32(payload.data(), 32);
  vfio_user::wire::store32(payload.data() + 4, VFIO_DMA_MAP_FLAG_READ | VFIO_DMA_MAP_FLAG_WRITE);
  vfio_user::wire::store64(payload.data() + 8, 0);
  vfio_user::wire::store64(payload.data() + 16, address);
  vfio_user::wire::store64(payload.data() + 24, size);
  return payload;
}

// Returns the 20-byte SetIrqs payload for one MSI vector's eventfd.
std::vector<std::uint8_t> msi_set_up() {
  std::vector<std::uint8_t> payload(20);
  vfio_user::wire::store32(payload.data(), 20);
  vfio_user::wire::store32(payload.data() + 4, VFIO_IRQ_SET_DATA_EVENTFD | VFIO_IRQ_SET_ACTION_TRIGGER);
  vfio_user::wire::store32(payload.data() + 8, VFIO_PCI_MSI_IRQ_INDEX);
  vfio_user::wire::store32(payload.data() + 12, 0);
  vfio_user::wire::store32(payload.data() + 16, 1);
  return payload;
}

// Returns the reply's failure as a value.
std::expected<void, std::string> accepted(const std::expected<vfio_user_client::Reply, std::string>& reply,
                                          const char* what) {
  if (!reply) return std::unexpected(std::string(what) + ": " + reply.error());
  if (reply->is_error()) return std::unexpected(std::string(what) + " refused: " + std::to_string(reply->header.error));
  return {};
}

}  // namespace

std::uint64_t TahitiDriver::iova(std::uint64_t gpu) {
  const std::uint64_t page = (gpu - kGttStart) / kPage;
  return kGuestIova + ((page ^ 1) * kPage) + (gpu % kPage);
}

std::expected<std::unique_ptr<TahitiDriver>, std::string> TahitiDriver::attach(vfio_user_client::Client& client) {
  UniqueFd memory(::memfd_create("guest-memory", MFD_CLOEXEC));
  if (!memory || ::ftruncate(memory.get(), static_cast<off_t>(kGuestPages * kPage)) != 0) {
    return std::unexpected("cannot make guest memory");
  }
  const int memory_fds[] = {memory.get()};
  auto mapped = accepted(client.call(vfio_user::Command::DmaMap, dma_map(kGuestIova, kGuestPages * kPage), 0,
                                     memory_fds),
                         "DmaMap");
  if (!mapped) return std::unexpected(mapped.error());

  // MSI as the guest enables it: the capability's enable bit, then the
  // monitor's eventfd for vector 0.
  auto control = client.read32(VFIO_PCI_CONFIG_REGION_INDEX, 0x50);
  if (!control) return std::unexpected(control.error());
  auto enabled = client.write32(VFIO_PCI_CONFIG_REGION_INDEX, 0x50, *control | (1u << 16));
  if (!enabled) return std::unexpected(enabled.error());
  UniqueFd msi(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  const int msi_fds[] = {msi.get()};
  auto set_up = accepted(client.call(vfio_user::Command::SetIrqs, msi_set_up(), 0, msi_fds), "SetIrqs");
  if (!set_up) return std::unexpected(set_up.error());

  std::unique_ptr<TahitiDriver> driver(new TahitiDriver(client, std::move(memory), std::move(msi)));
  std::vector<std::uint8_t> table(8 * kGuestPages);
  for (std::uint64_t page = 0; page < kGuestPages; ++page) {
    vfio_user::wire::store64(table.data() + 8 * page, iova(kGttStart + page * kPage) | kSystemPage);
  }
  auto written = driver->vram_write(kTableVram, table);
  if (!written) return std::unexpected(written.error());
  auto programmed = driver->program();
  if (!programmed) return std::unexpected(programmed.error());
  return driver;
}

std::expected<void, std::string> TahitiDriver::program() {
  struct Write {
    std::uint64_t offset;
    std::uint32_t value;
  };
  std::vector<Write> writes = {
      {0x2024, 0x000F0000},                       // MC_VM_FB_LOCATION: VRAM at 0, 256 MiB
      {0x155C, kGttStart >> 12},                  // VM_CONTEXT0_PAGE_TABLE_START_ADDR
      {0x157C, 0x8FFFF},                          // _END_ADDR: a 2 GiB GTT
      {0x153C, kTableVram >> 12},                 // _BASE_ADDR
      {0x8544, static_cast<std::uint32_t>(kWriteBack >> 8)},  // SCRATCH_ADDR
      {0x8540, 0xFF},                             // SCRATCH_UMSK
  };
  const std::uint32_t cp_control = (9u << 8) | 9u;  // 4 KiB rings, 4 KiB blocks
  const std::uint64_t cp_base[3] = {0xC100, 0xC180, 0xC194};
  const std::uint64_t cp_rptr_addr[3] = {0xC10C, 0xC188, 0xC19C};
  for (int ring = 0; ring < 3; ++ring) {
    const std::uint64_t control = cp_base[ring] + 4;
    writes.insert(writes.end(), {{control, cp_control | (1u << 31)},
                                 {kCpWptr[ring], 0},
                                 {cp_rptr_addr[ring], static_cast<std::uint32_t>(kWriteBack + kCpRptrSlot[ring])},
                                 {cp_rptr_addr[ring] + 4, 0},
                                 {control, cp_control},
                                 {cp_base[ring], static_cast<std::uint32_t>(ring_address(ring) >> 8)}});
  }
  const std::uint32_t dma_control = 10u << 1;  // 1024 dwords
  for (int engine = 0; engine < 2; ++engine) {
    const std::uint64_t base = kDmaBase[engine];
    writes.insert(writes.end(),
                  {{base, dma_control},
                   {base + 0x08, 0},
                   {base + 0x0C, 0},
                   {base + 0x1C, 0},
                   {base + 0x20, static_cast<std::uint32_t>(kWriteBack + kDmaRptrSlot[engine])},
                   {base + 0x04, static_cast<std::uint32_t>(ring_address(3 + engine) >> 8)},
                   {base + 0x2C, 0},
                   {base, dma_control | (1u << 12) | 1u}});
  }
  const std::uint32_t ih_control = (10u << 1) | (1u << 8) | (1u << 16);  // 1024 dwords, write-back
  writes.insert(writes.end(), {{0x3E04, static_cast<std::uint32_t>(ring_address(5) >> 8)},
                               {0x3E14, static_cast<std::uint32_t>(kWriteBack + kIhWptrSlot)},
                               {0x3E10, 0},
                               {0x3E00, ih_control},
                               {0x3E08, 0},
                               {0x3E0C, 0},
                               {0x3E18, 1},
                               {0x3E00, ih_control | 1u}});
  for (const Write& w : writes) {
    auto done = client_.write32(kBar2, w.offset, w.value);
    if (!done) return std::unexpected(done.error());
  }
  return {};
}

std::expected<void, std::string> TahitiDriver::put(int ring, std::span<const std::uint32_t> dwords) {
  std::uint32_t& wptr = wptr_[ring];
  while (!dwords.empty()) {
    const std::size_t n = std::min<std::size_t>(dwords.size(), kRingDwords - wptr);
    std::vector<std::uint8_t> bytes(4 * n);
    for (std::size_t i = 0; i < n; ++i) vfio_user::wire::store32(bytes.data() + 4 * i, dwords[i]);
    auto stored = store(ring_address(ring) + 4 * std::uint64_t{wptr}, bytes);
    if (!stored) return stored;
    wptr = static_cast<std::uint32_t>((wptr + n) % kRingDwords);
    dwords = dwords.subspan(n);
  }
  return {};
}

std::expected<void, std::string> TahitiDriver::cp_submit(int ring, std::span<const std::uint32_t> dwords) {
  auto done = put(ring, dwords);
  if (!done) return done;
  return client_.write32(kBar2, kCpWptr[ring], wptr_[ring]);
}

std::expected<void, std::string> TahitiDriver::dma_submit(int engine, std::span<const std::uint32_t> dwords) {
  auto done = put(3 + engine, dwords);
  if (!done) return done;
  return client_.write32(kBar2, kDmaBase[engine] + 0x0C, wptr_[3 + engine] * 4);
}

std::expected<void, std::string> TahitiDriver::store(std::uint64_t gpu, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const std::size_t n = std::min<std::size_t>(bytes.size(), kPage - gpu % kPage);
    const auto offset = static_cast<off_t>(iova(gpu) - kGuestIova);
    if (::pwrite(memory_.get(), bytes.data(), n, offset) != static_cast<ssize_t>(n)) {
      return std::unexpected("cannot write guest memory");
    }
    gpu += n;
    bytes = bytes.subspan(n);
  }
  return {};
}

std::expected<std::vector<std::uint8_t>, std::string> TahitiDriver::load(std::uint64_t gpu, std::size_t size) const {
  std::vector<std::uint8_t> out(size);
  std::size_t done = 0;
  while (done < size) {
    const std::size_t n = std::min<std::size_t>(size - done, kPage - gpu % kPage);
    const auto offset = static_cast<off_t>(iova(gpu) - kGuestIova);
    if (::pread(memory_.get(), out.data() + done, n, offset) != static_cast<ssize_t>(n)) {
      return std::unexpected("cannot read guest memory");
    }
    gpu += n;
    done += n;
  }
  return out;
}

std::uint32_t TahitiDriver::word(std::uint64_t gpu) const {
  auto bytes = load(gpu, 4);
  return bytes ? vfio_user::wire::load32(bytes->data()) : 0;
}

std::expected<void, std::string> TahitiDriver::set_word(std::uint64_t gpu, std::uint32_t value) {
  std::uint8_t bytes[4];
  vfio_user::wire::store32(bytes, value);
  return store(gpu, bytes);
}

std::expected<void, std::string> TahitiDriver::vram_write(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
    auto done = client_.region_write(kBar0, offset + at, bytes.subspan(at, std::min(kPiece, bytes.size() - at)));
    if (!done) return done;
  }
  return {};
}

std::expected<std::vector<std::uint8_t>, std::string> TahitiDriver::vram_read(std::uint64_t offset, std::size_t size) {
  std::vector<std::uint8_t> out;
  out.reserve(size);
  for (std::size_t at = 0; at < size; at += kPiece) {
    auto piece = client_.region_read(kBar0, offset + at, static_cast<std::uint32_t>(std::min(kPiece, size - at)));
    if (!piece) return std::unexpected(piece.error());
    out.insert(out.end(), piece->begin(), piece->end());
  }
  return out;
}

std::uint64_t wait_event(int fd, int limit_ms) {
  pollfd ready{.fd = fd, .events = POLLIN, .revents = 0};
  if (::poll(&ready, 1, limit_ms) != 1) return 0;
  std::uint64_t count = 0;
  return ::read(fd, &count, sizeof count) == sizeof count ? count : 0;
}

}  // namespace zephon_test
