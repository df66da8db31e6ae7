// Report turns what a Session learned into the text the probe prints: one
// block per command, in the order the commands ran.
//
// Contract: pure; every returned text ends with a newline.
#ifndef ZEPHON_TOOLS_PROBE_REPORT_H_
#define ZEPHON_TOOLS_PROBE_REPORT_H_

#include <cstdint>
#include <span>
#include <string>

#include "commands.h"
#include "session.h"

namespace zephon_probe {

// Returns the name of a region: BAR0..BAR5, ROM, CONFIG, VGA for a PCI
// device, "region N" otherwise.
std::string region_name(std::uint32_t index, bool pci);
// Returns the name of an interrupt index: INTx, MSI, MSI-X, ERR, REQ for a
// PCI device, "irq N" otherwise.
std::string irq_name(std::uint32_t index, bool pci);

// Returns the handshake, device, region, interrupt and configuration text.
std::string format_info(const ServerVersion& version, const DeviceReport& report);
// Returns the text of a read: the word for a 4-byte read, else a hex dump.
std::string format_read(const ReadStep& step, std::span<const std::uint8_t> bytes);
// Returns the text of a completed write.
std::string format_write(const WriteStep& step);
// Returns the text of a completed reset.
std::string format_reset();
// Returns the ROM's size and whether it starts with the 55 AA signature.
std::string format_rom(std::uint64_t region_size, std::span<const std::uint8_t> bytes);

}  // namespace zephon_probe

#endif  // ZEPHON_TOOLS_PROBE_REPORT_H_
