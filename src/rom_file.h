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

// Returns the image at path (raw path bytes), or the operating-system error.
// A file larger than vfio_user::kMaxRomSize, the largest image a 32-bit ROM
// BAR can hold, is not read: only its length matters then,
// since no BAR can present it.
std::expected<RomImage, vfio_user::IoError> read_rom(const std::string& path);

}  // namespace zephon

#endif  // ZEPHON_ROM_FILE_H_
