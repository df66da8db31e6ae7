#include "report.h"

#include <linux/vfio.h>

#include <fmt/format.h>

#include <utility>

#include "config_decode.h"
#include "units.h"

namespace zephon_probe {

namespace {

std::string flag_names(std::uint32_t flags, std::span<const std::pair<std::uint32_t, const char*>> names) {
  std::string out;
  std::uint32_t known = 0;
  for (const auto& [bit, name] : names) {
    known |= bit;
    if ((flags & bit) == 0) continue;
    if (!out.empty()) out += ", ";
    out += name;
  }
  if ((flags & ~known) != 0) out += fmt::format("{}{:#x}", out.empty() ? "" : ", ", flags & ~known);
  return out.empty() ? "none" : out;
}

std::string device_flags(std::uint32_t flags) {
  static constexpr std::pair<std::uint32_t, const char*> kNames[] = {
      {VFIO_DEVICE_FLAGS_PCI, "PCI"},   {VFIO_DEVICE_FLAGS_RESET, "RESET"}, {VFIO_DEVICE_FLAGS_PLATFORM, "PLATFORM"},
      {VFIO_DEVICE_FLAGS_AMBA, "AMBA"},   {VFIO_DEVICE_FLAGS_CCW, "CCW"},   {VFIO_DEVICE_FLAGS_AP, "AP"},
      {VFIO_DEVICE_FLAGS_FSL_MC, "FSL_MC"}, {VFIO_DEVICE_FLAGS_CAPS, "CAPS"}};
  return flag_names(flags, kNames);
}

std::string region_flags(std::uint32_t flags) {
  static constexpr std::pair<std::uint32_t, const char*> kNames[] = {{VFIO_REGION_INFO_FLAG_READ, "r"},
                                                                       {VFIO_REGION_INFO_FLAG_WRITE, "w"},
                                                                       {VFIO_REGION_INFO_FLAG_MMAP, "mmap"},
                                                                       {VFIO_REGION_INFO_FLAG_CAPS, "caps"}};
  return flag_names(flags, kNames);
}

std::string irq_flags(std::uint32_t flags) {
  static constexpr std::pair<std::uint32_t, const char*> kNames[] = {{VFIO_IRQ_INFO_EVENTFD, "eventfd"},
                                                                       {VFIO_IRQ_INFO_MASKABLE, "maskable"},
                                                                       {VFIO_IRQ_INFO_AUTOMASKED, "automasked"},
                                                                       {VFIO_IRQ_INFO_NORESIZE, "noresize"}};
  return flag_names(flags, kNames);
}

}  // namespace

std::string region_name(std::uint32_t index, bool pci) {
  static constexpr const char* kNames[] = {"BAR0", "BAR1", "BAR2", "BAR3", "BAR4", "BAR5", "ROM", "CONFIG", "VGA"};
  if (pci && index < std::size(kNames)) return kNames[index];
  return fmt::format("region {}", index);
}

std::string irq_name(std::uint32_t index, bool pci) {
  static constexpr const char* kNames[] = {"INTx", "MSI", "MSI-X", "ERR", "REQ"};
  if (pci && index < std::size(kNames)) return kNames[index];
  return fmt::format("irq {}", index);
}

std::string format_info(const ServerVersion& version, const DeviceReport& report) {
  const bool pci = (report.device.flags & VFIO_DEVICE_FLAGS_PCI) != 0;
  std::string out = fmt::format("server version {}.{}\nserver capabilities {}\n", version.major, version.minor,
                                version.capabilities);
  out += fmt::format("device flags {:#x} ({}), {} regions, {} interrupt indices\n", report.device.flags,
                     device_flags(report.device.flags), report.device.num_regions, report.device.num_irqs);
  out += "regions:\n";
  for (const auto& r : report.regions) {
    out += fmt::format("  {:<2} {:<8} size {:<24} flags {:#x} ({})", r.index, region_name(r.index, pci),
                       size_text(r.size), r.flags, region_flags(r.flags));
    if (r.offset != 0 || r.cap_offset != 0) out += fmt::format(" offset {:#x} cap_offset {:#x}", r.offset, r.cap_offset);
    out += '\n';
  }
  out += "interrupts:\n";
  for (const auto& irq : report.irqs) {
    out += fmt::format("  {:<2} {:<8} count {:<4} flags {:#x} ({})\n", irq.index, irq_name(irq.index, pci), irq.count,
                       irq.flags, irq_flags(irq.flags));
  }
  if (!report.config) return out + fmt::format("configuration space: not decoded ({})\n", report.config_note);
  out += "configuration space:\n";
  for (const std::string& line : describe_config(decode_config(*report.config))) out += "  " + line + "\n";
  return out;
}

std::string format_read(const ReadStep& step, std::span<const std::uint8_t> bytes) {
  if (bytes.size() == 4) {
    const std::uint32_t word = std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
                               std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24;
    return fmt::format("read {} {:#x}: {:#010x}\n", step.region.label, step.offset, word);
  }
  return fmt::format("read {} {:#x} ({} bytes):\n{}", step.region.label, step.offset, bytes.size(),
                     hex_dump(bytes, step.offset));
}

std::string format_write(const WriteStep& step) {
  return fmt::format("{} {} {:#x}: {:#010x}{}\n", step.posted ? "write-posted" : "write", step.region.label,
                     step.offset, step.value, step.posted ? " (sent, no reply asked)" : "");
}

std::string format_reset() { return "reset: done\n"; }

std::string format_rom(std::uint64_t region_size, std::span<const std::uint8_t> bytes) {
  const bool signed_rom = bytes.size() >= 2 && bytes[0] == 0x55 && bytes[1] == 0xAA;
  std::string out = fmt::format("rom: region size {}, {} bytes read\n", size_text(region_size), bytes.size());
  out += signed_rom ? "rom: starts with the 55 AA signature\n"
                    : fmt::format("rom: no 55 AA signature (starts with {})\n",
                                  bytes.size() >= 2 ? fmt::format("{:02x} {:02x}", bytes[0], bytes[1]) : "nothing");
  return out;
}

}  // namespace zephon_probe
