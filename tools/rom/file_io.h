// Reading a whole file with a bound on its size, and writing one, each
// descriptor owned by a vfio_user::UniqueFd; failures are values carrying
// the operating system's description.
#ifndef ZEPHON_TOOLS_ROM_FILE_IO_H_
#define ZEPHON_TOOLS_ROM_FILE_IO_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace zephon_rom {

// Returns the contents of the file at path, or why they could not be read
// (among the reasons: more than max bytes).
std::expected<std::vector<std::uint8_t>, std::string> read_whole_file(const std::string& path, std::size_t max);

// Returns success once all of data is written to fd, or the error text.
std::expected<void, std::string> write_all(int fd, std::span<const std::uint8_t> data);

// Returns success once the file at path (created or truncated) holds data.
std::expected<void, std::string> write_whole_file(const std::string& path, std::span<const std::uint8_t> data);

}  // namespace zephon_rom

#endif  // ZEPHON_TOOLS_ROM_FILE_IO_H_
