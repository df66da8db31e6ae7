// Reading the option ROM image: the whole file, unchanged.
#ifndef ZEPHON_ROM_FILE_H_
#define ZEPHON_ROM_FILE_H_

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "vfio_user/io_error.h"

namespace zephon {

struct RomImage {
  std::vector<std::uint8_t> bytes;  // the file's contents
  std::uint64_t length = 0;         // the file's length; above the largest ROM, bytes is left empty
};

// The largest image a 32-bit ROM BAR can hold: 2 GiB, since the BAR's size
// is the next power of two and must stay below 4 GiB.
inline constexpr std::uint64_t kLargestRom = std::uint64_t{1} << 31;

// Returns the image at path (raw path bytes), or the operating-system error.
// A file larger than kLargestRom is not read: only its length matters then,
// since no BAR can present it.
std::expected<RomImage, vfio_user::IoError> read_rom(const std::string& path);

}  // namespace zephon

#endif  // ZEPHON_ROM_FILE_H_
