// ScriptDevice is all a device script may touch of the device it models: the
// BAR 2 register file, the interrupts the monitor set up, guest memory and
// the VRAM behind BAR 0, each change logged as the device's own line. The
// device model makes one and lends it to the script, so that the script
// depends on this narrow interface and never on the device model that
// drives it.
//
// Contract: it holds references only; the register file, the interrupts,
// guest memory and VRAM outlive it and every copy of it. Register indices
// are below kNumRegs. set_register() logs a "Set" line. Single-threaded.
#ifndef ZEPHON_SCRIPT_DEVICE_H_
#define ZEPHON_SCRIPT_DEVICE_H_

#include <cstdint>

#include "register_file.h"

namespace zephon {

class MemorySpace;
class ScriptInterrupts;
class VramSpace;

class ScriptDevice {
 public:
  ScriptDevice(Registers& regs, ScriptInterrupts& irqs, MemorySpace& guest_memory, VramSpace& vram)
      : regs_(regs), irqs_(irqs), guest_memory_(guest_memory), vram_(vram) {}

  // Returns the value register reg holds.
  std::uint32_t reg(std::uint32_t reg) const { return regs_[reg]; }
  // Stores value in register reg on the script's behalf, with its Set line.
  void set_register(std::uint32_t reg, std::uint32_t value);
  // Returns whether interrupt vector n was signalled (ScriptInterrupts::raise).
  bool raise(std::uint32_t n);
  // Returns the VRAM behind BAR 0, which the script may enable while it loads.
  VramSpace& vram() const { return vram_; }
  // Asserts or deasserts the INTx line; returns whether it was signalled.
  bool set_intx(bool asserted);
  // Returns guest memory, by the monitor's DMA addresses.
  MemorySpace& guest_memory() const { return guest_memory_; }

 private:
  Registers& regs_;         // the device's register file
  ScriptInterrupts& irqs_;  // the eventfds interrupts go through
  MemorySpace& guest_memory_;  // what the monitor mapped for DMA
  VramSpace& vram_;            // BAR 0's memory, once enabled
};

}  // namespace zephon

#endif  // ZEPHON_SCRIPT_DEVICE_H_
