-- The command processor's rings 0, 1 and 2 (ring 0 graphics and compute,
-- rings 1 and 2 compute), executing PM4 packets from the driver's rings and
-- indirect buffers in the GPU's address space.
--
-- A ring is a power-of-two buffer of dwords in the GTT. The driver writes
-- packets and then the ring's write pointer (in dwords); the CP executes
-- from its read pointer up to the write pointer, wrapping at the end, and
-- then reports the new read pointer in its register and, unless the driver
-- turned that off, at the write-back address. Here that happens at once,
-- inside the driver's write of the write pointer.
--
-- Per ring (byte offsets in BAR 2):
--   RB_BASE (<< 8), RB_CNTL (bits 5:0 log2 of the size in 8-byte units,
--   bit 27 no read-pointer write-back, bit 31 read pointer writable: a
--   write-pointer write then resets the ring instead of running it),
--   RB_RPTR_ADDR and _HI (the write-back address), RB_WPTR, RB_RPTR.
--
-- Packets: type 2 is a filler dword; type 0 writes count + 1 registers from
-- the register in bits 15:0; type 3 has its opcode in bits 15:8 and count
-- + 1 dwords after the header. Of type 3 the model executes the opcodes the
-- driver's kernel-side streams need (SET_CONFIG_REG, INDIRECT_BUFFER,
-- WRITE_DATA, EVENT_WRITE_EOP, CP_DMA) and skips every other by its length:
-- drawing, context and shader state, cache flushes, semaphores (every ring
-- runs to completion when its write pointer is written, so a semaphore has
-- always been signalled before anyone waits on it) and the constant
-- engine's indirect buffers. Indirect buffers of a process's own address
-- space (a VMID other than 0, which the driver does not use for its own
-- work) are skipped too. A packet the model cannot parse is an error in
-- the script: the ring's remaining packets up to the write pointer are
-- dropped, the read pointer still moves on, and the run goes on.

local gart = include("tahiti/gart")
local ih = include("tahiti/ih")
local registers = include("tahiti/registers")

local M = {}

M.rings = {
  { name = "CP0", id = 0, base = 0xC100, cntl = 0xC104, rptr_addr = 0xC10C, rptr_addr_hi = 0xC110, wptr = 0xC114,
    rptr = 0x8700 },
  { name = "CP1", id = 1, base = 0xC180, cntl = 0xC184, rptr_addr = 0xC188, rptr_addr_hi = 0xC18C, wptr = 0xC190,
    rptr = 0x86FC },
  { name = "CP2", id = 2, base = 0xC194, cntl = 0xC198, rptr_addr = 0xC19C, rptr_addr_hi = 0xC1A0, wptr = 0xC1A4,
    rptr = 0x86F8 },
}

local RB_NO_UPDATE, RB_RPTR_WR_ENA = 1 << 27, 1 << 31
local SET_CONFIG_REG_START = 0x8000 >> 2

local SET_CONFIG_REG, INDIRECT_BUFFER, WRITE_DATA, EVENT_WRITE_EOP, CP_DMA = 0x68, 0x32, 0x37, 0x47, 0x41

local unpack = string.unpack
local format = string.format

-- Returns dword k (0-based) of the string s.
local function dword(s, k) return (unpack("<I4", s, 4 * k + 1)) end

-- The opcodes' functions take the packet being executed, p: its stream
-- (p.s), the index of its header there (p.at), its count field (p.count),
-- the ring (p.ring), how deep in indirect buffers it is (p.depth), and
-- p.place(i), which names dword i of the stream in error messages.

-- Returns dword k of the packet, the header being dword 0.
local function body(p, k) return dword(p.s, p.at + k) end

local function malformed(p, text) error(format("%s: %s", p.place(p.at), text), 0) end

local function need_count(p, least, name)
  if p.count < least then malformed(p, format("%s with count %d, fewer than %d", name, p.count, least)) end
end

local run

local opcodes = {}

opcodes[SET_CONFIG_REG] = function(p)
  need_count(p, 1, "SET_CONFIG_REG")
  local first = SET_CONFIG_REG_START + body(p, 1)
  for k = 0, p.count - 1 do registers.write(first + k, body(p, 2 + k)) end
end

opcodes[INDIRECT_BUFFER] = function(p)
  need_count(p, 2, "INDIRECT_BUFFER")
  local address = (body(p, 1) & ~3) | ((body(p, 2) & 0xFFFF) << 32)
  local control = body(p, 3)
  local length, vmid = control & 0xFFFFF, (control >> 24) & 0xF
  if p.depth > 0 then malformed(p, "INDIRECT_BUFFER inside an indirect buffer") end
  if vmid ~= 0 then
    -- A process's buffer, in its own address space: its work is not done,
    -- but what follows it on the ring (its fence) is.
    log(format("accel: %s IB 0x%x len %d for VMID %d not modelled, skipped", p.ring.name, address, length, vmid))
    return
  end
  log(format("accel: %s IB 0x%x len %d vmid %d", p.ring.name, address, length, vmid))
  run(p.ring, gart.read(address, 4 * length), 1, function(i) return format("%s IB 0x%x dword %d", p.ring.name,
    address, i) end)
end

opcodes[WRITE_DATA] = function(p)
  need_count(p, 3, "WRITE_DATA")
  local control = body(p, 1)
  local destination, one_address = (control >> 8) & 0xF, control & (1 << 16) ~= 0
  local values = p.count - 2
  local low, high = body(p, 2), body(p, 3)
  if destination == 0 then
    for k = 0, values - 1 do registers.write(one_address and low or low + k, body(p, 4 + k)) end
  elseif destination == 1 or destination == 2 or destination == 5 then
    local address = (low & ~3) | ((high & 0xFFFF) << 32)
    if one_address then
      gart.write32(address, body(p, 4 + values - 1))
    else
      local first = 4 * (p.at + 4)
      gart.write(address, p.s:sub(first + 1, first + 4 * values))
    end
  else
    log(format("accel: %s WRITE_DATA to destination %d not modelled, skipped", p.ring.name, destination))
  end
