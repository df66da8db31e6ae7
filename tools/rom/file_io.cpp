#include "file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "vfio_user/unique_fd.h"

namespace zephon_rom {

namespace {

constexpr std::size_t kChunk = 64 * 1024;

std::string os_error() { return std::strerror(errno); }

}  // namespace

std::expected<std::vector<std::uint8_t>, std::string> read_whole_file(const std::string& path, std::size_t max) {
  vfio_user::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::unexpected(os_error());
  // Read in chunks rather than by the size the file claims, so that pipes
  // and files that grow are bounded the same way.
  std::vector<std::uint8_t> bytes;
  for (;;) {
    const std::size_t at = bytes.size();
    bytes.resize(at + kChunk);
    const ssize_t n = ::read(fd.get(), bytes.data() + at, kChunk);
    if (n < 0 && errno == EINTR) {
      bytes.resize(at);
      continue;
    }
    if (n < 0) return std::unexpected(os_error());
    bytes.resize(at + static_cast<std::size_t>(n));
    if (n == 0) return bytes;
    if (bytes.size() > max) return std::unexpected(fmt::format("larger than {} bytes", max));
  }
}

std::expected<void, std::string> write_all(int fd, std::span<const std::uint8_t> data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(os_error());
    }
    data = data.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

std::expected<void, std::string> write_whole_file(const std::string& path, std::span<const std::uint8_t> data) {
  vfio_user::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd) return std::unexpected(os_error());
  if (auto written = write_all(fd.get(), data); !written) return written;
  if (::close(fd.release()) != 0) return std::unexpected(os_error());
  return {};
}

}  // namespace zephon_rom
