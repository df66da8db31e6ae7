-- For the Linux display driver (radeon, which takes the device for a TAHITI,
-- a Southern Islands part) bringing the card all the way up: with a video
-- BIOS (zephon-rom build --video-bios) and this script, the driver posts the
-- card, loads its microcode, enables its GART, passes the ring tests of the
-- command processor's rings 0 to 2, sets a mode and starts a framebuffer
-- console (see display-driver-bringup.log.gz among the recordings).
--
-- Each answer below ends a wait the driver has; the registers are named as
-- in the driver's register header for these parts, and the comments give
-- their BAR 2 byte offsets. Registers are indexed by offset / 4.
--
--   ZEPHON_SCRIPT=examples/tahiti.lua zephon SOCKET vbios.rom

local function reg(offset) return offset // 4 end

-- VRAM. The driver places its GART table in VRAM (at VRAM offset 0x40000)
-- and its framebuffer too, and the DMA engine's ring test (ring 3, the next
-- step) walks that table; so BAR 0 must remember what is written to it.
-- Offered mappable, the guest reaches it without zephon; the cost is that
-- QEMU then waits for the reply of every BAR 2 write (see the README).
vram.enable()

-- RLC_STAT (0xC34C). Whenever the driver turns the GUI-idle interrupt off it
-- polls this register once a microsecond, up to its 100 000 microsecond
-- time-out, until the RLC is not busy (bit 0 clear), not in light sleep
-- (bit 3 clear) and the graphics block reports power (bit 1) and clock
-- (bit 2). The driver never writes it.
local GFX_POWER_STATUS = 1 << 1
local GFX_CLOCK_STATUS = 1 << 2
reads[reg(0xC34C)] = GFX_POWER_STATUS | GFX_CLOCK_STATUS

-- MC_SEQ_TRAIN_WAKEUP_CNTL (0x28E8). After loading the memory controller's
-- microcode the driver waits for memory training, first for TRAIN_DONE_D0
-- (bit 30), then for TRAIN_DONE_D1 (bit 31): 100 000 polls each if they
-- never come.
local TRAIN_DONE_D0 = 1 << 30
local TRAIN_DONE_D1 = 1 << 31
reads[reg(0x28E8)] = TRAIN_DONE_D0 | TRAIN_DONE_D1

-- Ring tests of the command processor. For each of rings 0 to 2 the driver
-- takes a free scratch register (SCRATCH_REG0 at 0x8500 and the six after
-- it), writes 0xCAFEDEAD to it, queues a three-word packet that stores
-- 0xDEADBEEF there, writes the ring's write pointer and polls the scratch
-- register for 0xDEADBEEF. The ring itself lies in guest memory, which the
-- device does not read (yet); so a write pointer update stands for the
-- packet: every scratch register still holding the test's 0xCAFEDEAD gets
-- the value the packet would have stored. Write pointer updates outside a
-- test (the ring's set-up writes 0) find no such register and change
-- nothing.
local SCRATCH_REG0 = reg(0x8500)
local SCRATCH_REGS = 7
local TEST_PENDING = 0xCAFEDEAD
local TEST_PASSED = 0xDEADBEEF
local RING_WPTR = {[0] = 0xC114, [1] = 0xC190, [2] = 0xC1A4}  -- CP_RB0/1/2_WPTR

for ring = 0, 2 do
  on_write[reg(RING_WPTR[ring])] = function()
    for i = 0, SCRATCH_REGS - 1 do
      if regs[SCRATCH_REG0 + i] == TEST_PENDING then
        regs[SCRATCH_REG0 + i] = TEST_PASSED
        log(string.format("ring %d test answered through SCRATCH_REG%d", ring, i))
      end
    end
  end
end

-- DMIF_BUFFER_CONTROL of display pipes 0 to 5 (0x0CA0 + 0x20 * pipe). When
-- it sets a mode the driver writes how many display FIFO buffers a pipe gets
-- and polls for DMIF_BUFFERS_ALLOCATED_COMPLETED (bit 4), 100 000 times per
-- pipe if it never comes; the written value stays readable.
local DMIF_BUFFERS_ALLOCATED_COMPLETED = 1 << 4
for pipe = 0, 5 do
  bits_on_read(reg(0x0CA0 + 0x20 * pipe), DMIF_BUFFERS_ALLOCATED_COMPLETED)
end
