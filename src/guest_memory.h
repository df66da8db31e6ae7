// GuestMemory is the guest memory the monitor maps for DMA (DmaMap), as a
// device script reaches it: by the monitor's DMA addresses (IOVA).
//
// Contract: map() keeps each map until unmap() takes it away or the object
// is destroyed. A map that carries a file descriptor and grants access is
// mapped into this process (shared, with the protection its flags grant)
// and its descriptor closed; one without a descriptor, granting no access,
// or whose file cannot be mapped (too short, not mappable) is kept as a
// record that refuses every access, the last with a WARN line. Maps the
// kernel's VFIO refuses are refused alike: size 0 or past 2^64 (EINVAL),
// overlapping a kept map (EEXIST), more than kMaxMaps (ENOSPC). unmap()
// forgets every map the range touches, whole. read() and write() copy
// between guest memory and the caller; a range may span adjacent maps. A
// range not wholly inside the maps, or in one that refuses the access, is
// refused without touching a byte; a file shrunk under its map makes the
// copy fail instead of the process (guarded_copy). Single-threaded.
#ifndef ZEPHON_GUEST_MEMORY_H_
#define ZEPHON_GUEST_MEMORY_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <span>
#include <string_view>

#include "memory_space.h"
#include "vfio_user/io_error.h"
#include "vfio_user/unique_fd.h"

namespace zephon {

class GuestMemory final : public MemorySpace {
 public:
  // The most maps kept at once. Each mapped one takes one of the process's
  // memory areas (65530 by default on Linux), which the process needs too.
  static constexpr std::size_t kMaxMaps = 16384;

  GuestMemory() = default;
  GuestMemory(const GuestMemory&) = delete;
  GuestMemory& operator=(const GuestMemory&) = delete;

  // Returns success once the map is kept (the descriptor, if any, closed);
  // or EINVAL, EEXIST or ENOSPC, keeping nothing.
  std::expected<void, vfio_user::IoError> map(std::uint32_t flags, std::uint64_t file_offset, std::uint64_t address,
                                              std::uint64_t size, std::optional<vfio_user::UniqueFd> file);
  // Forgets every map that overlaps [address, address + size), or every map
  // when flags has VFIO_DMA_UNMAP_FLAG_ALL.
  void unmap(std::uint32_t flags, std::uint64_t address, std::uint64_t size);
  // Returns the number of maps kept.
  std::size_t count() const { return maps_.size(); }

  std::expected<void, std::string_view> read(std::uint64_t address, std::span<std::uint8_t> out) override;
  std::expected<void, std::string_view> write(std::uint64_t address, std::span<const std::uint8_t> data) override;

 private:
  // One file mapping into this process; unmapped on destruction.
  class View {
   public:
    View() = default;
    View(void* base, std::size_t length, std::size_t skip) : base_(base), length_(length), skip_(skip) {}
    View(View&& other) noexcept;
    View& operator=(View&& other) noexcept;
    ~View();
    // Returns the first byte of the map (the file offset asked for).
    std::uint8_t* data() const { return static_cast<std::uint8_t*>(base_) + skip_; }
    // Returns whether anything is mapped.
    explicit operator bool() const { return base_ != nullptr; }

   private:
    void* base_ = nullptr;   // what mmap returned, page-aligned
    std::size_t length_ = 0; // bytes mapped from base_
    std::size_t skip_ = 0;   // bytes from base_ to the map's first byte
  };

  struct Map {
    std::uint64_t size = 0;
    std::uint32_t flags = 0;        // VFIO_DMA_MAP_FLAG_READ and _WRITE as the monitor gave them
    View view;                      // empty: the map refuses every access
    std::string_view refusal;       // why, when view is empty
  };

  // Returns the map's view of the file, or why it cannot be accessed.
  static std::expected<View, std::string_view> view_of(std::uint32_t flags, std::uint64_t file_offset,
                                                       std::uint64_t size, const vfio_user::UniqueFd& file);
  // Returns why [address, address + size) cannot be accessed for writing
  // (or reading), or success when every byte lies in a map that allows it.
  std::expected<void, std::string_view> check(std::uint64_t address, std::uint64_t size, bool writing) const;
  // Calls copy(inside, done, piece) for each map's piece of a range that
  // check() has accepted, inside pointing at the piece, done counting the
  // bytes before it; returns false as soon as a call does.
  template <typename Copy>
  bool each_piece(std::uint64_t address, std::size_t size, Copy copy);

  std::map<std::uint64_t, Map> maps_;  // by first DMA address; none overlap
};

}  // namespace zephon

#endif  // ZEPHON_GUEST_MEMORY_H_
