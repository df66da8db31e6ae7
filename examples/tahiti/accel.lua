-- Acceleration for the display driver: the command processor's rings 0 to
-- 2, the two DMA engines and the interrupt handler ring, so that the driver
-- passes its ring and indirect-buffer tests on rings 0 to 4, sees its fences
-- written and its interrupts raised, and keeps acceleration on.
--
-- What each part does is in its own file:
--   gart.lua        the GPU's address space: VRAM and the GTT through the
--                   GART table in VRAM
--   registers.lua   register writes made by packets, scratch write-back
--   ih.lua          the interrupt handler ring and MSI vector 0
--   pm4.lua         the command processor's rings 0, 1 and 2
--   dma_engine.lua  the DMA engines 0 and 1
-- The model needs VRAM (vram.enable() in the main script), guest memory
-- (the monitor's DMA maps) and MSI set up by the monitor. Every register it
-- changes shows in the log as a "Set" line, every interrupt as an "Irq"
-- line, and what it executed as INFO lines starting "accel:".

local ih = include("tahiti/ih")
include("tahiti/pm4")
include("tahiti/dma_engine")

local M = {}

-- Returns nothing; forgets what the model holds outside the registers (a
-- device reset clears those).
function M.reset() ih.reset() end

return M
