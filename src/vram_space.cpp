#include "vram_space.h"

namespace zephon {

std::expected<void, std::string> VramSpace::enable(bool mappable) {
  if (vram_ != nullptr) return std::unexpected(std::string("VRAM is enabled already"));
  auto vram = Vram::create(kBytes);
  if (!vram) return std::unexpected(std::move(vram.error()));
  vram_ = std::move(*vram);
  mappable_ = mappable;
  return {};
}

std::optional<int> VramSpace::mappable_fd() const {
  if (vram_ == nullptr || !mappable_) return std::nullopt;
  return vram_->fd();
}

std::optional<std::string_view> VramSpace::refusal(std::uint64_t address, std::size_t size) const {
  if (vram_ == nullptr) return "VRAM is not enabled";
  if (address > kBytes || size > kBytes - address) return "outside the 256 MiB of VRAM";
  return std::nullopt;
}

std::expected<void, std::string_view> VramSpace::read(std::uint64_t address, std::span<std::uint8_t> out) {
  if (auto why = refusal(address, out.size())) return std::unexpected(*why);
  vram_->read(address, out);
  return {};
}

std::expected<void, std::string_view> VramSpace::write(std::uint64_t address, std::span<const std::uint8_t> data) {
  if (auto why = refusal(address, data.size())) return std::unexpected(*why);
  vram_->write(address, data);
  return {};
}

}  // namespace zephon
