-- A command ring: the driver puts commands in guest memory and rings a
-- doorbell; the device reads them, writes a completion record for each,
-- advances its head register and raises an interrupt.
--
-- Registers (index, BAR 2 offset):
--   0x0100 (0x400)  RING_BASE_LO  guest address of the ring, low 32 bits
--   0x0101 (0x404)  RING_BASE_HI  and high 32 bits
--   0x0102 (0x408)  RING_SIZE     number of 16-byte slots, 1 to 4096
--   0x0103 (0x40c)  RING_TAIL     the driver writes the slot after its last
--                                 command: the doorbell
--   0x0104 (0x410)  RING_HEAD     the device's next slot; the driver's
--                                 writes are ignored
--   0x0105 (0x414)  DONE_BASE_LO  guest address of the completion records,
--   0x0106 (0x418)  DONE_BASE_HI  one 8-byte record per ring slot
--
-- A command, 16 bytes little-endian: opcode (u32), sequence number (u32),
-- argument (u64). Opcode 0 does nothing; opcode 1 is a fence: the device
-- writes the sequence number (u32) at the argument's address. The record of
-- slot i: the command's sequence number (u32), then its status (u32): 0 done,
-- 1 unknown opcode, 2 guest memory refused the access.
--
-- The commands of a doorbell are done at once, and interrupt vector 0 is
-- raised a millisecond later, as a device that takes its time would (MSI
-- once the driver enabled it). The log shows each guest-memory access as a
-- "Dma" line, the head as a "Set" line, the interrupt as an "Irq" line.
--
--   ZEPHON_SCRIPT=examples/ring.lua zephon SOCKET ROM

local RING_BASE_LO, RING_BASE_HI = 0x0100, 0x0101
local RING_SIZE, RING_TAIL, RING_HEAD = 0x0102, 0x0103, 0x0104
local DONE_BASE_LO, DONE_BASE_HI = 0x0105, 0x0106

local SLOT_BYTES, RECORD_BYTES = 16, 8
local NOP, FENCE = 0, 1
local DONE, BAD_OPCODE, FAULT = 0, 1, 2
local MAX_SLOTS = 4096
local LATENCY = 0.001  -- seconds from the doorbell to the interrupt

local function address(lo, hi)
  return regs[hi] << 32 | regs[lo]
end

-- Returns the status of one command.
local function run(opcode, sequence, argument)
  if opcode == NOP then return DONE end
  if opcode == FENCE then
    if pcall(dma.write32, argument, sequence) then return DONE end
    return FAULT
  end
  return BAD_OPCODE
end

-- The device's next slot, shown in RING_HEAD.
local head = 0

on_write[RING_TAIL] = function(tail)
  local size = regs[RING_SIZE]
  if size < 1 or size > MAX_SLOTS or tail >= size then
    log("ring: tail", tail, "ignored: the ring has", size, "slots")
    return
  end
  local ring = address(RING_BASE_LO, RING_BASE_HI)
  local done = address(DONE_BASE_LO, DONE_BASE_HI)
  while head ~= tail do
    -- A command is fetched whole, once, as hardware fetches it.
    local command = dma.read(ring + head * SLOT_BYTES, SLOT_BYTES)
    local opcode, sequence, argument = string.unpack("<I4I4I8", command)
    local status = run(opcode, sequence, argument)
    dma.write(done + head * RECORD_BYTES, string.pack("<I4I4", sequence, status))
    head = (head + 1) % size
  end
  regs[RING_HEAD] = head
  after(LATENCY, function() irq(0) end)
end

-- The head is the device's: a write by the driver is undone.
on_write[RING_HEAD] = function()
  return head
end

on_reset = function()
  head = 0
end
