// ScriptInterrupts keeps the interrupt eventfds the monitor hands over with
// SetIrqs, so that a device script can raise interrupts through them.
//
// Contract: only trigger set-ups are kept, per interrupt index and vector;
// a new set-up replaces what a vector had, and a disable (vector count 0,
// no data, or a vector left without a descriptor) closes it. Vectors at or
// past kMaxVectors are refused, so what is kept is bounded whatever the
// monitor sends. Every kept descriptor is owned here and closed by clear()
// or on destruction. raise() never blocks. Single-threaded.
#ifndef ZEPHON_SCRIPT_INTERRUPTS_H_
#define ZEPHON_SCRIPT_INTERRUPTS_H_

#include <array>
#include <cstdint>
#include <map>

#include "vfio_user/unique_fd.h"

namespace zephon {

class ScriptInterrupts {
 public:
  // The most vectors an interrupt index can have (the MSI-X table limit).
  static constexpr std::uint32_t kMaxVectors = 2048;
  // INTx, MSI, MSI-X, error and request: the indices the device describes.
  static constexpr std::uint32_t kNumIndices = 5;

  ScriptInterrupts() = default;
  ScriptInterrupts(const ScriptInterrupts&) = delete;
  ScriptInterrupts& operator=(const ScriptInterrupts&) = delete;

  // Takes one SetIrqs request: keeps, replaces or closes the eventfds of its
  // vectors; descriptors not kept are closed before it returns.
  void set(std::uint32_t index, std::uint32_t flags, std::uint32_t start, std::uint32_t count,
           vfio_user::FdList files);
  // Closes every kept descriptor.
  void clear();
  // Returns whether vector n was signalled: through MSI-X if any MSI-X
  // vector is set up, else MSI, else INTx for n = 0. Logs the interrupt,
  // or a WARN line when there is no eventfd for n.
  bool raise(std::uint32_t n);
  // Returns whether an eventfd is kept for vector n of index.
  bool has(std::uint32_t index, std::uint32_t n) const;

 private:
  // vectors_[index] maps a vector number to its eventfd.
  std::array<std::map<std::uint32_t, vfio_user::UniqueFd>, kNumIndices> vectors_;
};

}  // namespace zephon

#endif  // ZEPHON_SCRIPT_INTERRUPTS_H_
