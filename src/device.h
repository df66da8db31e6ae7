// The shape of the one device zephon presents: its identity, the sizes of
// its BARs, and the region and interrupt tables the server describes it by.
#ifndef ZEPHON_DEVICE_H_
#define ZEPHON_DEVICE_H_

#include <cstdint>
#include <expected>
#include <optional>
#include <vector>

#include "pci.h"
#include "vfio_user/server.h"

namespace zephon::device {

inline constexpr std::uint16_t kVendorId = 0x1002;
inline constexpr std::uint16_t kDeviceId = 0x6780;
inline constexpr std::uint8_t kClassCode = 0x03;  // display controller
inline constexpr std::uint64_t kBar0Size = 0x10000000;
inline constexpr std::uint64_t kBar2Size = 0x40000;

// Returns the ROM BAR size for an image of rom_len bytes: the smallest power
// of two at least rom_len and vfio_user::kMinRomSize.
std::uint64_t rom_size(std::uint64_t rom_len);

// Whether the device offers interrupts. Only a device script can raise
// one, so the plain device offers none.
enum class Interrupts { Absent, Offered };

// The MSI vectors an interrupting device offers, as a power of two: 32, the
// most MSI allows, so that a script can raise any of them.
inline constexpr unsigned kMsiVectorsLog2 = 5;

// Returns the configuration space the device starts with: its identity,
// BAR 0, BAR 2 and a ROM BAR of rom_size bytes registered, and if
// interrupts are offered, interrupt pin INTA# and an MSI capability; or why
// a BAR was refused (a ROM of 4 GiB or more is).
std::expected<pci::PciConfiguration, pci::Error> configuration(std::uint64_t rom_size,
                                                               Interrupts interrupts = Interrupts::Absent);

// Returns the nine regions, position = VFIO PCI region index. With bar0_fd,
// BAR 0 is offered for mapping: the mmap flag, one sparse area covering it
// and the descriptor (not owned; it must outlive the server).
std::vector<vfio_user::ServerRegion> region_table(std::uint64_t rom_size,
                                                  std::optional<int> bar0_fd = std::nullopt);

// Returns the five interrupt indices (INTx, MSI, MSI-X, error, request),
// each with no vector; if interrupts are offered, INTx has one vector
// (maskable) and MSI 2^kMsiVectorsLog2 (fixed while enabled), signalled
// through eventfds.
std::vector<vfio_user::InterruptEntry> interrupt_table(Interrupts interrupts = Interrupts::Absent);

}  // namespace zephon::device

#endif  // ZEPHON_DEVICE_H_
