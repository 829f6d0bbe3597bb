# orvik_nats.so and orvikevt-read against real nats-server processes that the
# tests start themselves (single server and a three-node JetStream cluster);
# the module's settings file through module_init.
if(TARGET orvik_nats AND EXISTS /usr/sbin/nats-server)
  add_executable(nats_e2e_test ${CMAKE_CURRENT_SOURCE_DIR}/nats/nats_e2e_test.cc)
  target_include_directories(nats_e2e_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/daemon)
  target_link_libraries(nats_e2e_test PRIVATE orvikevt_client orvik_nats_config orvik_test_target
                                              OpenSSL::Crypto GTest::gtest Threads::Threads
                                              ${CMAKE_DL_LIBS})
  target_compile_definitions(nats_e2e_test PRIVATE ${ORVIKEVTD_TEST_PATHS}
    NATS_MODULE="$<TARGET_FILE:orvik_nats>" ORVIKEVT_READ="$<TARGET_FILE:orvikevt-read>")
  orvik_warnings(nats_e2e_test)
  add_dependencies(nats_e2e_test orvikevtd orvik_nats orvik_eventlog orvikevt-bench orvikevt-send
                   orvikevt-read)
  gtest_discover_tests(nats_e2e_test DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${ORVIK_TEST_TIMEOUT} LABELS e2e)
endif()

if(TARGET orvik_nats_config)
  orvik_add_gtest(nats_config_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/nats/nats_config_test.cc
                  LIBS orvik_nats_config)
  target_include_directories(nats_config_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/daemon)
endif()
if(TARGET nats_config_test)
  target_compile_definitions(nats_config_test PRIVATE
                             NATS_SAMPLE="${PROJECT_BINARY_DIR}/packaging/nats.conf")
endif()
