# Decoder of the DER codec: no input may crash it, and what it accepts in the
# canonical form must encode back to the same octets.
orvik_add_fuzzer(der_decode LIBS tarnu_testing)
