# The daemon's record intake on a byte stream split at arbitrary points.
orvik_add_fuzzer(orvikevtd_intake LIBS orvikevtd_core)
