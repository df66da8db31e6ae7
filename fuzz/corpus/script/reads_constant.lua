reads[1] = 5
