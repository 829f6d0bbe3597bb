# Warning flags shared by every target of the project.
set(ORVIK_WARNINGS
    -Wall -Wextra -Wpedantic -Wshadow -Wcast-align -Wformat=2 -Wundef
    -Wpointer-arith -Wwrite-strings -Wvla -Wnull-dereference)
set(ORVIK_CXX_WARNINGS -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual)
if(ORVIK_WERROR)
  list(APPEND ORVIK_WARNINGS -Werror)
endif()

function(orvik_warnings target)
  target_compile_options(${target} PRIVATE ${ORVIK_WARNINGS}
                         $<$<COMPILE_LANGUAGE:CXX>:${ORVIK_CXX_WARNINGS}>)
endfunction()

# Shared libraries must resolve every symbol at link time. Sanitizer runtimes
# are linked into executables only (clang), so the check is skipped there.
function(orvik_no_undefined target)
  if(NOT ORVIK_SANITIZE AND NOT ORVIK_TSAN)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()
