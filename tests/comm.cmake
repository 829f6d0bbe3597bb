# libcomm: loopback TLS tests. The sources live in tests/comm/ so that the
# libtarnu glob of tests/*_test.cc does not pick them up.
add_library(comm_harness STATIC ${CMAKE_CURRENT_SOURCE_DIR}/comm/comm_harness.cc)
target_include_directories(comm_harness PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(comm_harness PUBLIC comm tarnu OpenSSL::SSL OpenSSL::Crypto GTest::gtest
                      Threads::Threads)
orvik_warnings(comm_harness)
orvik_add_gtest(comm_tls_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/comm/comm_tls_test.cc
                LIBS comm_harness)
orvik_add_gtest(comm_loop_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/comm/comm_loop_test.cc
                LIBS comm_harness)
orvik_add_gtest(comm_plugin_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/comm/comm_plugin_test.cc
                LIBS comm_harness)
