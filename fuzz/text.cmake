# Fuzz targets of the text and encoding utilities.
foreach(target base64_decode url_new_parse strnsplit)
  orvik_add_fuzzer(${target} LIBS tarnu_testing)
endforeach()
