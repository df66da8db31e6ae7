// Vram is the memory behind BAR 0 when a device script asks for it: a
// memfd of a fixed size, mapped into zephon, whose descriptor the monitor
// may map too, so that the guest, the socket and the script all reach the
// same bytes.
//
// Contract: create() returns memory that reads as zeros; pages are taken
// from the system only when first written. The file is sealed against
// shrinking and growing, so a monitor that maps it cannot truncate it under
// zephon's own mapping. read() and write() take any offset and length:
// the part inside the memory is copied, bytes past its end read as zeros
// and are dropped on write. The descriptor and the mapping are owned here
// and released on destruction. Single-threaded.
#ifndef ZEPHON_VRAM_H_
#define ZEPHON_VRAM_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>

#include "vfio_user/unique_fd.h"

namespace zephon {

class Vram {
 public:
  // Returns size bytes of zeroed shared memory, or why the system refused it.
  static std::expected<std::unique_ptr<Vram>, std::string> create(std::uint64_t size);

  ~Vram();
  Vram(const Vram&) = delete;
  Vram& operator=(const Vram&) = delete;

  // Returns the memfd, still owned by this object.
  int fd() const { return fd_.get(); }
  // Returns the size in bytes.
  std::uint64_t size() const { return size_; }
  // Returns the memory itself.
  std::span<std::uint8_t> bytes() const { return {base_, size_}; }

  // Fills out with the bytes at offset, zeros past the end.
  void read(std::uint64_t offset, std::span<std::uint8_t> out) const;
  // Stores the bytes of in at offset, dropping those past the end.
  void write(std::uint64_t offset, std::span<const std::uint8_t> in);

 private:
  Vram(vfio_user::UniqueFd fd, std::uint8_t* base, std::uint64_t size) : fd_(std::move(fd)), base_(base), size_(size) {}

  vfio_user::UniqueFd fd_;  // the memfd the monitor is offered
  std::uint8_t* base_;      // zephon's shared mapping of all of it
  std::uint64_t size_;
};

}  // namespace zephon

#endif  // ZEPHON_VRAM_H_
