#include "device.h"

#include <linux/vfio.h>

#include <bit>

#include "vfio_user/limits.h"

namespace zephon::device {

std::uint64_t rom_size(std::uint64_t rom_len) {
  if (rom_len <= vfio_user::kMinRomSize) return vfio_user::kMinRomSize;
  // Past 2^63 there is no power of two; the BAR registration refuses the
  // result anyway, as it does for anything from 4 GiB up.
  if (rom_len > (std::uint64_t{1} << 63)) return std::uint64_t{1} << 63;
  return std::bit_ceil(rom_len);
}

std::expected<pci::PciConfiguration, pci::Error> configuration(std::uint64_t rom_size, Interrupts interrupts) {
  using namespace pci;
  PciConfiguration config = PciConfiguration::create(kVendorId, kDeviceId, kClassCode,
                                                     PciDisplaySubclass(PciDisplaySubclass::Other), nullptr,
                                                     PciHeaderLayout::Device, 0, 0, 0);
  const PciBarSpec bars[] = {
      {.address = 0, .size = kBar0Size, .index = 0, .prefetch = 0, .kind = PciBarKind::Memory32},
      {.address = 0, .size = kBar2Size, .index = 2, .prefetch = 0, .kind = PciBarKind::Memory32},
      {.address = 0, .size = rom_size, .index = PciConfiguration::kRomSlot, .prefetch = 0,
       .kind = PciBarKind::Memory32},
  };
  for (const PciBarSpec& bar : bars) {
    if (auto added = config.add_pci_bar(bar); !added) return std::unexpected(added.error());
  }
  if (interrupts == Interrupts::Offered) {
    config.set_interrupt_pin(1);
    if (auto msi = config.add_msi_capability(kMsiVectorsLog2); !msi) return std::unexpected(msi.error());
  }
  return config;
}

std::vector<vfio_user::ServerRegion> region_table(std::uint64_t rom_size, std::optional<int> bar0_fd) {
  constexpr std::uint32_t rw = VFIO_REGION_INFO_FLAG_READ | VFIO_REGION_INFO_FLAG_WRITE;
  struct Row {
    std::uint32_t flags;
    std::uint64_t size;
  };
  const Row rows[] = {
      {rw, kBar0Size},                           // BAR 0
      {0, 0},                                    // BAR 1
      {rw, kBar2Size},                           // BAR 2
      {0, 0},                                    // BAR 3
      {0, 0},                                    // BAR 4
      {0, 0},                                    // BAR 5
      {VFIO_REGION_INFO_FLAG_READ, rom_size},    // expansion ROM
      {rw, vfio_user::kConfigSpaceSize},         // configuration space
      {0, 0},                                    // VGA
  };
  std::vector<vfio_user::ServerRegion> table;
  table.reserve(std::size(rows));
  for (std::uint32_t index = 0; index < std::size(rows); ++index) {
    vfio_user::ServerRegion region;
    region.region_info = vfio_region_info{.argsz = 32, .flags = rows[index].flags, .index = index,
                                          .cap_offset = 0, .size = rows[index].size, .offset = 0};
    table.push_back(std::move(region));
  }
  if (bar0_fd) {
    vfio_user::ServerRegion& bar0 = table[0];
    bar0.region_info.flags |= VFIO_REGION_INFO_FLAG_MMAP;
    bar0.sparse_areas.push_back({.offset = 0, .size = kBar0Size});
    bar0.region_fd = bar0_fd;
  }
  return table;
}

std::vector<vfio_user::InterruptEntry> interrupt_table(Interrupts interrupts) {
  std::vector<vfio_user::InterruptEntry> table;
  for (std::uint32_t index = VFIO_PCI_INTX_IRQ_INDEX; index <= VFIO_PCI_REQ_IRQ_INDEX; ++index) {
    table.push_back({.index = index, .flags = 0, .count = 0});
  }
  if (interrupts == Interrupts::Offered) {
    // Signalled through eventfds. INTx is a level the monitor may mask;
    // MSI's vectors are fixed while it is enabled, as the kernel's VFIO has
    // them.
    table[VFIO_PCI_INTX_IRQ_INDEX].flags = VFIO_IRQ_INFO_EVENTFD | VFIO_IRQ_INFO_MASKABLE;
    table[VFIO_PCI_INTX_IRQ_INDEX].count = 1;
    table[VFIO_PCI_MSI_IRQ_INDEX].flags = VFIO_IRQ_INFO_EVENTFD | VFIO_IRQ_INFO_NORESIZE;
    table[VFIO_PCI_MSI_IRQ_INDEX].count = 1u << kMsiVectorsLog2;
  }
  return table;
}

}  // namespace zephon::device
