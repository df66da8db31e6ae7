on_read[0] = function(v) return v + 1 end
on_write[0] = function(v) regs[1] = v; irq(0) end
on_reset = function() log("reset") end
