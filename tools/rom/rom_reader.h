// Reading an option ROM file: the images in it one after another, as a PCI
// BIOS and the Linux kernel walk them (each image's length from its PCI data
// structure, until the one with the last-image indicator), each judged for
// zephon's device, with the video BIOS of x86 images.
//
// Contract: pure; a file of any content gives a report, never an error.
// Offsets in an image are checked against the file before they are
// followed, and nothing is allocated by a size read from the file beyond
// the file's own size.
#ifndef ZEPHON_TOOLS_ROM_ROM_READER_H_
#define ZEPHON_TOOLS_ROM_ROM_READER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "atom_reader.h"
#include "bytes.h"
#include "pci_rom.h"

namespace zephon_rom {

struct ImageReport {
  std::size_t offset = 0;  // in the file
  ImageHeader header;
  std::optional<PciDataStructure> pci;
  std::vector<std::uint16_t> device_list;
  std::optional<X86Header> x86;  // x86 images
  std::optional<EfiHeader> efi;  // EFI images
  std::optional<std::uint8_t> checksum;  // x86: the byte sum over the initialization size
  std::optional<AtomReport> atom;
  std::vector<std::string> problems;

  // Returns the image's length in bytes by its PCI data structure.
  std::size_t length() const { return pci ? pci->image_blocks * kBlockSize : 0; }
};

struct RomReport {
  std::size_t file_size = 0;
  std::vector<ImageReport> images;
  std::size_t trailing = 0;           // bytes after the last image
  std::vector<std::string> problems;  // of the file as a whole

  // Returns the number of problems in the file, its images and their BIOSes.
  std::size_t problem_count() const;
};

// Returns what the file holds.
RomReport inspect_rom(Bytes file);

}  // namespace zephon_rom

#endif  // ZEPHON_TOOLS_ROM_ROM_READER_H_
