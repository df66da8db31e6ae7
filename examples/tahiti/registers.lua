-- Register writes that the engines make on behalf of a command stream
-- (PM4 type 0, SET_CONFIG_REG, WRITE_DATA, a DMA engine's SRBM_WRITE), and
-- the registers whose changes the model reacts to.
--
-- A packet's write goes through the register file, so the recording shows
-- it as the script's "Set" line: what the command streams did is in the
-- log next to what the driver did. Then it has the effects a guest write of
-- the same register has in the model (watch), and the CP's scratch
-- registers are written back to memory.
--
-- Scratch write-back: SCRATCH_REG0-7 (0x8500-0x851C) are mirrored at
-- (SCRATCH_ADDR 0x8544 << 8) + 4 * i when bit i of SCRATCH_UMSK (0x8540) is
-- set, which the driver sets when it uses the write-back page.

local gart = include("tahiti/gart")

local M = {}

local SCRATCH_REG0 = 0x8500 >> 2
local SCRATCH_UMSK = 0x8540 >> 2
local SCRATCH_ADDR = 0x8544 >> 2

local watchers = {}

-- Returns nothing; calls fn(value) after every write of register index,
-- the guest's (as its on_write hook) and a packet's alike.
function M.watch(index, fn)
  local previous = watchers[index]
  local both = fn
  if previous then both = function(value) previous(value); fn(value) end end
  watchers[index] = both
  on_write[index] = function(value) both(value) end
end

-- Returns nothing; a packet writes value to register index. mask, if given,
-- keeps the bits of the old value outside it (a DMA engine's byte enables).
function M.write(index, value, mask)
  if index < 0 or index > 0xFFFF then
    error(string.format("register write to 0x%x, past the register file", index * 4), 0)
  end
  value = value & 0xFFFFFFFF
  if mask then value = (regs[index] & ~mask) | (value & mask) end
  regs[index] = value
  local slot = index - SCRATCH_REG0
  if slot >= 0 and slot < 8 and regs[SCRATCH_UMSK] & (1 << slot) ~= 0 then
    gart.write32((regs[SCRATCH_ADDR] << 8) + 4 * slot, value)
  end
  local watcher = watchers[index]
  if watcher then watcher(value) end
end

return M
