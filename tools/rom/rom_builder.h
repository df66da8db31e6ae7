// Building one PCI expansion ROM image for zephon's device: 55 AA, its
// length in 512-byte units, an initialization entry that returns at once, a
// PCI data structure (revision 3) for vendor 0x1002, device 0x6780, class
// 03/80, code type x86, marked as the last image, and a last byte that makes
// the bytes sum to zero; optionally the video BIOS of atom_builder.h.
//
// Contract: pure; the image is the requested size or the smallest that
// holds it, or the reason the requested size cannot be.
#ifndef ZEPHON_TOOLS_ROM_ROM_BUILDER_H_
#define ZEPHON_TOOLS_ROM_ROM_BUILDER_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "pci_rom.h"

namespace zephon_rom {

// The most the one-byte initialization size can say.
inline constexpr std::size_t kMaxBuildSize = 255 * kBlockSize;

// Where the built image keeps what the format leaves free to place: the
// far return the entry jumps to (past the video BIOS's fixed fields at 0x30
// and 0x48) and the PCI data structure.
inline constexpr std::size_t kReturnOffset = 0x4C;
inline constexpr std::uint16_t kPciDataOffset = 0x50;

struct BuildOptions {
  std::optional<std::size_t> size = std::nullopt;  // bytes; the smallest that fits when absent
  bool video_bios = false;
};

// Returns the image, or why it cannot be built at the requested size.
std::expected<std::vector<std::uint8_t>, std::string> build_rom(const BuildOptions& options);

}  // namespace zephon_rom

#endif  // ZEPHON_TOOLS_ROM_ROM_BUILDER_H_
