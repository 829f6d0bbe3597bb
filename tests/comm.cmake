# libcomm: loopback TLS tests. The sources live in tests/comm/ so that the
# libtarnu glob of tests/*_test.cc does not pick them up.
add_library(comm_harness STATIC ${CMAKE_CURRENT_SOURCE_DIR}/comm/comm_harness.cc)
target_include_directories(comm_harness PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(comm_harness PUBLIC comm tarnu OpenSSL::SSL OpenSSL::Crypto GTest::gtest
                      Threads::Threads orvik_test_target)
orvik_warnings(comm_harness)
orvik_add_gtest(comm_tls_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/comm/comm_tls_test.cc
                LIBS comm_harness)
orvik_add_gtest(comm_loop_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/comm/comm_loop_test.cc
                LIBS comm_harness)
orvik_add_gtest(comm_plugin_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/comm/comm_plugin_test.cc
                LIBS comm_harness)
target_include_directories(comm_tls_test PRIVATE ${PROJECT_SOURCE_DIR}/libcomm)

# The comm and orvik headers compile as C.
add_executable(comm_orvik_c_headers ${CMAKE_CURRENT_SOURCE_DIR}/comm/c_headers_check.c)
target_link_libraries(comm_orvik_c_headers PRIVATE comm orvik orvikclient)
target_compile_options(comm_orvik_c_headers PRIVATE -Wall -Wextra -Wpedantic -Werror -std=c11)
add_test(NAME comm_orvik_c_headers COMMAND comm_orvik_c_headers)
orvik_add_gtest(comm_client_io_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/comm/comm_client_io_test.cc
                LIBS comm_harness)
