#include "backend.h"

#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "guest_memory.h"
#include "log.h"
#include "script/script.h"
#include "script/script_interrupts.h"

namespace zephon {

namespace {

using log::kDeviceTarget;
using vfio_user::IoError;

std::uint32_t load_le32(std::span<const std::uint8_t, 4> bytes) {
  return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
         std::uint32_t{bytes[3]} << 24;
}

void store_le32(std::uint32_t value, std::span<std::uint8_t, 4> bytes) {
  bytes[0] = static_cast<std::uint8_t>(value);
  bytes[1] = static_cast<std::uint8_t>(value >> 8);
  bytes[2] = static_cast<std::uint8_t>(value >> 16);
  bytes[3] = static_cast<std::uint8_t>(value >> 24);
}

bool is_register_offset(std::uint64_t offset) { return offset % 4 == 0 && offset < Backend::kRegsBytes; }

}  // namespace

Backend::Backend(pci::PciConfiguration config, std::vector<std::uint8_t> rom) : config_(config), rom_(std::move(rom)) {}

Backend::~Backend() = default;

std::expected<void, std::string> Backend::load_script(const char* path) {
  if (path == nullptr || *path == '\0') return {};
  auto irqs = std::make_unique<ScriptInterrupts>(config_);
  auto memory = std::make_unique<GuestMemory>();
  auto script = DeviceScript::load(path, ScriptDevice(regs_, *irqs, *memory, vram_));
  if (!script) return std::unexpected(std::move(script.error()));
  irqs_ = std::move(irqs);
  memory_ = std::move(memory);
  script_ = std::move(*script);
  // The kernel lets a ppoll with a time-out (the timer wait's fall-back)
  // overrun it by 50 us unless told otherwise; a script's timers are meant
  // to the microsecond.
  ::prctl(PR_SET_TIMERSLACK, 1);
  return {};
}

std::expected<void, IoError> Backend::region_read(std::uint32_t index, std::uint64_t offset,
                                                  std::span<std::uint8_t> data) {
  if (script_ != nullptr) [[unlikely]] script_->start_clock();
  switch (index) {
    case kRegionBar0:
      if (Vram* vram = vram_.memory(); vram != nullptr) {
        vram->read(offset, data);
      } else {
        std::ranges::fill(data, 0);
      }
      return {};
    case kRegionBar2:
      read_bar2(offset, data);
      return {};
    case kRegionRom:
      read_rom(offset, data);
      return {};
    case kRegionConfig:
      return read_config(offset, data);
    default:
      log::emit(log::Level::Warn, kDeviceTarget, "Invalid read of {:#x} bytes attempted from region {} at offset {:#x}",
                data.size(), index, offset);
      std::ranges::fill(data, 0);
      return {};
  }
}

std::expected<void, IoError> Backend::region_write(std::uint32_t index, std::uint64_t offset,
                                                   std::span<const std::uint8_t> data) {
  if (script_ != nullptr) [[unlikely]] script_->start_clock();
  switch (index) {
    case kRegionBar0:
      if (Vram* vram = vram_.memory(); vram != nullptr) vram->write(offset, data);
      break;
    case kRegionBar2:
      write_bar2(offset, data);
      break;
    case kRegionConfig:
      if (irqs_ != nullptr) [[unlikely]] {
        // The guest clearing Interrupt Disable lets an asserted INTx through.
        const bool was_disabled = config_.interrupt_disabled();
        config_.write_reg(offset / 4, offset % 4, data);
        irqs_->config_written(was_disabled);
        break;
      }
      config_.write_reg(offset / 4, offset % 4, data);
      break;
    default:
      log::emit(log::Level::Warn, kDeviceTarget, "Invalid write of {:#x} bytes attempted to region {} at offset {:#x}",
                data.size(), index, offset);
      break;
  }
  return {};
}

std::expected<void, IoError> Backend::dma_map(std::uint32_t flags, std::uint64_t file_offset, std::uint64_t address,
                                              std::uint64_t size, std::optional<vfio_user::UniqueFd> file) {
  if (memory_ != nullptr) return memory_->map(flags, file_offset, address, size, std::move(file));
  // Without a script nothing touches guest memory, so the map is not kept.
  file.reset();
  return {};
}

std::expected<void, IoError> Backend::dma_unmap(std::uint32_t flags, std::uint64_t address, std::uint64_t size) {
  if (memory_ != nullptr) memory_->unmap(flags, address, size);
  return {};
}

std::expected<void, IoError> Backend::reset() {
  regs_.fill(0);
  if (script_ != nullptr) {
    // A reset device has no interrupts set up until the monitor sets them again.
    irqs_->clear();
    script_->after_reset();
  }
  return {};
}

std::expected<void, IoError> Backend::set_irqs(std::uint32_t index, std::uint32_t flags, std::uint32_t start,
                                               std::uint32_t count, vfio_user::FdList files) {
  if (irqs_ != nullptr) {
    if (auto taken = irqs_->set(index, flags, start, count, std::move(files)); !taken) {
      return std::unexpected(IoError::os(taken.error()));
    }
    return {};
  }
  // Without a script the device never raises an interrupt, so there is no
  // use for the events.
  files.clear();
  return {};
}

std::expected<void, IoError> Backend::set_irqs_bool(std::uint32_t index, std::uint32_t flags, std::uint32_t start,
                                                    std::span<const std::uint8_t> bools) {
  if (irqs_ == nullptr) return std::unexpected(IoError::os(EINVAL));
  if (auto taken = irqs_->set_bools(index, flags, start, bools); !taken) {
    return std::unexpected(IoError::os(taken.error()));
  }
  return {};
}

std::optional<std::chrono::steady_clock::time_point> Backend::next_deadline() const {
  if (script_ == nullptr) return std::nullopt;
  return script_->next_deadline();
}

void Backend::run_due(std::chrono::steady_clock::time_point now) {
  if (script_ != nullptr) script_->run_due(now);
}

void Backend::dump(std::span<std::uint8_t, kDumpBytes> out) const {
  for (std::size_t i = 0; i < kNumRegs; ++i) store_le32(regs_[i], out.subspan(4 * i).first<4>());
}

void Backend::read_bar2(std::uint64_t offset, std::span<std::uint8_t> data) {
  if (data.size() != 4 || !is_register_offset(offset)) {
    log::emit(log::Level::Warn, kDeviceTarget, "Invalid read of {:#x} bytes from register at offset {:#x}", data.size(),
              offset);
    std::ranges::fill(data, 0);
    return;
  }
  const std::uint64_t reg = offset / 4;
  std::uint32_t value = regs_[reg];
  if (script_ != nullptr) [[unlikely]] value = script_->read(static_cast<std::uint32_t>(reg), value);
  log_register_event("Read ", reg, value);
  store_le32(value, data.first<4>());
}

void Backend::write_bar2(std::uint64_t offset, std::span<const std::uint8_t> data) {
  if (data.size() != 4) {
    log::emit(log::Level::Warn, kDeviceTarget, "Invalid write of {:#x} bytes to register at offset {:#x}", data.size(),
              offset);
    return;
  }
  if (!is_register_offset(offset)) {
    log::emit(log::Level::Warn, kDeviceTarget, "Misaligned or out-of-bounds register write at offset {:#x}", offset);
    return;
  }
  const std::uint64_t reg = offset / 4;
  const std::uint32_t value = load_le32(data.first<4>());
  log_register_event("Write", reg, value);
  regs_[reg] = value;
  if (script_ != nullptr) [[unlikely]] script_->wrote(static_cast<std::uint32_t>(reg), value);
}

void Backend::read_rom(std::uint64_t offset, std::span<std::uint8_t> data) const {
  const std::uint64_t start = std::min<std::uint64_t>(offset, rom_.size());
  const std::size_t count = std::min<std::uint64_t>(data.size(), rom_.size() - start);
  std::copy_n(rom_.begin() + static_cast<std::ptrdiff_t>(start), count, data.begin());
  std::fill(data.begin() + static_cast<std::ptrdiff_t>(count), data.end(), 0);
}

std::expected<void, IoError> Backend::read_config(std::uint64_t offset, std::span<std::uint8_t> data) const {
  const std::size_t n = data.size();
  const std::uint64_t lane = offset % 4;
  const std::uint64_t first_reg = offset / 4;
  if (n <= 4) {
    // A read within one register must be naturally aligned, as on a real bus.
    const bool aligned = n == 0 ? lane == 0 : lane % n == 0;
    if (!aligned || lane + n > 4) return std::unexpected(IoError::category(IoError::Kind::InvalidInput));
    const std::uint32_t value = config_.read_reg(first_reg);
    for (std::size_t k = 0; k < n; ++k) data[k] = static_cast<std::uint8_t>(value >> (8 * (lane + k)));
    return {};
  }
  if (lane != 0 || n % 4 != 0) return std::unexpected(IoError::category(IoError::Kind::InvalidInput));
  for (std::size_t k = 0; k < n / 4; ++k) {
    store_le32(config_.read_reg(first_reg + k), data.subspan(4 * k).first<4>());
  }
  return {};
}

}  // namespace zephon
