#include "atom_builder.h"

#include <string>
#include <vector>

#include "atom_tables.h"

namespace zephon_rom {

namespace {

std::uint16_t offset16(std::size_t off) { return static_cast<std::uint16_t>(off); }

// ASIC_Init: the driver runs it to post the card, then reads the VRAM size
// from CONFIG_MEMSIZE, so storing it there is all the posting there is.
CommandTable asic_init() {
  return CommandTable{.header = {0, 1, 1},
                      .code = {{Instruction::Op::MoveToRegister, kConfigMemsize, kVramMegabytes}, {}}};
}

// DAC_LoadDetection: the driver runs it to probe the VGA connector and
// reads the answer from BIOS_0_SCRATCH; a colour monitor on CRT1 makes the
// connector connected.
CommandTable dac_load_detection() {
  return CommandTable{.header = {0, 1, 1},
                      .code = {{Instruction::Op::MoveToRegister, kBios0Scratch, kCrt1ColourMonitor}, {}}};
}

// FirmwareInfo v2.1, clocks in 10 kHz. The driver posts the card only with
// non-zero default clocks, divides by the reference clocks when it sets a
// mode, and picks pixel PLL dividers inside the limits.
FirmwareInfo firmware_info() {
  FirmwareInfo f;
  f.default_engine_clock = 92500;    // 925 MHz
  f.default_memory_clock = 137500;   // 1375 MHz
  f.max_engine_pll_output = 120000;  // 1.2 GHz
  f.max_memory_pll_output = 150000;  // 1.5 GHz
  f.max_pixel_pll_output = 120000;
  f.min_pixel_pll_output = 60000;
  f.default_display_clock = 60000;  // the driver's own default, said outright
  f.min_engine_pll_input = f.min_memory_pll_input = f.min_pixel_pll_input = 100;
  f.max_engine_pll_input = f.max_memory_pll_input = f.max_pixel_pll_input = 1350;
  f.min_engine_pll_output = f.min_memory_pll_output = 50000;
  f.max_pixel_clock = 40000;  // 400 MHz, far above what 1024x768 needs
  f.core_reference_clock = f.memory_reference_clock = 2700;  // 27 MHz
  return f;
}

// SupportedDevicesInfo v1.1: CRT1 alone, a VGA connector on DAC A with no
// DDC line (there is no GPIO_I2C_Info to name one), so the driver finds one
// connector and detects the monitor by load detection.
SupportedDevicesInfo supported_devices() {
  SupportedDevicesInfo s;
  s.device_support = 1u << 0;  // CRT1
  s.connectors.assign(SupportedDevicesInfo::kDevicesV1, ConnectorInfo{});
  s.connectors[0] = ConnectorInfo{.type = 1, .dac = 1, .i2c_id = 0};
  return s;
}

}  // namespace

void build_video_bios(ImageBuffer& image, std::uint16_t pci_data_offset) {
  put_text(image.at(kAtiMagicOffset, kAtiMagic.size()), 0, kAtiMagic);

  // The ROM header and the master lists are written last, once every
  // table's place is known; their space is taken first.
  const std::size_t header_at = image.place(std::vector<std::uint8_t>(AtomRomHeader::kSize));
  std::string message(kBootMessage);
  message.push_back('\0');
  const std::size_t message_at =
      image.place(Bytes(reinterpret_cast<const std::uint8_t*>(message.data()), message.size()));
  MasterTable commands = MasterTable::empty(kCommandTableCount);
  MasterTable data = MasterTable::empty(kDataTableCount);
  const std::size_t commands_at = image.place(commands.encode());
  const std::size_t data_at = image.place(data.encode());

  commands.offsets[kAsicInit] = offset16(image.place(asic_init().encode()));
  commands.offsets[kDacLoadDetection] = offset16(image.place(dac_load_detection().encode()));
  data.offsets[kFirmwareInfo] = offset16(image.place(firmware_info().encode()));
  data.offsets[kSupportedDevicesInfo] = offset16(image.place(supported_devices().encode()));
  // Empty: one IIO_NOP ends the driver's walk for sequences inside it.
  data.offsets[kIndirectIoAccess] = offset16(image.place(IndirectIoAccess{{0, 1, 1}, {kIioNop}}.encode()));

  const auto command_bytes = commands.encode();
  std::ranges::copy(command_bytes, image.at(commands_at, command_bytes.size()).begin());
  const auto data_bytes = data.encode();
  std::ranges::copy(data_bytes, image.at(data_at, data_bytes.size()).begin());
  AtomRomHeader header;
  header.boot_message_offset = offset16(message_at);
  header.pci_info_offset = pci_data_offset;
  header.master_command_offset = offset16(commands_at);
  header.master_data_offset = offset16(data_at);
  header.encode(image.at(header_at, AtomRomHeader::kSize), 0);
  put16(image.at(kRomHeaderPointerOffset, 2), 0, offset16(header_at));
}

}  // namespace zephon_rom
