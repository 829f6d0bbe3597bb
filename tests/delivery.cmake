# Acknowledged delivery end to end (sources in tests/delivery/): senders on
# liborvikclient into the real daemon with the SQLite module and the NATS
# module on a three-node nats-server cluster, through daemon kills, the loss
# of the stream's leader and an orderly restart.
if(TARGET orvikclient AND TARGET orvik_nats AND EXISTS /usr/sbin/nats-server)
  add_executable(promise_e2e_test ${CMAKE_CURRENT_SOURCE_DIR}/delivery/promise_e2e_test.cc)
  target_include_directories(promise_e2e_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}
                             ${CMAKE_CURRENT_SOURCE_DIR}/daemon)
  target_link_libraries(promise_e2e_test PRIVATE orvikclient orvikevt_client orvik_test_target
                        PkgConfig::NATS SQLite::SQLite3 GTest::gtest Threads::Threads)
  target_compile_definitions(promise_e2e_test PRIVATE ${ORVIKEVTD_TEST_PATHS}
                             NATS_MODULE="$<TARGET_FILE:orvik_nats>")
  orvik_warnings(promise_e2e_test)
  add_dependencies(promise_e2e_test orvikevtd orvik_sqlite orvik_nats)
  # The heaviest run of the suite: alone, with a limit of its own (scaled).
  # The senders' record count is cut down in instrumented and emulated
  # builds (see the test).
  orvik_test_timeout(PROMISE_TIMEOUT 900)
  gtest_discover_tests(promise_e2e_test DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
    PROPERTIES TIMEOUT ${PROMISE_TIMEOUT} LABELS e2e RUN_SERIAL TRUE)
endif()