end

opcodes[EVENT_WRITE_EOP] = function(p)
  need_count(p, 4, "EVENT_WRITE_EOP")
  local high = body(p, 3)
  local address = (body(p, 2) & ~3) | ((high & 0xFFFF) << 32)
  local data_sel, int_sel = (high >> 29) & 7, (high >> 24) & 7
  local low, upper = body(p, 4), body(p, 5)
  if data_sel == 1 then
    gart.write32(address, low)
  elseif data_sel == 2 then
    gart.write64(address, low | (upper << 32))
  elseif data_sel == 3 then
    -- the GPU clock counter, which runs at the 100 MHz reference clock
    gart.write64(address, math.floor(now() * 1e8))
  end
  log(format("accel: %s EOP fence 0x%x <- %d int %d", p.ring.name, address, low, int_sel))
  if int_sel ~= 0 then ih.raise(ih.CP_END_OF_PIPE, 0, p.ring.id) end
end

opcodes[CP_DMA] = function(p)
  need_count(p, 4, "CP_DMA")
  local source_low, control = body(p, 1), body(p, 2)
  local destination = body(p, 3) | ((body(p, 4) & 0xFF) << 32)
  local command = body(p, 5)
  local bytes = command & 0x1FFFFF
  local source_select, destination_select = (control >> 29) & 3, (control >> 20) & 3
  -- register address spaces and non-incrementing addresses (bits 26-29)
  if destination_select ~= 0 or source_select == 1 or source_select == 3 or command & (0xF << 26) ~= 0 then
    log(format("accel: %s CP_DMA control 0x%x command 0x%x not modelled, skipped", p.ring.name, control, command))
    return
  end
  if source_select == 2 then
    log(format("accel: %s CP_DMA fill 0x%x +%d with 0x%x", p.ring.name, destination, bytes, source_low))
    gart.fill(destination, bytes, source_low)
  else
    local source = source_low | ((control & 0xFF) << 32)
    log(format("accel: %s CP_DMA 0x%x <- 0x%x +%d", p.ring.name, destination, source, bytes))
    gart.copy(destination, source, bytes)
  end
end

-- Returns nothing; executes the PM4 packets of the string s (whole dwords)
-- for ring, at indirect-buffer depth depth.
run = function(ring, s, depth, place)
  local n = #s // 4
  local i = 0
  local p = { s = s, ring = ring, depth = depth, place = place, at = 0, count = 0 }
  while i < n do
    local header = dword(s, i)
    local kind = header >> 30
    p.at = i
    if kind == 2 then
      i = i + 1
    elseif kind == 0 then
      local count = ((header >> 16) & 0x3FFF) + 1
      if i + 1 + count > n then
        malformed(p, format("type-0 packet of %d dwords, %d are left", 1 + count, n - i))
      end
      local first = header & 0xFFFF
      for k = 0, count - 1 do registers.write(first + k, dword(s, i + 1 + k)) end
      i = i + 1 + count
    elseif kind == 3 then
      local count = (header >> 16) & 0x3FFF
      local opcode = (header >> 8) & 0xFF
      if i + count + 2 > n then
        malformed(p, format("type-3 packet 0x%02x of %d dwords, %d are left", opcode, count + 2, n - i))
      end
      p.count = count
      local execute = opcodes[opcode]
      if execute then execute(p) end
      i = i + count + 2
    else
      malformed(p, format("type-1 packet 0x%08x", header))
    end
  end
end

-- Returns nothing; stores the ring's read pointer and writes it back.
local function set_read_pointer(ring, control, value)
  regs[ring.rptr >> 2] = value
  if control & RB_NO_UPDATE == 0 then
    gart.write32((regs[ring.rptr_addr >> 2] & ~3) | ((regs[ring.rptr_addr_hi >> 2] & 0xFF) << 32), value)
  end
end

-- Returns nothing; runs ring from its read pointer to the write pointer the
-- driver just wrote.
local function kick(ring, written)
  local control = regs[ring.cntl >> 2]
  local size = 2 << (control & 0x3F)
  local wptr = written & (size - 1)
  if control & RB_RPTR_WR_ENA ~= 0 then
    regs[ring.rptr >> 2] = wptr
    return
  end
  local rptr = regs[ring.rptr >> 2] & (size - 1)
  if rptr == wptr then return end
  local ahead = (wptr - rptr) & (size - 1)
  log(format("accel: %s kick rptr %d wptr %d (%d dw)", ring.name, rptr, wptr, ahead))
  local ok, failure = pcall(function()
    local base = regs[ring.base >> 2] << 8
    local s
    if rptr < wptr then
      s = gart.read(base + 4 * rptr, 4 * ahead)
    else
      s = gart.read(base + 4 * rptr, 4 * (size - rptr)) .. gart.read(base, 4 * wptr)
    end
    run(ring, s, 0, function(i) return format("%s ring dword %d", ring.name, (rptr + i) & (size - 1)) end)
  end)
  -- The read pointer moves on even past a malformed packet, so that the
  -- driver's next submission runs.
  set_read_pointer(ring, control, wptr)
  if not ok then error(failure, 0) end
end

for _, ring in ipairs(M.rings) do
  on_write[ring.wptr >> 2] = function(value) kick(ring, value) end
end

return M
