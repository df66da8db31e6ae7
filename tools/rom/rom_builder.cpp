#include "rom_builder.h"

#include <fmt/format.h>

#include <numeric>

#include "atom_builder.h"

namespace zephon_rom {

namespace {

constexpr std::uint8_t kJumpShort = 0xEB;
constexpr std::uint8_t kFarReturn = 0xCB;

}  // namespace

std::expected<std::vector<std::uint8_t>, std::string> build_rom(const BuildOptions& options) {
  ImageBuffer image(kPciDataOffset + PciDataStructure::kSize);
  // The BIOS calls the entry far; returning at once initializes nothing,
  // which is all the device needs.
  put8(image.at(kReturnOffset, 1), 0, kFarReturn);
  if (options.video_bios) build_video_bios(image, kPciDataOffset);

  // One byte more for the checksum, which ends the image.
  const std::size_t needed = (image.size() + 1 + kBlockSize - 1) / kBlockSize * kBlockSize;
  const std::size_t size = options.size.value_or(needed);
  if (size % kBlockSize != 0) return std::unexpected(fmt::format("--size {} is not a multiple of 512", size));
  if (size < needed) return std::unexpected(fmt::format("--size {} is too small: the image needs {} bytes", size, needed));
  if (size > kMaxBuildSize) {
    return std::unexpected(fmt::format("--size {} is larger than {} (255 blocks of 512 bytes, the most an x86 "
                                       "image's size byte says)",
                                       size, kMaxBuildSize));
  }
  auto bytes = image.at(0, size);
  const auto blocks = static_cast<std::uint16_t>(size / kBlockSize);
  ImageHeader{.pci_data_offset = kPciDataOffset}.encode(bytes);
  const auto jump = static_cast<std::uint8_t>(kReturnOffset - 5);  // from the end of the two-byte jump at 3
  X86Header{.init_blocks = static_cast<std::uint8_t>(blocks), .entry = {kJumpShort, jump, 0}}.encode(bytes);
  PciDataStructure pci;
  pci.vendor = kDeviceVendor;
  pci.device = kDeviceId;
  pci.class_code = kDeviceClass;
  pci.image_blocks = blocks;
  pci.indicator = PciDataStructure::kLastImage;
  pci.max_runtime_blocks = blocks;
  pci.encode(bytes, kPciDataOffset);
  const auto sum = std::accumulate(bytes.begin(), bytes.end() - 1, 0u);
  bytes.back() = static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
  return image.take();
}

}  // namespace zephon_rom
