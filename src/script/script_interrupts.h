// ScriptInterrupts is the interrupt side of a scripted device: the eventfds
// the monitor hands over with SetIrqs, the one kind of interrupt in use, and
// the INTx line, under VFIO's contract for a PCI device and PCI's rules for
// what the configuration space says.
//
// Contract: a set-up is checked as the kernel's VFIO checks it and refused
// with the error number the monitor gets (nothing changes then): vectors
// past what the device announces for the index (INTx 1 with an interrupt
// pin, MSI what its capability offers, nothing else), a trigger set-up for
// another kind while one is active, a loopback trigger, mask or unmask of
// an index that is not active (EINVAL); a mask or unmask of anything but
// INTx (ENOTTY). A trigger set-up with eventfds activates its kind, with
// as many vectors as it reaches, and keeps one eventfd per vector (the
// request's descriptors in order; a vector without one is disabled); vector
// count 0 disables the kind. A trigger without eventfds (no data, or one
// byte per vector) signals the vectors that have eventfds, without closing
// them. An unmask eventfd is accepted and closed. Every kept descriptor is
// owned here and closed by clear() or on destruction; descriptors not kept
// are closed before set() returns.
//
// raise(n) goes through the active kind. MSI vector n is signalled only
// while the guest has MSI enabled in its capability and n is below the
// vectors it enabled. INTx is a level, as on a PCI 2.3 device: asserted, it
// sets the status register's Interrupt Status bit and is signalled unless
// the guest set Interrupt Disable or the monitor masked it; while it stays
// asserted, the monitor's unmask and the guest clearing Interrupt Disable
// signal it again. A raise that cannot be signalled is a WARN line.
// Nothing here blocks. Single-threaded.
#ifndef ZEPHON_SCRIPT_INTERRUPTS_H_
#define ZEPHON_SCRIPT_INTERRUPTS_H_

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "pci.h"
#include "vfio_user/unique_fd.h"

namespace zephon {

class ScriptInterrupts {
 public:
  // INTx, MSI, MSI-X, error and request: the indices the device describes.
  static constexpr std::uint32_t kNumIndices = 5;

  // config (which must outlive this object) says what the device offers
  // and what the guest has enabled, and shows the INTx line.
  explicit ScriptInterrupts(pci::PciConfiguration& config) : config_(config) {}
  ScriptInterrupts(const ScriptInterrupts&) = delete;
  ScriptInterrupts& operator=(const ScriptInterrupts&) = delete;

  // Returns success after one SetIrqs request with no data or eventfds, or
  // the error number it is refused with.
  std::expected<void, int> set(std::uint32_t index, std::uint32_t flags, std::uint32_t start, std::uint32_t count,
                               vfio_user::FdList files);
  // Returns success after one SetIrqs request with one byte per vector, or
  // the error number it is refused with.
  std::expected<void, int> set_bools(std::uint32_t index, std::uint32_t flags, std::uint32_t start,
                                     std::span<const std::uint8_t> bools);
  // Closes every kept descriptor, makes no kind active and deasserts INTx:
  // the state of a reset device.
  void clear();
  // Returns whether vector n was signalled through the active kind; for
  // INTx, n = 0 also asserts the line.
  bool raise(std::uint32_t n);
  // Asserts or deasserts the INTx line; returns whether it was signalled.
  bool set_intx(bool asserted);
  // Signals INTx again if a guest write to the configuration space cleared
  // Interrupt Disable (set before the write: was_disabled) while the line
  // is asserted.
  void config_written(bool was_disabled);
  // Returns whether an eventfd is kept for vector n of index.
  bool has(std::uint32_t index, std::uint32_t n) const;

 private:
  static constexpr std::uint32_t kNone = kNumIndices;

  // Returns the vectors the device announces for index.
  std::uint32_t announced(std::uint32_t index) const;
  // Returns success after acting on a set-up; bools is the data of a
  // DATA_BOOL one.
  std::expected<void, int> apply(std::uint32_t index, std::uint32_t flags, std::uint32_t start, std::uint32_t count,
                                 vfio_user::FdList& files, std::span<const std::uint8_t> bools);
  std::expected<void, int> trigger(std::uint32_t index, std::uint32_t flags, std::uint32_t start,
                                   std::uint32_t count, vfio_user::FdList& files, std::span<const std::uint8_t> bools);
  std::expected<void, int> mask(std::uint32_t index, std::uint32_t flags, std::uint32_t start, std::uint32_t count,
                                std::span<const std::uint8_t> bools);
  // Signals INTx if it is active, asserted, unmasked and not disabled.
  bool signal_intx();
  // Returns whether the eventfd of vector n of the active kind was written;
  // logs the interrupt, or a WARN line when it cannot be signalled.
  bool signal(std::uint32_t n);

  pci::PciConfiguration& config_;
  std::uint32_t active_ = kNone;               // the kind in use, an index, or kNone
  std::vector<vfio_user::UniqueFd> vectors_;   // the active kind's eventfds, by vector
  bool intx_asserted_ = false;                 // the line, whatever kind is active
  bool intx_masked_ = false;                   // the monitor's INTx mask
};

}  // namespace zephon

#endif  // ZEPHON_SCRIPT_INTERRUPTS_H_
