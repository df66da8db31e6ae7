-- A doorbell: writing a job number to it completes the job at once.
--
-- Register 0x0020 (BAR 2 offset 0x80) is the doorbell and register 0x0021
-- (offset 0x84) the completion register. When the driver writes a job number
-- to the doorbell, the device copies it to the completion register, raises
-- interrupt vector 0 and clears the doorbell (a doorbell reads as zero once
-- it has been taken). The log shows the guest's write, then the device's own
-- changes as "Set" lines and the interrupt as an "Irq" line; the dump shows
-- the completion register.
--
-- The interrupt goes through the eventfd the monitor set up for vector 0 of
-- the interrupt kind in use (MSI once the guest enabled it, or INTx); if
-- there is none, a WARN line says the interrupt was dropped.
--
--   ZEPHON_SCRIPT=examples/doorbell.lua zephon SOCKET ROM

local DOORBELL = 0x0020
local COMPLETION = 0x0021

on_write[DOORBELL] = function(job)
  regs[COMPLETION] = job
  irq(0)
  return 0
end
