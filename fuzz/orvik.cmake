# The configuration-file reader of liborvik on arbitrary file contents.
orvik_add_fuzzer(configfile_search LIBS orvik)
