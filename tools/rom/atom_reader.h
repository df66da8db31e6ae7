// Reading the ATOM video BIOS in an x86 option ROM image the way the Linux
// display driver (radeon) finds it: the signature string at 0x30, the ROM
// header through the word at 0x48, the master command and data tables it
// names, and the tables zephon's BIOS holds, decoded.
//
// Contract: every offset is checked against the image before it is
// followed; what points outside the image, and what keeps the driver from
// using the BIOS, is listed in problems. Nothing is allocated by a size read
// from the image beyond the image's own size.
#ifndef ZEPHON_TOOLS_ROM_ATOM_READER_H_
#define ZEPHON_TOOLS_ROM_ATOM_READER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "atom_tables.h"
#include "bytes.h"

namespace zephon_rom {

// A command table that its master list names.
struct CommandEntry {
  std::size_t index = 0;
  std::uint16_t offset = 0;
  std::optional<CommandTable> table;  // nothing when it lies outside the image
  DecodedCode code;
  std::size_t code_size = 0;  // bytes after the header, per the table's size
};

// A data table that its master list names.
struct DataEntry {
  std::size_t index = 0;
  std::uint16_t offset = 0;
  std::optional<TableHeader> header;  // nothing when it lies outside the image
};

struct AtomReport {
  std::string magic;                    // the bytes at 0x30, as many as the string has
  bool magic_ok = false;
  std::uint16_t rom_header_offset = 0;  // the word at 0x48
  std::optional<AtomRomHeader> rom_header;
  std::optional<std::string> boot_message;
  std::optional<MasterTable> master_command;
  std::optional<MasterTable> master_data;
  std::vector<CommandEntry> commands;  // the present ones, by index
  std::vector<DataEntry> data;         // the present ones, by index
  std::optional<FirmwareInfo> firmware;
  std::optional<SupportedDevicesInfo> devices;
  std::optional<IioScan> iio;
  std::vector<std::string> problems;
};

// Returns the video BIOS of an image, or nothing when the image has neither
// the signature string at 0x30 nor "ATOM" in a ROM header at the word at
// 0x48. The image ends where its PCI data structure says it does.
std::optional<AtomReport> read_atom(Bytes image);

}  // namespace zephon_rom

#endif  // ZEPHON_TOOLS_ROM_ATOM_READER_H_
