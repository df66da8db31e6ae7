// Option ROM files for zephon-rom's tests, made with the tool's own
// encoders: the built images, and a file of two images (the built x86 one,
// no longer the last, then an EFI image naming the device in its list).
#ifndef ZEPHON_TESTS_ROM_SAMPLES_H_
#define ZEPHON_TESTS_ROM_SAMPLES_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "pci_rom.h"
#include "rom_builder.h"

namespace zephon_rom {

// Returns the image build_rom makes with options (empty after a failure).
inline std::vector<std::uint8_t> built(BuildOptions options) {
  auto image = build_rom(options);
  EXPECT_TRUE(image) << image.error();
  return image ? *image : std::vector<std::uint8_t>{};
}

// Returns nothing; makes the bytes of image sum to zero again through its
// last byte.
inline void fix_checksum(std::vector<std::uint8_t>& image) {
  image.back() = 0;
  image.back() = static_cast<std::uint8_t>(0x100 - (std::accumulate(image.begin(), image.end(), 0u) & 0xFF));
}

// Returns an EFI image of blocks blocks for a sibling device (0x6798) whose
// device list names zephon's, marked last.
inline std::vector<std::uint8_t> efi_image(std::uint16_t blocks) {
  std::vector<std::uint8_t> b(blocks * kBlockSize);
  ImageHeader{.pci_data_offset = 0x1C}.encode(b);
  EfiHeader{.init_blocks = blocks, .subsystem = 11, .machine = 0x8664, .image_offset = 0x40}.encode(b);
  PciDataStructure pci;
  pci.vendor = kDeviceVendor;
  pci.device = 0x6798;
  pci.device_list_offset = PciDataStructure::kSize;
  pci.class_code = kDeviceClass;
  pci.image_blocks = blocks;
  pci.code_type = kCodeEfi;
  pci.indicator = PciDataStructure::kLastImage;
  pci.encode(b, 0x1C);
  b[0x1C + PciDataStructure::kSize] = 0x80;  // the device list: 0x6780, then 0
  b[0x1C + PciDataStructure::kSize + 1] = 0x67;
  return b;
}

// Returns the built video BIOS image, no longer the last, then an EFI image.
inline std::vector<std::uint8_t> two_images() {
  auto file = built({.video_bios = true});
  file[kPciDataOffset + 0x15] = 0;
  fix_checksum(file);
  const auto efi = efi_image(2);
  file.insert(file.end(), efi.begin(), efi.end());
  return file;
}

}  // namespace zephon_rom

#endif  // ZEPHON_TESTS_ROM_SAMPLES_H_
