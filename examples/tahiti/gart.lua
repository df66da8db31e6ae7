-- The GPU's address space as the engines see it (VMID 0 only, the one the
-- driver uses while it initialises): VRAM's range of the memory controller,
-- and the GTT, whose pages the GART table in VRAM maps to guest memory.
--
-- Addresses are memory-controller (MC) addresses as the command streams
-- carry them. Every access is turned into a few runs of contiguous memory,
-- each one native block call (vram.read/write, dma.read/write), so that a
-- megabyte moves in a few hundred calls and no Lua loop runs per dword.
--
-- The registers are read at each access, so that the model follows the
-- driver's programming (and a device reset) without state of its own:
--   MC_VM_FB_LOCATION 0x2024: VRAM from bits 15:0 << 24 to bits 31:16 << 24
--     | 0xFFFFFF; VRAM offset 0 is its start.
--   VM_CONTEXT0_PAGE_TABLE_START_ADDR 0x155C, _END_ADDR 0x157C: the GTT, in
--     4 KiB pages (the end page included).
--   VM_CONTEXT0_PAGE_TABLE_BASE_ADDR 0x153C: the table's MC address >> 12;
--     the driver keeps it in VRAM.
-- An entry is 64-bit little-endian, one per GTT page: bit 0 valid, bit 1
-- system (guest memory; else a VRAM MC address), bit 2 snooped, bit 5
-- readable, bit 6 writable, bits 39:12 the page's address.

local M = {}

local MC_VM_FB_LOCATION = 0x2024 >> 2
local PT_BASE = 0x153C >> 2
local PT_START = 0x155C >> 2
local PT_END = 0x157C >> 2

local PAGE = 4096
local VALID, SYSTEM, READABLE, WRITABLE = 1 << 0, 1 << 1, 1 << 5, 1 << 6
local ADDRESS_MASK = 0xFFFFFFF000 -- bits 39:12

local unpack = string.unpack

-- Returns VRAM's first and last MC address.
local function vram_range()
  local location = regs[MC_VM_FB_LOCATION]
  return (location & 0xFFFF) << 24, ((location >> 16) << 24) | 0xFFFFFF
end

-- Returns the GTT's first and last MC address.
local function gtt_range()
  return regs[PT_START] << 12, (regs[PT_END] << 12) | 0xFFF
end

-- Adds a run to runs, merged with the previous one when it continues it.
local function add_run(runs, space, address, length)
  local last = runs[#runs]
  if last and last.space == space and last.address + last.length == address then
    last.length = last.length + length
  else
    runs[#runs + 1] = { space = space, address = address, length = length }
  end
end

-- Returns the runs ({space = "vram" | "dma", address, length}) that hold
-- length bytes at MC address gpu, for reading or writing (access names the
-- page bit the access needs). Raises an error for any byte that is neither
-- in VRAM nor mapped by a valid GTT entry that allows the access.
function M.runs(gpu, length, access)
  if length <= 0 then return {} end
  local vram_start, vram_end = vram_range()
  local gtt_start, gtt_end = gtt_range()
  local last = gpu + length - 1
  local runs = {}
  if gpu >= vram_start and last <= vram_end then
    runs[1] = { space = "vram", address = gpu - vram_start, length = length }
    return runs
  end
  if gpu < gtt_start or last > gtt_end or gtt_end < gtt_start then
    error(string.format("GPU address 0x%x +%d is neither in VRAM (0x%x-0x%x) nor in the GTT (0x%x-0x%x)",
      gpu, length, vram_start, vram_end, gtt_start, gtt_end), 0)
  end
  local table_mc = regs[PT_BASE] << 12
  if table_mc < vram_start or table_mc > vram_end then
    error(string.format("the GART table at 0x%x is not in VRAM", table_mc), 0)
  end
  local first_page = (gpu - gtt_start) >> 12
  local pages = ((last - gtt_start) >> 12) - first_page + 1
  -- One read of the table for the whole access.
  local entries = vram.read(table_mc - vram_start + 8 * first_page, 8 * pages)
  local need = access == "write" and WRITABLE or READABLE
  local offset = gpu & (PAGE - 1)
  local left = length
  for page = 0, pages - 1 do
    local entry = unpack("<I8", entries, 8 * page + 1)
    if entry & VALID == 0 or entry & need == 0 then
      error(string.format("GTT page 0x%x (entry 0x%x) is not %s", gtt_start + ((first_page + page) << 12), entry,
        entry & VALID == 0 and "valid" or access == "write" and "writable" or "readable"), 0)
    end
    local chunk = math.min(PAGE - offset, left)
    local address = (entry & ADDRESS_MASK) + offset
    if entry & SYSTEM ~= 0 then
      add_run(runs, "dma", address, chunk)
    elseif address >= vram_start and address + chunk - 1 <= vram_end then
      add_run(runs, "vram", address - vram_start, chunk)
    else
      error(string.format("GTT page 0x%x points to 0x%x, outside VRAM", gtt_start + ((first_page + page) << 12),
        address), 0)
    end
    left = left - chunk
    offset = 0
  end
  return runs
end

local readers = { vram = function(a, n) return vram.read(a, n) end, dma = function(a, n) return dma.read(a, n) end }
local writers = { vram = function(a, s) vram.write(a, s) end, dma = function(a, s) dma.write(a, s) end }

-- Returns length bytes read at MC address gpu.
function M.read(gpu, length)
  local runs = M.runs(gpu, length, "read")
  if #runs == 1 then return readers[runs[1].space](runs[1].address, runs[1].length) end
  local pieces = {}
  for i, run in ipairs(runs) do pieces[i] = readers[run.space](run.address, run.length) end
  return table.concat(pieces)
end

-- Returns nothing; writes the string bytes at MC address gpu.
function M.write(gpu, bytes)
  local runs = M.runs(gpu, #bytes, "write")
  if #runs == 1 then return writers[runs[1].space](runs[1].address, bytes) end
  local at = 1
  for _, run in ipairs(runs) do
    writers[run.space](run.address, bytes:sub(at, at + run.length - 1))
    at = at + run.length
  end
end

-- Returns the 32-bit little-endian word at MC address gpu.
function M.read32(gpu) return (unpack("<I4", M.read(gpu, 4))) end

-- Returns nothing; writes a 32-bit little-endian word at MC address gpu.
function M.write32(gpu, value) M.write(gpu, string.pack("<I4", value & 0xFFFFFFFF)) end

-- Returns nothing; writes a 64-bit little-endian word at MC address gpu.
function M.write64(gpu, value) M.write(gpu, string.pack("<i8", value)) end

-- Returns nothing; copies length bytes from MC address source to MC address
-- destination, in any alignment, as if through a buffer (overlap is safe).
function M.copy(destination, source, length)
  if length <= 0 then return end
  M.write(destination, M.read(source, length))
end

-- Returns the string unit repeated count times. string.rep counts an
-- instruction per repetition against the budget, so a long run is made of
-- 1024-fold blocks.
function M.repeated(unit, count)
  if count <= 1024 then return unit:rep(count) end
  return unit:rep(1024):rep(count // 1024) .. unit:rep(count % 1024)
end

-- Returns nothing; fills length bytes at MC address gpu with the 32-bit
-- little-endian pattern repeated (the last copy cut).
function M.fill(gpu, length, pattern)
  if length <= 0 then return end
  local word = string.pack("<I4", pattern & 0xFFFFFFFF)
  local bytes = M.repeated(word, (length + 3) // 4)
  if #bytes ~= length then bytes = bytes:sub(1, length) end
  M.write(gpu, bytes)
end

return M
