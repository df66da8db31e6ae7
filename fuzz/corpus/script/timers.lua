local tick
on_write[0x20] = function(v)
  after(0.001, function() regs[0x21] = v; irq(0) end)
  if tick == nil then tick = every(0.002, function() regs[0x22] = regs[0x22] + 1 end) end
end
on_write[0x23] = function() if tick then tick:cancel(); tick = nil end end
-- 0x20=5 0x23=0
