// Building the smallest ATOM video BIOS that the Linux display driver
// (radeon, 6.1) accepts for zephon's device, which it takes for a TAHITI:
// the tables it reads while it posts the card, sizes its memory, sets up
// its clocks and finds its one connector, and nothing else.
//
// Contract: the tables are appended to the image after what it holds; the
// caller finishes the image (its length and checksum). Every offset fits in
// 16 bits, as the tables' own pointers do, as long as the image holds less
// than 60 KiB before the call.
#ifndef ZEPHON_TOOLS_ROM_ATOM_BUILDER_H_
#define ZEPHON_TOOLS_ROM_ATOM_BUILDER_H_

#include <cstdint>
#include <string_view>

#include "bytes.h"

namespace zephon_rom {

// The name the driver prints ("ATOM BIOS: ...") as it loads.
inline constexpr std::string_view kBootMessage = "ZEPHON_SYNTHETIC_TAHITI";

// Register indices (byte offset / 4 in BAR 2) and the values the command
// tables store in them.
inline constexpr std::uint16_t kConfigMemsize = 0x150A;     // VRAM size in MiB, read after posting
inline constexpr std::uint32_t kVramMegabytes = 256;        // BAR 0's size
inline constexpr std::uint16_t kBios0Scratch = 0x05C9;      // load detection's answer
inline constexpr std::uint32_t kCrt1ColourMonitor = 0x2;

// Returns nothing; writes the signature string at 0x30 and the ROM header
// pointer at 0x48 of image, and appends the ROM header, the boot message,
// the master lists and the tables. pci_data_offset is where the image's PCI
// data structure lies, which the ROM header names.
void build_video_bios(ImageBuffer& image, std::uint16_t pci_data_offset);

}  // namespace zephon_rom

#endif  // ZEPHON_TOOLS_ROM_ATOM_BUILDER_H_
