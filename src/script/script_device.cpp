#include "script_device.h"

#include "script_interrupts.h"

namespace zephon {

void ScriptDevice::set_register(std::uint32_t reg, std::uint32_t value) {
  regs_[reg] = value;
  log_register_event("Set  ", reg, value);
}

bool ScriptDevice::raise(std::uint32_t n) { return irqs_.raise(n); }

bool ScriptDevice::set_intx(bool asserted) { return irqs_.set_intx(asserted); }

}  // namespace zephon
