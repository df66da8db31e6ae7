// VramSpace is the VRAM behind BAR 0 as the device model and its script
// share it: absent until a script enables it, then kBytes of Vram, offered
// to the monitor for mapping or kept on the socket as the script chose.
//
// Contract: enable() succeeds once; afterwards memory() is the Vram and
// never changes. As a MemorySpace (what the script's `vram` table reaches)
// it refuses every range before enable() and any range not wholly inside
// the kBytes, copying nothing then. Single-threaded.
#ifndef ZEPHON_VRAM_SPACE_H_
#define ZEPHON_VRAM_SPACE_H_

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "memory_space.h"
#include "vram.h"

namespace zephon {

class VramSpace final : public MemorySpace {
 public:
  // The size of the VRAM: all of BAR 0.
  static constexpr std::uint64_t kBytes = std::uint64_t{256} << 20;

  VramSpace() = default;
  VramSpace(const VramSpace&) = delete;
  VramSpace& operator=(const VramSpace&) = delete;

  // Returns success once the VRAM exists, offered for mapping if mappable;
  // or why not: it exists already, or the system refused the memory.
  std::expected<void, std::string> enable(bool mappable);
  // Returns the VRAM, or null before enable().
  Vram* memory() const { return vram_.get(); }
  // Returns the descriptor a monitor may map BAR 0 through: the VRAM's if it
  // was enabled mappable, else none.
  std::optional<int> mappable_fd() const;

  // Returns success after filling out from VRAM offset address on, or why
  // the range is refused.
  std::expected<void, std::string_view> read(std::uint64_t address, std::span<std::uint8_t> out) override;
  // Returns success after storing data at VRAM offset address on, or why
  // the range is refused.
  std::expected<void, std::string_view> write(std::uint64_t address, std::span<const std::uint8_t> data) override;

 private:
  // Returns why [address, address + size) cannot be reached, if it cannot.
  std::optional<std::string_view> refusal(std::uint64_t address, std::size_t size) const;

  std::unique_ptr<Vram> vram_;  // null until enable()
  bool mappable_ = false;       // the monitor is offered vram_'s descriptor
};

}  // namespace zephon

#endif  // ZEPHON_VRAM_SPACE_H_
