-- For the recorded run of a Linux display driver (radeon, which took the
-- device for a TAHITI, a Southern Islands part) probing zephon under QEMU.
--
-- In that recording the driver read register index 0x30d3 (BAR 2 offset
-- 0xc34c) 100 000 times in a row, three times over, always getting 0, and
-- then gave up. What follows is inferred, not measured: the guest's kernel
-- messages name si_enable_gui_idle_interrupt in the trace of the failure, and
-- in the driver's published source that function polls RLC_STAT (offset
-- 0xc34c on these parts) once per microsecond, up to its 100 000 microsecond
-- time-out, until the RLC busy bit (bit 0) and the light-sleep bit (bit 3)
-- are clear and the GFX power (bit 1) and GFX clock (bit 2) status bits are
-- set. The value 0x6 is therefore what ends each wait at its first read. The
-- register is not written in the recording, so a constant is enough.
--
--   ZEPHON_SCRIPT=examples/display-driver-probe.lua zephon SOCKET ROM

local RLC_STAT = 0x30d3
local GFX_POWER_STATUS = 1 << 1
local GFX_CLOCK_STATUS = 1 << 2

reads[RLC_STAT] = GFX_POWER_STATUS | GFX_CLOCK_STATUS
