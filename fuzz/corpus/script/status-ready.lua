-- A status register that reports ready after a number of polls.
--
-- Register 0x0010 (BAR 2 offset 0x40) stands for an engine's status: the
-- driver starts the engine and then polls bit 0 until it is set. Real
-- hardware takes a while; here the first five reads show the register as
-- stored and every later read has the ready bit set. The register file itself
-- is not changed, so the dump shows what the driver wrote.
--
--   ZEPHON_SCRIPT=examples/status-ready.lua zephon SOCKET ROM

local STATUS = 0x0010
local READY = 0x1
local POLLS = 5

ready_after_reads(STATUS, POLLS, READY)

-- The same written out, for a register whose answer needs more than a bit:
--
--   local polls = 0
--   on_read[STATUS] = function(value)
--     polls = polls + 1
--     if polls > POLLS then return value | READY end
--     return value
--   end
--
-- A device reset starts the countdown again.
on_reset = function()
  ready_after_reads(STATUS, POLLS, READY)
end
