-- The two asynchronous DMA engines (the driver's rings 3 and 4), executing
-- their packets from the driver's rings and indirect buffers.
--
-- Per engine, at 0xD000 and 0xD800 (byte offsets in BAR 2):
--   + 0x00 RB_CNTL: bit 0 enable, bits 5:1 log2 of the ring's size in
--          dwords, bit 12 read-pointer write-back
--   + 0x04 RB_BASE (<< 8), + 0x08 RB_RPTR and + 0x0C RB_WPTR (bytes)
--   + 0x1C / + 0x20 the read-pointer write-back address, high and low
--   + 0x2C DMA_CNTL: bit 0 enables the trap interrupt
-- An engine runs from its read pointer to the write pointer when the
-- driver writes the write pointer (or enables a ring that has work).
--
-- A packet's header has the command in bits 31:28, a sub-command in bits
-- 27:20 and a count in bits 19:0. Executed: WRITE (linear: count dwords to
-- an address; the page-table form, sub-command 0x42, that generates count
-- / 2 page entries), COPY (linear, in dwords, sub-command 0x00, or in bytes,
-- 0x40), INDIRECT_BUFFER, FENCE (a 32-bit sequence number), TRAP (an
-- interrupt entry), SRBM_WRITE (a register, with byte enables),
-- CONSTANT_FILL (count dwords of one value). Skipped by their length:
-- SEMAPHORE (every ring runs to completion at its write pointer), POLL_REG_MEM
-- (the registers it waits on are settled when it runs), NOP, and the tiled,
-- partial and broadcast copies and tiled writes, which the model does not
-- carry out (a log line says so), and indirect buffers of a process's own
-- address space (a VMID other than 0). Anything else is malformed: an error in
-- the script, the rest of the ring up to the write pointer dropped.

local gart = include("tahiti/gart")
local ih = include("tahiti/ih")
local registers = include("tahiti/registers")

local M = {}

M.engines = {
  { name = "DMA0", base = 0xD000, trap = ih.DMA0_TRAP },
  { name = "DMA1", base = 0xD800, trap = ih.DMA1_TRAP },
}

local RB_CNTL, RB_BASE, RB_RPTR, RB_WPTR, RPTR_ADDR_HI, RPTR_ADDR_LO = 0x00, 0x04, 0x08, 0x0C, 0x1C, 0x20
local RB_ENABLE, RPTR_WRITEBACK = 1 << 0, 1 << 12

local WRITE, COPY, INDIRECT_BUFFER, SEMAPHORE, FENCE, TRAP = 0x2, 0x3, 0x4, 0x5, 0x6, 0x7
local SRBM_WRITE, CONSTANT_FILL, POLL_REG_MEM, NOP = 0x9, 0xD, 0xE, 0xF
local WRITE_LINEAR, WRITE_TILED, WRITE_PAGE_ENTRIES = 0x00, 0x08, 0x42
local COPY_DWORDS, COPY_BYTES = 0x00, 0x40
-- The other copy forms, by sub-command: their total length in dwords.
local COPY_NOT_MODELLED = { [0x08] = 9, [0x41] = 9, [0x44] = 7, [0x48] = 10, [0x49] = 12, [0x4B] = 10, [0x4C] = 9,
  [0x4D] = 13, [0x4F] = 10 }

local unpack, pack = string.unpack, string.pack
local format = string.format

local function dword(s, k) return (unpack("<I4", s, 4 * k + 1)) end

local function register(engine, offset) return (engine.base + offset) >> 2 end

-- Returns count page entries, (value + k * increment) | flags for k from 0.
-- Counting entries is a Lua loop, a few instructions each; the driver asks
-- for at most one page table's worth (4096 entries in the recorded run) per
-- packet.
local function page_entries(value, increment, flags, count)
  if increment == 0 then return gart.repeated(pack("<i8", value | flags), count) end
  local parts = {}
  for k = 0, count - 1 do parts[k + 1] = pack("<i8", (value + k * increment) | flags) end
  return table.concat(parts)
end

local run

-- Returns nothing; executes the DMA packets of the string s for engine, at
-- indirect-buffer depth depth; place(i) names dword i in error messages.
run = function(engine, s, depth, place)
  local n = #s // 4
  local i = 0
  local name = engine.name
  local function need(length, what)
    if i + length > n then
      error(format("%s: %s packet of %d dwords, %d are left", place(i), what, length, n - i), 0)
    end
  end
  local function at(k) return dword(s, i + k) end
  while i < n do
    local header = at(0)
    local command, sub, count = header >> 28, (header >> 20) & 0xFF, header & 0xFFFFF
    if command == WRITE and sub == WRITE_LINEAR then
      need(3 + count, "WRITE")
      local address = (at(1) & ~3) | ((at(2) & 0xFF) << 32)
      log(format("accel: %s WRITE 0x%x (%d dw)", name, address, count))
      gart.write(address, s:sub(4 * (i + 3) + 1, 4 * (i + 3 + count)))
      i = i + 3 + count
    elseif command == WRITE and sub == WRITE_PAGE_ENTRIES then
      need(9, "WRITE (page entries)")
      local address = (at(1) & ~3) | ((at(2) & 0xFF) << 32)
      local flags, value, increment = at(3) | (at(4) << 32), at(5) | (at(6) << 32), at(7) | (at(8) << 32)
      log(format("accel: %s page entries 0x%x (%d) value 0x%x incr 0x%x flags 0x%x", name, address, count // 2,
        value, increment, flags))
      gart.write(address, page_entries(value, increment, flags, count // 2))
      i = i + 9
    elseif command == WRITE and sub == WRITE_TILED then
      need(count + 7, "WRITE (tiled)")
      log(format("accel: %s tiled WRITE not modelled, skipped", name))
      i = i + count + 7
    elseif command == COPY and (sub == COPY_DWORDS or sub == COPY_BYTES) then
      need(5, "COPY")
      local bytes = sub == COPY_BYTES and count or 4 * count
      local destination = at(1) | ((at(3) & 0xFF) << 32)
      local source = at(2) | ((at(4) & 0xFF) << 32)
      log(format("accel: %s COPY 0x%x <- 0x%x +%d", name, destination, source, bytes))
      gart.copy(destination, source, bytes)
      i = i + 5
    elseif command == COPY and COPY_NOT_MODELLED[sub] then
      need(COPY_NOT_MODELLED[sub], "COPY")
      log(format("accel: %s COPY sub-command 0x%02x (tiled, partial or broadcast) not modelled, skipped", name, sub))
      i = i + COPY_NOT_MODELLED[sub]
    elseif command == INDIRECT_BUFFER then
      need(3, "INDIRECT_BUFFER")
      local vmid = (header >> 20) & 0xF
      local address = (at(1) & ~0x1F) | ((at(2) & 0xFF) << 32)
      local length = (at(2) >> 12) & 0xFFFFF
      if depth > 0 then error(format("%s: INDIRECT_BUFFER inside an indirect buffer", place(i)), 0) end
      if vmid ~= 0 then
        log(format("accel: %s IB 0x%x len %d for VMID %d not modelled, skipped", name, address, length, vmid))
      else
        log(format("accel: %s IB 0x%x len %d", name, address, length))
        run(engine, gart.read(address, 4 * length), 1, function(k) return format("%s IB 0x%x dword %d", name, address,
          k) end)
      end
      i = i + 3
    elseif command == SEMAPHORE then
      need(3, "SEMAPHORE")
      i = i + 3
    elseif command == FENCE then
      need(4, "FENCE")
      local address = (at(1) & ~3) | ((at(2) & 0xFF) << 32)
      log(format("accel: %s FENCE 0x%x <- %d", name, address, at(3)))
      gart.write32(address, at(3))
      i = i + 4
    elseif command == TRAP then
      ih.raise(engine.trap, 0, 0)
      i = i + 1
    elseif command == SRBM_WRITE then
      need(3, "SRBM_WRITE")
      local target = at(1)
      local enables = (target >> 16) & 0xF
      local mask = 0
      for byte = 0, 3 do
        if enables & (1 << byte) ~= 0 then mask = mask | (0xFF << (8 * byte)) end
      end
      registers.write(target & 0xFFFF, at(2), mask)
      i = i + 3
    elseif command == CONSTANT_FILL then
      need(4, "CONSTANT_FILL")
      local address = (at(1) & ~3) | (((at(3) >> 16) & 0xFF) << 32)
      log(format("accel: %s CONSTANT_FILL 0x%x (%d dw) with 0x%x", name, address, count, at(2)))
      gart.fill(address, 4 * count, at(2))
      i = i + 4
    elseif command == POLL_REG_MEM then
      need(6, "POLL_REG_MEM")
      i = i + 6
    elseif command == NOP then
      i = i + 1
    else
      error(format("%s: unknown DMA packet 0x%08x (command 0x%x, sub-command 0x%02x)", place(i), header, command, sub),
        0)
    end
  end
end

-- Returns nothing; runs the engine's ring from the read pointer to the
-- write pointer, if the ring is enabled.
local function kick(engine)
  local control = regs[register(engine, RB_CNTL)]
  if control & RB_ENABLE == 0 then return end
  local size = 1 << ((control >> 1) & 0x1F)
  local rptr = ((regs[register(engine, RB_RPTR)] & 0x3FFFC) >> 2) & (size - 1)
  local wptr = ((regs[register(engine, RB_WPTR)] & 0x3FFFC) >> 2) & (size - 1)
  if rptr == wptr then return end
  local ahead = (wptr - rptr) & (size - 1)
  log(format("accel: %s kick rptr %d wptr %d (%d dw)", engine.name, rptr, wptr, ahead))
  local ok, failure = pcall(function()
    local base = regs[register(engine, RB_BASE)] << 8
    local s
    if rptr < wptr then
      s = gart.read(base + 4 * rptr, 4 * ahead)
    else
      s = gart.read(base + 4 * rptr, 4 * (size - rptr)) .. gart.read(base, 4 * wptr)
    end
    run(engine, s, 0, function(k) return format("%s ring dword %d", engine.name, (rptr + k) & (size - 1)) end)
  end)
  -- As the CP does, the read pointer moves on past a malformed packet.
  regs[register(engine, RB_RPTR)] = wptr << 2
  if control & RPTR_WRITEBACK ~= 0 then
    gart.write32((regs[register(engine, RPTR_ADDR_LO)] & ~3) | ((regs[register(engine, RPTR_ADDR_HI)] & 0xFF) << 32),
      wptr << 2)
  end
  if not ok then error(failure, 0) end
end

for _, engine in ipairs(M.engines) do
  on_write[register(engine, RB_WPTR)] = function() kick(engine) end
  on_write[register(engine, RB_CNTL)] = function() kick(engine) end
end

return M
