// The ATOM video BIOS structures that the Linux display driver (radeon)
// reads from a card's ROM, each with its one encoder and decoder: the ROM
// header, the master lists of command and data tables, command tables and
// the two interpreter instructions zephon's BIOS needs, and the data tables
// FirmwareInfo (v2.1), SupportedDevicesInfo (v1.1) and IndirectIOAccess.
//
// Every ATOM offset is 16 bits, counted from the start of the image. Every
// table starts with a TableHeader whose size covers the whole table.
//
// Contract: encode() returns a table's bytes, or writes it at off in a span
// the caller made large enough; decode() reads from a span that holds the
// structure whole (the caller checks the bounds against the table's size),
// judging nothing.
#ifndef ZEPHON_TOOLS_ROM_ATOM_TABLES_H_
#define ZEPHON_TOOLS_ROM_ATOM_TABLES_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "bytes.h"

namespace zephon_rom {

// The driver refuses a BIOS without this string at 0x30, and finds the ROM
// header through the word at 0x48.
inline constexpr std::size_t kAtiMagicOffset = 0x30;
inline constexpr std::string_view kAtiMagic = " 761295520";
inline constexpr std::size_t kRomHeaderPointerOffset = 0x48;

inline constexpr std::size_t kCommandTableCount = 81;
inline constexpr std::size_t kDataTableCount = 34;
// Indices in the master lists of the tables zephon's BIOS holds.
inline constexpr std::size_t kAsicInit = 0;
inline constexpr std::size_t kDacLoadDetection = 21;
inline constexpr std::size_t kFirmwareInfo = 4;
inline constexpr std::size_t kSupportedDevicesInfo = 9;
inline constexpr std::size_t kIndirectIoAccess = 23;

struct TableHeader {
  static constexpr std::size_t kSize = 4;
  std::uint16_t size = 0;  // of the whole table, this header included
  std::uint8_t format_revision = 1;
  std::uint8_t content_revision = 1;

  // Returns nothing; writes the header at off.
  void encode(std::span<std::uint8_t> b, std::size_t off) const;
  // Returns the header at off.
  static TableHeader decode(Bytes b, std::size_t off);
};

struct AtomRomHeader {
  static constexpr std::size_t kSize = 0x24;
  TableHeader header{kSize, 1, 1};
  std::array<char, 4> signature{'A', 'T', 'O', 'M'};  // at header + 4
  std::uint16_t boot_message_offset = 0;              // + 0x10
  std::uint16_t subsystem_vendor = 0;                 // + 0x18
  std::uint16_t subsystem_id = 0;                     // + 0x1A
  std::uint16_t pci_info_offset = 0;                  // + 0x1C
  std::uint16_t master_command_offset = 0;            // + 0x1E
  std::uint16_t master_data_offset = 0;               // + 0x20

  // Returns whether the signature reads "ATOM".
  bool signature_ok() const;
  // Returns nothing; writes kSize bytes at off, the fields not named here 0.
  void encode(std::span<std::uint8_t> b, std::size_t off) const;
  // Returns the header at off.
  static AtomRomHeader decode(Bytes b, std::size_t off);
};

// A master list: the offset of each table by index, 0 for an absent one.
struct MasterTable {
  TableHeader header;
  std::vector<std::uint16_t> offsets;

  // Returns a list of count entries (header size set to match), all absent.
  static MasterTable empty(std::size_t count);
  // Returns the table's bytes, its size set by its entries.
  std::vector<std::uint8_t> encode() const;
  // Returns the table at off with as many entries as the header's size
  // holds, none past b's end.
  static MasterTable decode(Bytes b, std::size_t off);
};

// The interpreter instructions zephon's BIOS uses: MOVE of a dword
// immediate to a register (by register index, a fourth of its byte offset)
// and end of table.
inline constexpr std::uint8_t kOpMoveToRegister = 0x01;
inline constexpr std::uint8_t kAttrDwordImmediate = 0x05;
inline constexpr std::uint8_t kOpEndOfTable = 0x5B;
struct Instruction {
  enum class Op { MoveToRegister, EndOfTable };
  Op op = Op::EndOfTable;
  std::uint16_t reg = 0;
  std::uint32_t value = 0;
  bool operator==(const Instruction&) const = default;
};

// The code of a command table as far as it could be read: instructions up
// to the end of table, or up to the first one this decoder does not know.
struct DecodedCode {
  std::vector<Instruction> instructions;
  std::size_t length = 0;  // bytes decoded
  bool ended = false;      // an end of table was reached
};

struct CommandTable {
  static constexpr std::size_t kHeaderSize = 6;
  TableHeader header;  // size set by encode()
  std::uint8_t work_space = 0;       // dwords of scratch the table uses
  std::uint8_t parameter_space = 0;  // bytes of parameters it reads
  std::vector<Instruction> code;

