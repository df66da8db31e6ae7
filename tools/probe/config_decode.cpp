#include "config_decode.h"

#include <fmt/format.h>

#include "units.h"

namespace zephon_probe {

namespace {

std::uint32_t load32(const ConfigSnapshot& s, std::size_t offset) {
  return std::uint32_t{s.bytes[offset]} | std::uint32_t{s.bytes[offset + 1]} << 8 |
         std::uint32_t{s.bytes[offset + 2]} << 16 | std::uint32_t{s.bytes[offset + 3]} << 24;
}

std::uint16_t load16(const ConfigSnapshot& s, std::size_t offset) {
  return static_cast<std::uint16_t>(s.bytes[offset] | s.bytes[offset + 1] << 8);
}

// The size a BAR decodes is the lowest address bit the device let us set:
// devices that decode fewer upper bits (16-bit I/O) still size right.
std::uint64_t lowest_set_bit(std::uint64_t v) { return v & (~v + 1); }

std::string join_bits(std::uint32_t value, std::span<const std::pair<std::uint32_t, const char*>> names) {
  std::string out;
  for (const auto& [bit, name] : names) {
    if ((value & bit) == 0) continue;
    if (!out.empty()) out += ", ";
    out += name;
  }
  return out.empty() ? "none" : out;
}

DecodedBar decode_bar(const ConfigSnapshot& s, std::size_t i, std::size_t count) {
  DecodedBar bar{.index = static_cast<unsigned>(i)};
  const std::uint32_t value = load32(s, kFirstBarOffset + 4 * i);
  const std::optional<std::uint32_t> all_ones = s.bar_all_ones[i];
  if ((value & 0x1) != 0) {
    bar.kind = BarKind::Io;
    bar.address = value & 0xFFFFFFFC;
    bar.size = all_ones ? io_bar_size(*all_ones) : 0;
  } else if ((value & 0x6) == 0x4 && i + 1 < count) {
    bar.kind = BarKind::Mem64;
    bar.prefetchable = (value & 0x8) != 0;
    bar.address = std::uint64_t{load32(s, kFirstBarOffset + 4 * (i + 1))} << 32 | (value & 0xFFFFFFF0);
    bar.size = all_ones ? memory_bar_size(*all_ones, s.bar_all_ones[i + 1]) : 0;
  } else {
    bar.kind = BarKind::Mem32;
    bar.prefetchable = (value & 0x8) != 0;
    bar.address = value & 0xFFFFFFF0;
    bar.size = all_ones ? memory_bar_size(*all_ones) : 0;
  }
  // A register that holds nothing and sizes to nothing is not implemented.
  if (bar.size == 0 && value == 0) bar.kind = BarKind::Unused;
  return bar;
}

std::string bar_line(const DecodedBar& bar) {
  const std::string name = fmt::format("BAR{}", bar.index);
  switch (bar.kind) {
    case BarKind::Unused:
      return fmt::format("{:<5} unused", name);
    case BarKind::Mem64Upper:
      return fmt::format("{:<5} upper half of 64-bit BAR{}", name, bar.index - 1);
    case BarKind::Io:
      return fmt::format("{:<5} io, address {:#010x}, size {}", name, bar.address,
                         bar.size ? size_text(bar.size) : "unknown");
    case BarKind::Mem32:
    case BarKind::Mem64:
      break;
  }
  const bool wide = bar.kind == BarKind::Mem64;
  return fmt::format("{:<5} {}, {}, address {:#0{}x}, size {}", name, wide ? "mem64" : "mem32",
                     bar.prefetchable ? "prefetchable" : "non-prefetchable", bar.address, wide ? 18 : 10,
                     bar.size ? size_text(bar.size) : "unknown");
}

std::string rom_line(const DecodedRom& rom) {
  if (!rom.present) return "ROM   none in this header layout";
  if (rom.size == 0 && rom.address == 0 && !rom.enabled) return fmt::format("ROM   not implemented (at {:#x})", rom.offset);
  return fmt::format("ROM   address {:#010x}, {}, size {}", rom.address, rom.enabled ? "enabled" : "disabled",
                     rom.size ? size_text(rom.size) : "unknown");
}

}  // namespace

std::size_t bar_count(std::uint8_t header_type_byte) {
  switch (header_type_byte & 0x7F) {
    case 0: return 6;
    case 1: return 2;
    default: return 0;
  }
}

std::optional<std::uint32_t> rom_offset(std::uint8_t header_type_byte) {
  switch (header_type_byte & 0x7F) {
    case 0: return 0x30;
    case 1: return 0x38;
    default: return std::nullopt;
  }
}

std::uint64_t memory_bar_size(std::uint32_t all_ones, std::optional<std::uint32_t> upper_all_ones) {
  std::uint64_t mask = all_ones & 0xFFFFFFF0u;
  if (upper_all_ones) mask |= std::uint64_t{*upper_all_ones} << 32;
  return lowest_set_bit(mask);
}

std::uint64_t io_bar_size(std::uint32_t all_ones) { return lowest_set_bit(all_ones & 0xFFFFFFFCu); }

std::uint64_t rom_bar_size(std::uint32_t all_ones) { return lowest_set_bit(all_ones & 0xFFFFF800u); }

DecodedConfig decode_config(const ConfigSnapshot& s) {
  DecodedConfig c;
  c.vendor_id = load16(s, 0x00);
  c.device_id = load16(s, 0x02);
  c.command = load16(s, 0x04);
  c.status = load16(s, 0x06);
  c.revision = s.bytes[0x08];
  c.prog_if = s.bytes[0x09];
  c.subclass = s.bytes[0x0A];
  c.class_code = s.bytes[0x0B];
  c.header_type = s.bytes[0x0E] & 0x7F;
  c.multifunction = (s.bytes[0x0E] & 0x80) != 0;
  c.subsystem_vendor_id = load16(s, 0x2C);
  c.subsystem_id = load16(s, 0x2E);
  c.interrupt_line = s.bytes[0x3C];
  c.interrupt_pin = s.bytes[0x3D];

  const std::size_t count = bar_count(s.bytes[0x0E]);
  for (std::size_t i = 0; i < count; ++i) {
    c.bars.push_back(decode_bar(s, i, count));
    if (c.bars.back().kind == BarKind::Mem64) {
      c.bars.push_back(DecodedBar{.index = static_cast<unsigned>(++i), .kind = BarKind::Mem64Upper});
    }
  }
  if (auto offset = rom_offset(s.bytes[0x0E])) {
    const std::uint32_t value = load32(s, *offset);
    c.rom = DecodedRom{.present = true, .offset = *offset, .address = value & 0xFFFFF800u,
                       .enabled = (value & 0x1) != 0, .size = s.rom_all_ones ? rom_bar_size(*s.rom_all_ones) : 0};
  }
  return c;
}

std::string class_name(std::uint8_t class_code) {
  static constexpr const char* kNames[] = {
      "unclassified device", "mass storage controller", "network controller", "display controller",
      "multimedia controller", "memory controller", "bridge", "communication controller",
      "generic system peripheral", "input device controller", "docking station", "processor",
      "serial bus controller", "wireless controller", "intelligent controller",
      "satellite communications controller", "encryption controller", "signal processing controller",
      "processing accelerator", "non-essential instrumentation"};
  if (class_code < std::size(kNames)) return kNames[class_code];
  if (class_code == 0x40) return "coprocessor";
  if (class_code == 0xFF) return "unassigned class";
  return "unknown class";
}

std::string subclass_name(std::uint8_t class_code, std::uint8_t subclass) {
  if (class_code == 0x03) {
    switch (subclass) {
      case 0x00: return "VGA compatible controller";
      case 0x01: return "XGA compatible controller";
      case 0x02: return "3D controller";
      default: break;
    }
  }
  return subclass == 0x80 ? "other" : "";
}

std::string command_bits(std::uint16_t command) {
  static constexpr std::pair<std::uint32_t, const char*> kBits[] = {
      {0x001, "I/O space"},        {0x002, "memory space"},      {0x004, "bus master"},
      {0x008, "special cycles"},   {0x010, "memory write and invalidate"},
      {0x020, "VGA palette snoop"}, {0x040, "parity error response"}, {0x100, "SERR#"},
      {0x200, "fast back-to-back"}, {0x400, "interrupt disable"}};
  return join_bits(command, kBits);
}

std::string status_bits(std::uint16_t status) {
  static constexpr std::pair<std::uint32_t, const char*> kBits[] = {
      {0x0008, "interrupt status"},         {0x0010, "capabilities list"},
      {0x0020, "66 MHz"},                   {0x0080, "fast back-to-back"},
      {0x0100, "master data parity error"}, {0x0800, "signalled target abort"},
      {0x1000, "received target abort"},    {0x2000, "received master abort"},
      {0x4000, "signalled system error"},   {0x8000, "detected parity error"}};
  return join_bits(status, kBits);
}

std::vector<std::string> describe_config(const DecodedConfig& c) {
  static constexpr const char* kLayouts[] = {"general device", "PCI-to-PCI bridge", "CardBus bridge"};
  static constexpr const char* kPins[] = {"none", "INTA#", "INTB#", "INTC#", "INTD#"};
  std::vector<std::string> lines;
  lines.push_back(fmt::format("vendor {:#06x} device {:#06x}", c.vendor_id, c.device_id));
  const std::string sub = subclass_name(c.class_code, c.subclass);
  lines.push_back(fmt::format("class {:#04x} ({}) subclass {:#04x}{} prog-if {:#04x} revision {:#04x}", c.class_code,
                              class_name(c.class_code), c.subclass, sub.empty() ? "" : " (" + sub + ")", c.prog_if,
                              c.revision));
  lines.push_back(fmt::format("header type {:#04x} ({}){}", c.header_type,
                              c.header_type < std::size(kLayouts) ? kLayouts[c.header_type] : "unknown layout",
                              c.multifunction ? ", multi-function" : ""));
  lines.push_back(fmt::format("command {:#06x} ({}): memory decoding {}, I/O decoding {}", c.command,
                              command_bits(c.command), (c.command & 0x2) ? "on" : "off",
                              (c.command & 0x1) ? "on" : "off"));
  lines.push_back(fmt::format("status  {:#06x} ({})", c.status, status_bits(c.status)));
  if (c.header_type == 0) {
    lines.push_back(fmt::format("subsystem vendor {:#06x} subsystem {:#06x}", c.subsystem_vendor_id, c.subsystem_id));
  }
  for (const DecodedBar& bar : c.bars) lines.push_back(bar_line(bar));
  lines.push_back(rom_line(c.rom));
  lines.push_back(fmt::format("interrupt line {:#04x} ({}), pin {}", c.interrupt_line, c.interrupt_line,
                              c.interrupt_pin < std::size(kPins) ? kPins[c.interrupt_pin] : "invalid"));
  return lines;
}

}  // namespace zephon_probe
