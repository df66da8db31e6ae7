#include "rom_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "vfio_user/limits.h"
#include "vfio_user/unique_fd.h"

namespace zephon {

std::expected<RomImage, vfio_user::IoError> read_rom(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return std::unexpected(vfio_user::IoError::message(vfio_user::IoError::Kind::InvalidInput,
                                                       "file name contained an unexpected NUL byte"));
  }
  vfio_user::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::unexpected(vfio_user::IoError::os(errno));
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(vfio_user::IoError::os(errno));

  RomImage image;
  if (S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) > vfio_user::kMaxRomSize) {
    image.length = static_cast<std::uint64_t>(st.st_size);
    return image;
  }
  if (S_ISREG(st.st_mode)) image.bytes.reserve(static_cast<std::size_t>(st.st_size));
  // Files whose size is not known up front (pipes, devices) are read in
  // chunks, but never past what a BAR could present.
  std::uint8_t chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(vfio_user::IoError::os(errno));
    if (n == 0) break;
    image.bytes.insert(image.bytes.end(), chunk, chunk + n);
    if (image.bytes.size() > vfio_user::kMaxRomSize) {
      image.length = image.bytes.size();
      image.bytes.clear();
      image.bytes.shrink_to_fit();
      return image;
    }
  }
  image.length = image.bytes.size();
  return image;
}

}  // namespace zephon
