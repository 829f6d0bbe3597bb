# bench_xmlrpc: writing and reading methodResponse documents against
# xmlrpc-c, Python's xmlrpc.client and a bare libxml2 parse of the same text.
execute_process(COMMAND xmlrpc-c-config --cflags OUTPUT_VARIABLE XMLRPC_C_CFLAGS
                OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE xmlrpc_c_config_failed)
execute_process(COMMAND xmlrpc-c-config --libs OUTPUT_VARIABLE XMLRPC_C_LIBS
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(xmlrpc_c_config_failed)
  message(FATAL_ERROR "bench_xmlrpc needs xmlrpc-c (libxmlrpc-core-c3-dev)")
endif()
separate_arguments(XMLRPC_C_CFLAGS UNIX_COMMAND "${XMLRPC_C_CFLAGS}")
separate_arguments(XMLRPC_C_LIBS UNIX_COMMAND "${XMLRPC_C_LIBS}")

# xmlrpc-c exports functions named like libtarnu's, so its side is a program
# of its own that bench_xmlrpc runs.
add_executable(xmlrpc_c_bench_peer ${CMAKE_CURRENT_SOURCE_DIR}/xmlrpc_c_peer.cc)
target_compile_options(xmlrpc_c_bench_peer PRIVATE ${XMLRPC_C_CFLAGS})
target_link_libraries(xmlrpc_c_bench_peer PRIVATE ${XMLRPC_C_LIBS})

orvik_add_bench(bench_xmlrpc
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/xmlrpc_bench.cc
  LIBS tarnu)
add_dependencies(bench_xmlrpc xmlrpc_c_bench_peer)
target_compile_definitions(bench_xmlrpc PRIVATE
  XMLRPC_PEER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/xmlrpc_peer.py"
  XMLRPC_C_PEER="$<TARGET_FILE:xmlrpc_c_bench_peer>")
