#include "script_interrupts.h"

#include <linux/vfio.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log.h"

namespace zephon {

namespace {

using log::kDeviceTarget;
using log::kScriptTarget;

std::string_view index_name(std::uint32_t index) {
  switch (index) {
    case VFIO_PCI_INTX_IRQ_INDEX:
      return "INTx";
    case VFIO_PCI_MSI_IRQ_INDEX:
      return "MSI";
    case VFIO_PCI_MSIX_IRQ_INDEX:
      return "MSI-X";
    default:
      return "other";
  }
}

// Returns success once fd was written one event, else the error number.
// The descriptor came from the monitor and need not be an eventfd: a full
// one must not stall the server, so it is only written when writable.
std::expected<void, int> write_event(int fd) {
  pollfd ready{.fd = fd, .events = POLLOUT, .revents = 0};
  if (::poll(&ready, 1, 0) != 1 || (ready.revents & POLLOUT) == 0) return std::unexpected(EAGAIN);
  const std::uint64_t one = 1;
  if (::write(fd, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) return std::unexpected(errno);
  return {};
}

}  // namespace

std::expected<void, int> ScriptInterrupts::set(std::uint32_t index, std::uint32_t flags, std::uint32_t start,
                                               std::uint32_t count, vfio_user::FdList files) {
  if ((flags & VFIO_IRQ_SET_DATA_BOOL) != 0) return std::unexpected(EINVAL);  // its bytes go to set_bools
  auto done = apply(index, flags, start, count, files, {});
  files.clear();
  return done;
}

std::expected<void, int> ScriptInterrupts::set_bools(std::uint32_t index, std::uint32_t flags, std::uint32_t start,
                                                     std::span<const std::uint8_t> bools) {
  vfio_user::FdList none;
  return apply(index, flags, start, static_cast<std::uint32_t>(bools.size()), none, bools);
}

std::uint32_t ScriptInterrupts::announced(std::uint32_t index) const {
  switch (index) {
    case VFIO_PCI_INTX_IRQ_INDEX:
      return ((config_.read_reg(15) >> 8) & 0xFF) != 0 ? 1 : 0;
    case VFIO_PCI_MSI_IRQ_INDEX:
      return config_.msi_control().offered;
    default:
      return 0;
  }
}

std::expected<void, int> ScriptInterrupts::apply(std::uint32_t index, std::uint32_t flags, std::uint32_t start,
                                                 std::uint32_t count, vfio_user::FdList& files,
                                                 std::span<const std::uint8_t> bools) {
  // The checks of the kernel's VFIO before it looks at the index: one data
  // type, and vectors within what the index announces.
  const std::uint32_t data = flags & VFIO_IRQ_SET_DATA_TYPE_MASK;
  const bool one_data_type =
      data == VFIO_IRQ_SET_DATA_NONE || data == VFIO_IRQ_SET_DATA_BOOL || data == VFIO_IRQ_SET_DATA_EVENTFD;
  const std::uint32_t vectors = announced(index);
  if (!one_data_type || (flags & ~(VFIO_IRQ_SET_DATA_TYPE_MASK | VFIO_IRQ_SET_ACTION_TYPE_MASK)) != 0 ||
      start >= vectors || count > vectors - start) {
    return std::unexpected(EINVAL);
  }
  switch (flags & VFIO_IRQ_SET_ACTION_TYPE_MASK) {
    case VFIO_IRQ_SET_ACTION_TRIGGER:
      return trigger(index, flags, start, count, files, bools);
    case VFIO_IRQ_SET_ACTION_MASK:
    case VFIO_IRQ_SET_ACTION_UNMASK:
      return mask(index, flags, start, count, bools);
    default:
      return std::unexpected(ENOTTY);
  }
}

std::expected<void, int> ScriptInterrupts::trigger(std::uint32_t index, std::uint32_t flags, std::uint32_t start,
                                                   std::uint32_t count, vfio_user::FdList& files,
                                                   std::span<const std::uint8_t> bools) {
  if (count == 0) {
    // Disabling a kind that is not in use leaves nothing to do.
    if (active_ == index) {
      active_ = kNone;
      vectors_.clear();
    }
    return {};
  }
  if ((flags & VFIO_IRQ_SET_DATA_EVENTFD) != 0) {
    // One kind at a time: a monitor disables the one in use first.
    if (active_ != kNone && active_ != index) return std::unexpected(EINVAL);
    if (active_ == kNone) {
      active_ = index;
      vectors_.resize(std::size_t{start} + count);
      if (index == VFIO_PCI_INTX_IRQ_INDEX) intx_masked_ = false;
    } else if (std::size_t{start} + count > vectors_.size()) {
      // The vectors of a kind are fixed when it is enabled.
      return std::unexpected(EINVAL);
    }
    for (std::uint32_t k = 0; k < count; ++k) {
      vectors_[start + k] = files.empty() ? vfio_user::UniqueFd() : files.take(0);
    }
    return {};
  }
  // The loopback trigger: what the device would do, done by the monitor.
  if (active_ != index || std::size_t{start} + count > vectors_.size()) return std::unexpected(EINVAL);
  for (std::uint32_t k = 0; k < count; ++k) {
    if (!bools.empty() && bools[k] == 0) continue;
    if (index == VFIO_PCI_INTX_IRQ_INDEX && config_.interrupt_disabled()) continue;
    if (vectors_[start + k] && write_event(vectors_[start + k].get())) {
      log::emit(log::Level::Debug, kDeviceTarget, "Irq   vector {} ({})", start + k, index_name(index));
    }
  }
  return {};
}

std::expected<void, int> ScriptInterrupts::mask(std::uint32_t index, std::uint32_t flags, std::uint32_t,
                                                std::uint32_t count, std::span<const std::uint8_t> bools) {
  // Only INTx is maskable, as the kernel's VFIO has it for PCI devices.
  if (index != VFIO_PCI_INTX_IRQ_INDEX) return std::unexpected(ENOTTY);
  if (active_ != index || count != 1) return std::unexpected(EINVAL);
  const bool unmask = (flags & VFIO_IRQ_SET_ACTION_UNMASK) != 0;
  if ((flags & VFIO_IRQ_SET_DATA_EVENTFD) != 0) {
    // An eventfd that would unmask when signalled; nothing here waits on
    // it, and the monitor unmasks by request all the same.
    return unmask ? std::expected<void, int>() : std::unexpected(ENOTTY);
  }
  if (!bools.empty() && bools[0] == 0) return {};
  intx_masked_ = !unmask;
  if (unmask) signal_intx();
  return {};
}

void ScriptInterrupts::clear() {
  active_ = kNone;
  vectors_.clear();
  intx_masked_ = false;
  intx_asserted_ = false;
  config_.set_interrupt_status(false);
}

bool ScriptInterrupts::has(std::uint32_t index, std::uint32_t n) const {
  return index == active_ && n < vectors_.size() && vectors_[n].valid();
}

bool ScriptInterrupts::raise(std::uint32_t n) {
  switch (active_) {
    case VFIO_PCI_INTX_IRQ_INDEX:
      if (n != 0) {
        log::emit(log::Level::Warn, kScriptTarget, "irq({}) dropped: INTx has vector 0 only", n);
        return false;
      }
      return set_intx(true);
    case VFIO_PCI_MSI_IRQ_INDEX: {
      const pci::MsiControl msi = config_.msi_control();
      if (!msi.enabled) {
        log::emit(log::Level::Warn, kScriptTarget, "irq({}) dropped: the guest has not enabled MSI", n);
        return false;
      }
      if (n >= msi.vectors) {
        log::emit(log::Level::Warn, kScriptTarget, "irq({}) dropped: the guest enabled {} MSI vector{}", n,
                  msi.vectors, msi.vectors == 1 ? "" : "s");
        return false;
      }
      return signal(n);
    }
    default:
      return signal(n);
  }
}

bool ScriptInterrupts::set_intx(bool asserted) {
  intx_asserted_ = asserted;
  config_.set_interrupt_status(asserted);
  if (!asserted) {
    log::emit(log::Level::Debug, kDeviceTarget, "INTx  deasserted");
    return false;
  }
  if (active_ != VFIO_PCI_INTX_IRQ_INDEX) {
    log::emit(log::Level::Debug, kDeviceTarget, "INTx  asserted; not signalled: the monitor has not set INTx up");
    return false;
  }
  return signal_intx();
}

void ScriptInterrupts::config_written(bool was_disabled) {
  if (was_disabled && !config_.interrupt_disabled()) signal_intx();
}

bool ScriptInterrupts::signal_intx() {
  if (active_ != VFIO_PCI_INTX_IRQ_INDEX || !intx_asserted_) return false;
  if (config_.interrupt_disabled() || intx_masked_) {
    log::emit(log::Level::Debug, kDeviceTarget, "INTx  asserted; not signalled: {}",
              intx_masked_ ? "the monitor masked it" : "the guest set Interrupt Disable");
    return false;
  }
  return signal(0);
}

bool ScriptInterrupts::signal(std::uint32_t n) {
  if (active_ == kNone || n >= vectors_.size() || !vectors_[n]) {
    log::emit(log::Level::Warn, kScriptTarget, "irq({}) dropped: no eventfd is set up for it", n);
    return false;
  }
  if (auto written = write_event(vectors_[n].get()); !written) {
    log::emit(log::Level::Warn, kScriptTarget, "irq({}) dropped: its {} eventfd cannot be written: {}", n,
              index_name(active_), std::strerror(written.error()));
    return false;
  }
  log::emit(log::Level::Debug, kDeviceTarget, "Irq   vector {} ({})", n, index_name(active_));
  return true;
}

}  // namespace zephon
