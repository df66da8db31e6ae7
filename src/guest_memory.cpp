#include "guest_memory.h"

#include <linux/vfio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "guarded_copy.h"
#include "log.h"

namespace zephon {

namespace {

using vfio_user::IoError;

constexpr std::string_view kOutside = "not wholly inside guest memory";
constexpr std::string_view kNoDescriptor = "the map there came without a file descriptor";
constexpr std::string_view kNoAccess = "the map there grants the device no access";
constexpr std::string_view kShortFile = "the file of the map there is shorter than the map";
constexpr std::string_view kUnmappable = "the file of the map there could not be mapped";
constexpr std::string_view kReadOnly = "the map there is read-only";
constexpr std::string_view kWriteOnly = "the map there is write-only";
constexpr std::string_view kShrunk = "the file of the map there was shrunk under it";

// Returns the last byte's address of a range of size > 0 bytes, or nullopt
// when it would lie past 2^64.
std::optional<std::uint64_t> last_of(std::uint64_t address, std::uint64_t size) {
  const std::uint64_t last = address + (size - 1);
  if (last < address) return std::nullopt;
  return last;
}

}  // namespace

GuestMemory::View::View(View&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)), length_(other.length_), skip_(other.skip_) {}

GuestMemory::View& GuestMemory::View::operator=(View&& other) noexcept {
  if (this != &other) {
    if (base_ != nullptr) ::munmap(base_, length_);
    base_ = std::exchange(other.base_, nullptr);
    length_ = other.length_;
    skip_ = other.skip_;
  }
  return *this;
}

GuestMemory::View::~View() {
  if (base_ != nullptr) ::munmap(base_, length_);
}

std::expected<void, IoError> GuestMemory::map(std::uint32_t flags, std::uint64_t file_offset, std::uint64_t address,
                                              std::uint64_t size, std::optional<vfio_user::UniqueFd> file) {
  const std::optional<std::uint64_t> last = size == 0 ? std::nullopt : last_of(address, size);
  if (!last) return std::unexpected(IoError::os(EINVAL));
  const auto next = maps_.lower_bound(address);
  if (next != maps_.end() && next->first <= *last) return std::unexpected(IoError::os(EEXIST));
  if (next != maps_.begin()) {
    const auto previous = std::prev(next);
    if (previous->first + (previous->second.size - 1) >= address) return std::unexpected(IoError::os(EEXIST));
  }
  if (maps_.size() >= kMaxMaps) return std::unexpected(IoError::os(ENOSPC));

  Map kept;
  kept.size = size;
  kept.flags = flags;
  if (!file || !*file) {
    kept.refusal = kNoDescriptor;
  } else if ((flags & (VFIO_DMA_MAP_FLAG_READ | VFIO_DMA_MAP_FLAG_WRITE)) == 0) {
    kept.refusal = kNoAccess;
  } else if (auto view = view_of(flags, file_offset, size, *file); view) {
    kept.view = std::move(*view);
  } else {
    const int error = errno;
    kept.refusal = view.error();
    log::emit(log::Level::Warn, log::kScriptTarget, "DMA map at {:#018x} +{} cannot be accessed by the script: {}{}{}",
              address, size, view.error(), view.error() == kUnmappable ? ": " : "",
              view.error() == kUnmappable ? std::strerror(error) : "");
  }
  // The mapping keeps the file; the descriptor is of no further use.
  file.reset();
  maps_.emplace_hint(next, address, std::move(kept));
  return {};
}

void GuestMemory::unmap(std::uint32_t flags, std::uint64_t address, std::uint64_t size) {
  if ((flags & VFIO_DMA_UNMAP_FLAG_ALL) != 0) {
    maps_.clear();
    return;
  }
  if (size == 0) return;
  const std::uint64_t last = last_of(address, size).value_or(std::numeric_limits<std::uint64_t>::max());
  auto it = maps_.upper_bound(address);
  if (it != maps_.begin()) {
    const auto previous = std::prev(it);
    if (previous->first + (previous->second.size - 1) >= address) it = previous;
  }
  while (it != maps_.end() && it->first <= last) it = maps_.erase(it);
}

