#include "script_interrupts.h"

#include <linux/vfio.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

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

}  // namespace

void ScriptInterrupts::set(std::uint32_t index, std::uint32_t flags, std::uint32_t start, std::uint32_t count,
                           vfio_user::FdList files) {
  // Mask and unmask set-ups carry nothing to keep; an unknown index neither.
  if (index >= kNumIndices || (flags & VFIO_IRQ_SET_ACTION_TRIGGER) == 0) return;
  auto& vectors = vectors_[index];
  if (count == 0) {
    vectors.clear();
    return;
  }
  const std::uint64_t end = std::min<std::uint64_t>(std::uint64_t{start} + count, kMaxVectors);
  if ((flags & VFIO_IRQ_SET_DATA_EVENTFD) == 0) {
    // No data: the monitor takes these vectors away.
    vectors.erase(vectors.lower_bound(start), vectors.lower_bound(static_cast<std::uint32_t>(end)));
    return;
  }
  for (std::uint64_t vector = start; vector < end; ++vector) {
    const auto n = static_cast<std::uint32_t>(vector);
    if (!files.empty()) {
      vectors[n] = files.take(0);
    } else {
      vectors.erase(n);
    }
  }
}

void ScriptInterrupts::clear() {
  for (auto& vectors : vectors_) vectors.clear();
}

bool ScriptInterrupts::has(std::uint32_t index, std::uint32_t n) const {
  return index < kNumIndices && vectors_[index].contains(n);
}

bool ScriptInterrupts::raise(std::uint32_t n) {
  std::uint32_t index = VFIO_PCI_INTX_IRQ_INDEX;
  if (!vectors_[VFIO_PCI_MSIX_IRQ_INDEX].empty()) {
    index = VFIO_PCI_MSIX_IRQ_INDEX;
  } else if (!vectors_[VFIO_PCI_MSI_IRQ_INDEX].empty()) {
    index = VFIO_PCI_MSI_IRQ_INDEX;
  }
  auto found = vectors_[index].find(n);
  if (found == vectors_[index].end()) {
    log::emit(log::Level::Warn, kScriptTarget, "irq({}) dropped: no eventfd is set up for it", n);
    return false;
  }
  // The descriptor came from the monitor and need not be an eventfd: a full
  // one must not stall the server, so it is only written when writable.
  pollfd ready{.fd = found->second.get(), .events = POLLOUT, .revents = 0};
  const std::uint64_t one = 1;
  ssize_t written = -1;
  int error = EAGAIN;
  if (::poll(&ready, 1, 0) == 1 && (ready.revents & POLLOUT) != 0) {
    written = ::write(ready.fd, &one, sizeof one);
    error = errno;
  }
  if (written != static_cast<ssize_t>(sizeof one)) {
    log::emit(log::Level::Warn, kScriptTarget, "irq({}) dropped: its {} eventfd cannot be written: {}", n,
              index_name(index), std::strerror(error));
    return false;
  }
  log::emit(log::Level::Debug, kDeviceTarget, "Irq   vector {} ({})", n, index_name(index));
  return true;
}

}  // namespace zephon
