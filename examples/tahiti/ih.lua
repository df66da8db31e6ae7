-- The interrupt handler (IH) ring: how the engines tell the driver that work
-- is done. The driver keeps the ring in the GTT; the device appends 16-byte
-- entries (source id, source data, ring id, 0), advances the ring's write
-- pointer (register and write-back) and raises MSI vector 0; the driver's
-- handler reads the entries up to the write pointer and writes its read
-- pointer back.
--
--   IH_RB_CNTL 0x3E00: bit 0 enable, bits 5:1 log2 of the size in dwords,
--     bit 8 write-pointer write-back
--   IH_RB_BASE 0x3E04 (<< 8), IH_RB_RPTR 0x3E08 and IH_RB_WPTR 0x3E0C
--     (bytes), the write-back address at IH_RB_WPTR_ADDR_HI 0x3E10 / _LO
--     0x3E14, IH_CNTL 0x3E18 bit 0 the global enable.
--
-- An entry whose source is not enabled yet (the driver enables a ring's
-- interrupt only when it starts to wait on it), or that finds the ring
-- disabled or full, is held and delivered once that changes: the driver
-- polls the fence memory first and then sleeps on the interrupt, so it must
-- not be lost. Held entries of one source and ring are one entry: the
-- driver reads the fence value from memory, not from the entry.

local gart = include("tahiti/gart")
local registers = include("tahiti/registers")

local M = {}

local IH_RB_CNTL = 0x3E00 >> 2
local IH_RB_BASE = 0x3E04 >> 2
local IH_RB_RPTR = 0x3E08 >> 2
local IH_RB_WPTR = 0x3E0C >> 2
local IH_RB_WPTR_ADDR_HI = 0x3E10 >> 2
local IH_RB_WPTR_ADDR_LO = 0x3E14 >> 2
local IH_CNTL = 0x3E18 >> 2

local RB_ENABLE, WPTR_WRITEBACK, ENABLE_INTR = 1 << 0, 1 << 8, 1 << 0
local ENTRY = 16

-- Sources, and the register bit that enables each (per ring for the CP).
M.CP_END_OF_PIPE = 181
M.DMA0_TRAP = 224
M.DMA1_TRAP = 244
local TIME_STAMP_INT_ENABLE = 1 << 26
local TRAP_ENABLE = 1 << 0
local CP_INT_CNTL = { [0] = 0xC1A8 >> 2, 0xC1AC >> 2, 0xC1B0 >> 2 }
local DMA_CNTL = { [M.DMA0_TRAP] = 0xD02C >> 2, [M.DMA1_TRAP] = 0xD82C >> 2 }

local held = {} -- entries not delivered yet, oldest first: {source, data, ring}
local flush_pending = false

-- Returns whether the driver has enabled interrupts of source (for ring).
local function source_enabled(source, ring)
  if source == M.CP_END_OF_PIPE then
    local control = CP_INT_CNTL[ring]
    return control ~= nil and regs[control] & TIME_STAMP_INT_ENABLE ~= 0
  end
  local control = DMA_CNTL[source]
  if control then return regs[control] & TRAP_ENABLE ~= 0 end
  return true
end

local function ring_enabled()
  return regs[IH_RB_CNTL] & RB_ENABLE ~= 0 and regs[IH_CNTL] & ENABLE_INTR ~= 0
end

-- Writes the entries that can go now; returns how many it wrote.
local function deliver()
  if #held == 0 or not ring_enabled() then return 0 end
  local control = regs[IH_RB_CNTL]
  local size = 4 << ((control >> 1) & 0x1F)
  local base = regs[IH_RB_BASE] << 8
  local wptr = regs[IH_RB_WPTR] & (size - 1) & ~(ENTRY - 1)
  local rptr = regs[IH_RB_RPTR] & (size - 1)
  local kept, written = {}, 0
  for _, entry in ipairs(held) do
    local full = (wptr + ENTRY) & (size - 1) == rptr
    if full or not source_enabled(entry[1], entry[3]) then
      kept[#kept + 1] = entry
    else
      gart.write(base + wptr, string.pack("<I4I4I4I4", entry[1], entry[2] & 0xFFFFFFF, entry[3], 0))
      log(string.format("accel: IV %d ring %d data %d at %d", entry[1], entry[3], entry[2], wptr))
      wptr = (wptr + ENTRY) & (size - 1)
      written = written + 1
    end
  end
  held = kept
  if written > 0 then
    regs[IH_RB_WPTR] = wptr
    if control & WPTR_WRITEBACK ~= 0 then
      gart.write32((regs[IH_RB_WPTR_ADDR_LO] & ~3) | ((regs[IH_RB_WPTR_ADDR_HI] & 0xFF) << 32), wptr)
    end
    irq(0)
  end
  return written
end

-- Returns nothing; appends an interrupt entry for source (with data and
-- ring id) and raises MSI vector 0, or holds it until it can go.
function M.raise(source, data, ring)
  for _, entry in ipairs(held) do
    if entry[1] == source and entry[3] == ring then
      entry[2] = data
      deliver()
      return
    end
  end
  held[#held + 1] = { source, data, ring }
  if not source_enabled(source, ring) then
    log(string.format("accel: IV %d ring %d held until its source is enabled", source, ring))
  end
  deliver()
end

-- Delivers held entries after a register that may let them go was written,
-- once the write is done, like the hardware noticing the change.
local function changed()
  if #held == 0 or flush_pending then return end
  if after then
    flush_pending = true
    after(0, function()
      flush_pending = false
      deliver()
    end)
  else
    deliver()
  end
end

for _, index in ipairs({ IH_RB_CNTL, IH_RB_RPTR, IH_CNTL, CP_INT_CNTL[0], CP_INT_CNTL[1], CP_INT_CNTL[2],
  DMA_CNTL[M.DMA0_TRAP], DMA_CNTL[M.DMA1_TRAP] }) do
  registers.watch(index, changed)
end

-- Returns nothing; forgets held entries (a device reset).
function M.reset()
  held = {}
  flush_pending = false
end

-- Returns the number of entries held.
function M.held() return #held end

return M