template <typename Copy>
bool GuestMemory::each_piece(std::uint64_t address, std::size_t size, Copy copy) {
  auto it = std::prev(maps_.upper_bound(address));
  for (std::size_t done = 0; done < size; ++it) {
    const std::uint64_t offset = address + done - it->first;
    const std::size_t piece = std::min<std::uint64_t>(size - done, it->second.size - offset);
    if (!copy(it->second.view.data() + offset, done, piece)) return false;
    done += piece;
  }
  return true;
}

std::expected<void, std::string_view> GuestMemory::read(std::uint64_t address, std::span<std::uint8_t> out) {
  if (auto checked = check(address, out.size(), false); !checked) return checked;
  const bool copied = each_piece(address, out.size(), [&](std::uint8_t* inside, std::size_t done, std::size_t piece) {
    return guarded_copy(out.data() + done, inside, piece);
  });
  if (!copied) return std::unexpected(kShrunk);
  return {};
}

std::expected<void, std::string_view> GuestMemory::write(std::uint64_t address, std::span<const std::uint8_t> data) {
  if (auto checked = check(address, data.size(), true); !checked) return checked;
  const bool copied = each_piece(address, data.size(), [&](std::uint8_t* inside, std::size_t done, std::size_t piece) {
    return guarded_copy(inside, data.data() + done, piece);
  });
  if (!copied) return std::unexpected(kShrunk);
  return {};
}

std::expected<GuestMemory::View, std::string_view> GuestMemory::view_of(std::uint32_t flags,
                                                                        std::uint64_t file_offset,
                                                                        std::uint64_t size,
                                                                        const vfio_user::UniqueFd& file) {
  // A page past the end of a file cannot be touched (SIGBUS): a file too
  // short for the map is refused now, one shrunk later caught at the copy.
  struct stat status{};
  if (::fstat(file.get(), &status) != 0) return std::unexpected(kUnmappable);
  if (S_ISREG(status.st_mode) && (file_offset > static_cast<std::uint64_t>(status.st_size) ||
                                  size > static_cast<std::uint64_t>(status.st_size) - file_offset)) {
    return std::unexpected(kShortFile);
  }
  const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t skip = file_offset % page;
  const std::uint64_t aligned = file_offset - skip;
  if (size > std::numeric_limits<std::size_t>::max() - skip ||
      aligned > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return std::unexpected(kUnmappable);
  }
  const int protection = ((flags & VFIO_DMA_MAP_FLAG_READ) != 0 ? PROT_READ : 0) |
                         ((flags & VFIO_DMA_MAP_FLAG_WRITE) != 0 ? PROT_WRITE : 0);
  void* base = ::mmap(nullptr, size + skip, protection, MAP_SHARED, file.get(), static_cast<off_t>(aligned));
  if (base == MAP_FAILED) return std::unexpected(kUnmappable);
  return View(base, size + skip, skip);
}

std::expected<void, std::string_view> GuestMemory::check(std::uint64_t address, std::uint64_t size,
                                                         bool writing) const {
  if (size == 0) return {};
  const std::optional<std::uint64_t> last = last_of(address, size);
  auto it = maps_.upper_bound(address);
  if (!last || it == maps_.begin()) return std::unexpected(kOutside);
  --it;
  for (std::uint64_t at = address;;) {
    const Map& map = it->second;
    const std::uint64_t map_last = it->first + (map.size - 1);
    if (at > map_last) return std::unexpected(kOutside);
    if (!map.view) return std::unexpected(map.refusal);
    if (writing && (map.flags & VFIO_DMA_MAP_FLAG_WRITE) == 0) return std::unexpected(kReadOnly);
    if (!writing && (map.flags & VFIO_DMA_MAP_FLAG_READ) == 0) return std::unexpected(kWriteOnly);
    if (*last <= map_last) return {};
    at = map_last + 1;
    if (++it == maps_.end() || it->first != at) return std::unexpected(kOutside);
  }
}

}  // namespace zephon
