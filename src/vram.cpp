#include "vram.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zephon {

namespace {

std::string system_error(std::string_view what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

std::expected<std::unique_ptr<Vram>, std::string> Vram::create(std::uint64_t size) {
  vfio_user::UniqueFd fd(::memfd_create("zephon-vram", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!fd) return std::unexpected(system_error("cannot create VRAM"));
  if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) return std::unexpected(system_error("cannot size VRAM"));
  // zephon's mapping would fault on pages a monitor cut off the file.
  if (::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
    return std::unexpected(system_error("cannot seal VRAM"));
  }
  void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (base == MAP_FAILED) return std::unexpected(system_error("cannot map VRAM"));
  return std::unique_ptr<Vram>(new Vram(std::move(fd), static_cast<std::uint8_t*>(base), size));
}

Vram::~Vram() { ::munmap(base_, size_); }

void Vram::read(std::uint64_t offset, std::span<std::uint8_t> out) const {
  const std::uint64_t start = std::min(offset, size_);
  const std::size_t count = std::min<std::uint64_t>(out.size(), size_ - start);
  std::copy_n(base_ + start, count, out.begin());
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(count), out.end(), 0);
}

void Vram::write(std::uint64_t offset, std::span<const std::uint8_t> in) {
  const std::uint64_t start = std::min(offset, size_);
  const std::size_t count = std::min<std::uint64_t>(in.size(), size_ - start);
  std::copy_n(in.begin(), count, base_ + start);
}

}  // namespace zephon