  // Returns the table's bytes, its size set by its code.
  std::vector<std::uint8_t> encode() const;
  // Returns the table at off with its header read, its code left empty.
  static CommandTable decode_header(Bytes b, std::size_t off);
};
// Returns the instructions of code (the bytes after a command table header).
DecodedCode decode_code(Bytes code);

// FirmwareInfo v2.1: clocks in units of 10 kHz. The default clocks lie at
// the same place in every revision.
struct FirmwareInfo {
  static constexpr std::size_t kSize = 0x5C;
  static constexpr std::size_t kDefaultClocksEnd = 0x10;
  TableHeader header{kSize, 2, 1};
  std::uint32_t firmware_revision = 0;
  std::uint32_t default_engine_clock = 0;
  std::uint32_t default_memory_clock = 0;
  std::uint32_t max_engine_pll_output = 0;
  std::uint32_t max_memory_pll_output = 0;
  std::uint32_t max_pixel_pll_output = 0;
  std::uint32_t default_display_clock = 0;
  std::uint32_t min_pixel_pll_output = 0;
  std::uint16_t min_engine_pll_input = 0, max_engine_pll_input = 0, min_engine_pll_output = 0;
  std::uint16_t min_memory_pll_input = 0, max_memory_pll_input = 0, min_memory_pll_output = 0;
  std::uint16_t max_pixel_clock = 0, min_pixel_pll_input = 0, max_pixel_pll_input = 0;
  std::uint16_t firmware_capability = 0;
  std::uint16_t core_reference_clock = 0;
  std::uint16_t memory_reference_clock = 0;

  // Returns whether the table is of revision 2.1, whose layout this is.
  bool is_v2_1() const { return header.format_revision == 2 && header.content_revision == 1; }
  // Returns the table's kSize bytes.
  std::vector<std::uint8_t> encode() const;
  // Returns the table at off: the default clocks from its first
  // kDefaultClocksEnd bytes, everything else too when b holds kSize bytes
  // from off.
  static FirmwareInfo decode(Bytes b, std::size_t off);
};

// One device's connector: its type and DAC (nibbles of one byte, in the
// driver's numbering: type 1 VGA, DAC 1 DAC A) and its DDC line.
struct ConnectorInfo {
  std::uint8_t type = 0;
  std::uint8_t dac = 0;
  std::uint8_t i2c_id = 0;
  bool operator==(const ConnectorInfo&) const = default;
};

// SupportedDevicesInfo: a bit per device (CRT1, LCD1, ...) and a connector
// for each; 10 devices in revision 1, 16 from revision 2.
struct SupportedDevicesInfo {
  static constexpr std::size_t kDevicesV1 = 10;
  static constexpr std::size_t kDevicesV2 = 16;
  TableHeader header{6 + 2 * kDevicesV1, 1, 1};
  std::uint16_t device_support = 0;
  std::vector<ConnectorInfo> connectors;

  // Returns the table's bytes, its size set by its connectors.
  std::vector<std::uint8_t> encode() const;
  // Returns the table at off with as many connectors as its revision has
  // and its header's size holds.
  static SupportedDevicesInfo decode(Bytes b, std::size_t off);
};

// IndirectIOAccess: the sequences of indirect register accesses, each
// opened by IIO_START and an id and closed by IIO_END. The driver walks them
// from header + 4 for as long as it finds IIO_START, so an empty table needs
// one byte of something else to end the walk inside it.
inline constexpr std::uint8_t kIioNop = 0;
inline constexpr std::uint8_t kIioStart = 1;
inline constexpr std::uint8_t kIioEnd = 9;
struct IndirectIoAccess {
  TableHeader header;  // size set by encode()
  std::vector<std::uint8_t> sequences;

  // Returns the table's bytes, its size set by its sequences.
  std::vector<std::uint8_t> encode() const;
};
// The sequences found from the start of a table's body.
struct IioScan {
  std::vector<std::uint8_t> ids;
  bool overrun = false;  // a sequence runs past the table
  std::size_t end = 0;   // where the walk stopped, from the body's start
};
// Returns the sequences in body (the bytes after the header).
IioScan scan_iio(Bytes body);

}  // namespace zephon_rom

#endif  // ZEPHON_TOOLS_ROM_ATOM_TABLES_H_
