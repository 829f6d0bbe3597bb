# Sanitizer builds apply to every target, libraries and tests alike, so that
# leaks and undefined behaviour are caught across library boundaries.
if(ORVIK_SANITIZE AND ORVIK_TSAN)
  message(FATAL_ERROR "ORVIK_SANITIZE and ORVIK_TSAN cannot be combined")
endif()
if(ORVIK_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  add_compile_definitions(ORVIK_SANITIZED=1)
endif()
if(ORVIK_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  add_compile_definitions(ORVIK_SANITIZED=1)
endif()
