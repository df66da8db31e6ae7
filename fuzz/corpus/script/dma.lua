on_write[0x10] = function(v)
  local a = v & 0xffff
  dma.write(a, dma.read(a ~ 0x100, 16))
  dma.write8(a, v); dma.write16(a + 1, v); dma.write32(a + 3, v); dma.write64(a + 7, v)
  regs[0x11] = dma.read8(a) + dma.read16(a + 1) + dma.read32(a + 3) + dma.read64(a + 7)
end
on_read[0x11] = function(v) return #dma.read(v & 0x1ffff, 0x100) end
on_write[0x12] = function(v) local ok = pcall(dma.write, 0x10000 - v % 32, ("x"):rep(v % 64)) end
-- 0x12=0x10 0x10=0x11 0x11=0x0fff0
