on_write[0xffff] = function(v) irq(0); irq(1); irq(v) end
