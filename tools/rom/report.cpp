#include "report.h"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>

#include "atom_names.h"

namespace zephon_rom {

namespace {

// Values start at this column, or two spaces after a longer name.
constexpr std::size_t kValueColumn = 32;

// Returns "N blocks (B bytes)".
std::string blocks_text(std::size_t blocks) {
  return fmt::format("{} block{} ({} bytes)", blocks, blocks == 1 ? "" : "s", blocks * kBlockSize);
}

// Returns a clock given in 10 kHz units in MHz.
std::string mhz(std::uint32_t ten_khz) { return fmt::format("{}.{:02} MHz", ten_khz / 100, ten_khz % 100); }

// Returns a range of clocks given in 10 kHz units.
std::string mhz_range(std::uint32_t low, std::uint32_t high) { return fmt::format("{} - {}", mhz(low), mhz(high)); }

std::string revision_text(const TableHeader& h) {
  return fmt::format("{} bytes, revision {}.{}", h.size, h.format_revision, h.content_revision);
}

// Collects the report's lines, each field at its indentation.
class Printer {
 public:
  void line(std::size_t depth, std::string_view text) {
    fmt::format_to(std::back_inserter(out_), "{:{}}{}\n", "", depth * 2, text);
  }
  void field(std::size_t depth, std::string_view name, std::string_view value) {
    const std::size_t width = std::max(kValueColumn - depth * 2, name.size() + 2);
    fmt::format_to(std::back_inserter(out_), "{:{}}{:<{}}{}\n", "", depth * 2, name, width, value);
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

void print_pci(Printer& p, const ImageReport& image) {
  const PciDataStructure& pci = *image.pci;
  p.field(1, "PCI data structure", fmt::format("at {:#x}", image.header.pci_data_offset));
  p.field(2, "signature", std::string_view(pci.signature.data(), pci.signature.size()));
  p.field(2, "vendor", fmt::format("{:#06x}", pci.vendor));
  p.field(2, "device", fmt::format("{:#06x}", pci.device));
  if (pci.revision >= 3) {
    std::string ids;
    for (std::uint16_t id : image.device_list) ids += fmt::format("{}{:#06x}", ids.empty() ? "" : " ", id);
    p.field(2, "device list", ids.empty() ? "none" : fmt::format("at {:#x}: {}", pci.device_list_offset, ids));
  } else {
    p.field(2, "VPD pointer", fmt::format("{:#06x}", pci.device_list_offset));
  }
  p.field(2, "structure length", fmt::format("{} bytes", pci.length));
  p.field(2, "structure revision", fmt::format("{}", pci.revision));
  p.field(2, "class code", fmt::format("{:#08x} ({})", pci.class_code, class_code_name(pci.class_code)));
  p.field(2, "image length", blocks_text(pci.image_blocks));
  p.field(2, "code revision", fmt::format("{:#06x}", pci.code_revision));
  p.field(2, "code type", fmt::format("{:#04x} ({})", pci.code_type, code_type_name(pci.code_type)));
  p.field(2, "last image", fmt::format("{} (indicator {:#04x})", pci.last_image() ? "yes" : "no", pci.indicator));
  if (pci.has_revision3_fields()) {
    p.field(2, "max runtime length", blocks_text(pci.max_runtime_blocks));
    p.field(2, "config utility", fmt::format("{:#06x}", pci.config_utility_offset));
    p.field(2, "DMTF CLP entry", fmt::format("{:#06x}", pci.clp_entry_offset));
  }
}

void print_efi(Printer& p, const EfiHeader& efi) {
  p.line(1, "EFI image header");
  p.field(2, "initialization size", blocks_text(efi.init_blocks));
  p.field(2, "EFI signature", fmt::format("{:#06x}", efi.efi_signature));
  p.field(2, "subsystem", fmt::format("{} ({})", efi.subsystem, efi_subsystem_name(efi.subsystem)));
  p.field(2, "machine type", fmt::format("{:#06x} ({})", efi.machine, efi_machine_name(efi.machine)));
  p.field(2, "compression", fmt::format("{} ({})", efi.compression,
                                         efi.compression == 0 ? "none" : efi.compression == 1 ? "compressed" : "unknown"));
  p.field(2, "image offset", fmt::format("{:#x}", efi.image_offset));
}

void print_firmware_info(Printer& p, const FirmwareInfo& f) {
  p.field(4, "default engine clock", mhz(f.default_engine_clock));
  p.field(4, "default memory clock", mhz(f.default_memory_clock));
  if (!f.is_v2_1()) return;
  p.field(4, "default display clock", mhz(f.default_display_clock));
  p.field(4, "engine PLL input", mhz_range(f.min_engine_pll_input, f.max_engine_pll_input));
  p.field(4, "engine PLL output", mhz_range(f.min_engine_pll_output, f.max_engine_pll_output));
  p.field(4, "memory PLL input", mhz_range(f.min_memory_pll_input, f.max_memory_pll_input));
  p.field(4, "memory PLL output", mhz_range(f.min_memory_pll_output, f.max_memory_pll_output));
  p.field(4, "pixel PLL input", mhz_range(f.min_pixel_pll_input, f.max_pixel_pll_input));
  p.field(4, "pixel PLL output", mhz_range(f.min_pixel_pll_output, f.max_pixel_pll_output));
  p.field(4, "max pixel clock", mhz(f.max_pixel_clock));
  p.field(4, "core reference", mhz(f.core_reference_clock));
  p.field(4, "memory reference", mhz(f.memory_reference_clock));
}

void print_devices(Printer& p, const SupportedDevicesInfo& s) {
  if (s.device_support == 0) p.field(4, "devices", "none");
  for (std::size_t i = 0; i < 16; ++i) {
    if ((s.device_support & (1u << i)) == 0) continue;
    if (i >= s.connectors.size()) {
      p.field(4, device_name(i), "beyond the table");
      continue;
    }
    const ConnectorInfo& c = s.connectors[i];
    p.field(4, device_name(i), fmt::format("{}, {}, DDC line {:#04x}", connector_type_name(c.type), dac_name(c.dac),
                                           c.i2c_id));
  }
}

void print_atom(Printer& p, const AtomReport& a) {
  p.line(1, "ATOM video BIOS");
  p.field(2, "signature string", fmt::format("\"{}\" at {:#x}", a.magic, kAtiMagicOffset));
  if (!a.rom_header) return;
  const AtomRomHeader& h = *a.rom_header;
  p.field(2, "ROM header", fmt::format("at {:#x}: {}, signature {}", a.rom_header_offset, revision_text(h.header),
                                       std::string_view(h.signature.data(), h.signature.size())));
  if (a.boot_message) p.field(2, "boot message", fmt::format("\"{}\" at {:#x}", *a.boot_message, h.boot_message_offset));
  p.field(2, "subsystem", fmt::format("{:#06x}:{:#06x}", h.subsystem_vendor, h.subsystem_id));
  p.field(2, "PCI data structure", fmt::format("at {:#x}", h.pci_info_offset));
  if (a.master_command) {
    p.field(2, "command tables", fmt::format("at {:#x}: {}, {} of {} present", h.master_command_offset,
                                             revision_text(a.master_command->header), a.commands.size(),
                                             a.master_command->offsets.size()));
  }
  for (const CommandEntry& e : a.commands) {
    std::string where = fmt::format("at {:#x}", e.offset);
    if (e.table) {
      where += fmt::format(": {}, work space {}, parameter space {}", revision_text(e.table->header),
                           e.table->work_space, e.table->parameter_space);
    }
    p.field(3, fmt::format("{} {}", e.index, command_table_name(e.index)), where);
    if (!e.table) continue;
    for (const Instruction& i : e.code.instructions) {
      if (i.op == Instruction::Op::EndOfTable) p.line(4, "end of table");
      else p.line(4, fmt::format("move reg[{:#06x}] <- {:#010x}", i.reg, i.value));
    }
    if (e.code.length < e.code_size) {
      p.line(4, fmt::format("{} more bytes, not decoded", e.code_size - e.code.length));
    }
  }
  if (a.master_data) {
    p.field(2, "data tables", fmt::format("at {:#x}: {}, {} of {} present", h.master_data_offset,
                                          revision_text(a.master_data->header), a.data.size(),
                                          a.master_data->offsets.size()));
  }
  for (const DataEntry& e : a.data) {
    std::string where = fmt::format("at {:#x}", e.offset);
    if (e.header) where += ": " + revision_text(*e.header);
    p.field(3, fmt::format("{} {}", e.index, data_table_name(e.index)), where);
    if (e.index == kFirmwareInfo && a.firmware) print_firmware_info(p, *a.firmware);
    if (e.index == kSupportedDevicesInfo && a.devices) print_devices(p, *a.devices);
    if (e.index == kIndirectIoAccess && a.iio) {
      std::string ids;
      for (std::uint8_t id : a.iio->ids) ids += fmt::format("{}{:#04x}", ids.empty() ? "" : " ", id);
      p.field(4, "sequences", ids.empty() ? "none" : ids);
    }
  }
}

void print_image(Printer& p, std::size_t number, const ImageReport& image) {
  p.line(0, image.pci ? fmt::format("image {} at {:#x}, {} bytes", number, image.offset, image.length())
                      : fmt::format("image {} at {:#x}", number, image.offset));
  p.field(1, "signature", fmt::format("{:02x} {:02x}", image.header.signature & 0xFF, image.header.signature >> 8));
  if (image.x86) {
    const X86Header& x86 = *image.x86;
    p.field(1, "initialization size", blocks_text(x86.init_blocks));
    const auto target = x86.entry_target();
    p.field(1, "entry", fmt::format("{:02x} {:02x} {:02x} ({})", x86.entry[0], x86.entry[1], x86.entry[2],
                                    target ? fmt::format("jump to {:#x}", *target) : std::string("not a jump")));
  }
  if (image.checksum) {
    p.field(1, "checksum", fmt::format("{:#04x} over {} bytes{}", *image.checksum, image.x86->init_blocks * kBlockSize,
                                       *image.checksum == 0 ? " (valid)" : ""));
  }
  if (image.pci) print_pci(p, image);
  if (image.efi) print_efi(p, *image.efi);
  if (image.atom) print_atom(p, *image.atom);
  for (const std::string& problem : image.problems) p.line(1, "problem: " + problem);
  if (image.atom) {
    for (const std::string& problem : image.atom->problems) p.line(1, "problem: video BIOS: " + problem);
  }
}

}  // namespace

std::string format_report(std::string_view name, const RomReport& report) {
  Printer p;
  p.line(0, fmt::format("{}: {} bytes, {} image{}", name, report.file_size, report.images.size(),
                        report.images.size() == 1 ? "" : "s"));
  for (std::size_t i = 0; i < report.images.size(); ++i) print_image(p, i + 1, report.images[i]);
  if (report.trailing > 0) p.line(0, fmt::format("after the last image: {} bytes", report.trailing));
  for (const std::string& problem : report.problems) p.line(0, "problem: " + problem);
  const std::size_t n = report.problem_count();
  p.line(0, n == 0 ? fmt::format("{}: valid", name) : fmt::format("{}: {} problem{}", name, n, n == 1 ? "" : "s"));
  return p.take();
}

}  // namespace zephon_rom
