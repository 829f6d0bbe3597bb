# liborvikclient: its exported names, and the library on its own against the
# real daemon over TLS on 127.0.0.1 (sources in tests/client/).
add_test(NAME orvikclient_exports
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_exports.sh $<TARGET_FILE:orvikclient>
          ${CMAKE_CURRENT_SOURCE_DIR}/client/orvikclient_exports.txt)
set_tests_properties(orvikclient_exports PROPERTIES LABELS unit)

add_executable(orvikclient_library_test ${CMAKE_CURRENT_SOURCE_DIR}/client/client_library_test.cc
               ${CMAKE_CURRENT_SOURCE_DIR}/modules/failing_allocations.cc)
target_link_libraries(orvikclient_library_test PRIVATE orvikclient orvikevt_client
                      orvik_test_target GTest::gtest Threads::Threads)
target_include_directories(orvikclient_library_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(orvikclient_library_test PRIVATE ${ORVIKEVTD_TEST_PATHS}
  LEGACY_SINK="${CMAKE_CURRENT_SOURCE_DIR}/client/legacy_sink.py")
orvik_warnings(orvikclient_library_test)
add_dependencies(orvikclient_library_test orvikevtd orvikevtd_test_recorder_a orvikevt-send
                 orvikevt-bench orvik_count)
gtest_discover_tests(orvikclient_library_test DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
  PROPERTIES TIMEOUT ${ORVIK_TEST_TIMEOUT} LABELS e2e)
