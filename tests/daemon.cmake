# The event daemon: unit tests of its pieces and end-to-end tests that run the
# built daemon on 127.0.0.1 with real TLS clients. The sources live in
# tests/daemon/ so that the libtarnu glob of tests/*_test.cc does not take them.

# Two instances of the recording test module, told apart by their tag.
foreach(tag A B)
  string(TOLOWER ${tag} lower)
  add_library(orvikevtd_test_recorder_${lower} MODULE
              ${CMAKE_CURRENT_SOURCE_DIR}/daemon/recorder_module.cc)
  set_target_properties(orvikevtd_test_recorder_${lower} PROPERTIES PREFIX ""
                        CXX_VISIBILITY_PRESET hidden)
  target_compile_definitions(orvikevtd_test_recorder_${lower} PRIVATE RECORDER_TAG="${tag}")
  target_include_directories(orvikevtd_test_recorder_${lower} PRIVATE
                             ${PROJECT_SOURCE_DIR}/include)
  orvik_warnings(orvikevtd_test_recorder_${lower})
endforeach()

# A module that commits only when told, for the acknowledged protocol.
add_library(orvikevtd_test_committer MODULE ${CMAKE_CURRENT_SOURCE_DIR}/daemon/committer_module.cc)
set_target_properties(orvikevtd_test_committer PROPERTIES PREFIX "" CXX_VISIBILITY_PRESET hidden)
target_include_directories(orvikevtd_test_committer PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(orvikevtd_test_committer PRIVATE ${CMAKE_DL_LIBS})
orvik_warnings(orvikevtd_test_committer)

# The metrics tests read the statistics file with Debian's
# python3-prometheus-client, installed for the system's interpreter (a
# python3 found first on PATH may be another one).
find_program(ORVIK_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT ORVIK_SYSTEM_PYTHON)
  set(ORVIK_SYSTEM_PYTHON python3)
endif()

set(ORVIKEVTD_TEST_PATHS
  RECORDER_A="$<TARGET_FILE:orvikevtd_test_recorder_a>"
  RECORDER_B="$<TARGET_FILE:orvikevtd_test_recorder_b>"
  COMMITTER_MODULE="$<TARGET_FILE:orvikevtd_test_committer>"
  TARNU_LIBRARY="$<TARGET_FILE:tarnu>"
  ORVIKEVTD_BINARY="$<TARGET_FILE:orvikevtd>"
  ORVIKEVT_SEND="$<TARGET_FILE:orvikevt-send>"
  ORVIKEVT_BENCH="$<TARGET_FILE:orvikevt-bench>"
  EVENTLOG_MODULE="$<TARGET_FILE:orvik_eventlog>"
  COUNT_MODULE="$<TARGET_FILE:orvik_count>"
  SQLITE_MODULE="$<TARGET_FILE:orvik_sqlite>"
  PYTHON_CLIENT="${CMAKE_CURRENT_SOURCE_DIR}/daemon/send_records.py"
  TLS_PROBE_SERVER="${CMAKE_CURRENT_SOURCE_DIR}/daemon/tls_probe_server.py"
  METRICS_READER="${CMAKE_CURRENT_SOURCE_DIR}/daemon/read_metrics.py"
  SYSTEM_PYTHON="${ORVIK_SYSTEM_PYTHON}"
  SAMPLE_CONFIG="${PROJECT_BINARY_DIR}/packaging/orvikevtd.conf")

orvik_add_gtest(orvikevtd_unit_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/daemon/orvikevtd_unit_test.cc LIBS orvikevtd_core)
target_compile_definitions(orvikevtd_unit_test PRIVATE ${ORVIKEVTD_TEST_PATHS})
target_link_libraries(orvikevtd_unit_test PRIVATE orvik_text_escape)
add_dependencies(orvikevtd_unit_test orvikevtd_test_recorder_a orvikevtd_test_recorder_b)

# End to end (NO_PRETTY_VALUES: see orvik_add_gtest). The program has its own main (it makes test certificates once).
add_executable(orvikevtd_e2e_test ${CMAKE_CURRENT_SOURCE_DIR}/daemon/daemon_e2e_test.cc)
target_link_libraries(orvikevtd_e2e_test PRIVATE orvikevt_client orvik_test_target GTest::gtest
                      Threads::Threads)
target_compile_definitions(orvikevtd_e2e_test PRIVATE ${ORVIKEVTD_TEST_PATHS})
orvik_warnings(orvikevtd_e2e_test)
add_dependencies(orvikevtd_e2e_test orvikevtd orvikevt-send orvikevt-bench orvik_eventlog
                 orvik_count orvik_sqlite orvikevtd_test_recorder_a orvikevtd_test_recorder_b)
target_link_libraries(orvikevtd_e2e_test PRIVATE SQLite::SQLite3)
if(TARGET orvikevt-read)
  target_compile_definitions(orvikevtd_e2e_test PRIVATE
                             ORVIKEVT_READ="$<TARGET_FILE:orvikevt-read>")
  add_dependencies(orvikevtd_e2e_test orvikevt-read)
endif()
gtest_discover_tests(orvikevtd_e2e_test DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
  PROPERTIES TIMEOUT ${ORVIK_TEST_TIMEOUT} LABELS e2e)

# The acknowledged protocol end to end.
add_executable(orvikevtd_ack_e2e_test ${CMAKE_CURRENT_SOURCE_DIR}/daemon/ack_e2e_test.cc)
target_link_libraries(orvikevtd_ack_e2e_test PRIVATE orvikevt_client orvik_test_target
                      GTest::gtest Threads::Threads)
target_compile_definitions(orvikevtd_ack_e2e_test PRIVATE ${ORVIKEVTD_TEST_PATHS})
orvik_warnings(orvikevtd_ack_e2e_test)
add_dependencies(orvikevtd_ack_e2e_test orvikevtd orvikevtd_test_recorder_a
                 orvikevtd_test_committer)
gtest_discover_tests(orvikevtd_ack_e2e_test DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
  PROPERTIES TIMEOUT ${ORVIK_TEST_TIMEOUT} LABELS e2e)

orvik_add_gtest(orvikevtd_modules_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/daemon/modules_test.cc)
target_include_directories(orvikevtd_modules_test PRIVATE ${PROJECT_SOURCE_DIR}/include
                                                         ${PROJECT_SOURCE_DIR}/tools)
target_compile_definitions(orvikevtd_modules_test PRIVATE ${ORVIKEVTD_TEST_PATHS})
target_link_libraries(orvikevtd_modules_test PRIVATE ${CMAKE_DL_LIBS} SQLite::SQLite3)
# The program exports orvikevtd_log_entry, as the daemon does, to collect the
# modules' log lines.
set_target_properties(orvikevtd_modules_test PROPERTIES ENABLE_EXPORTS ON)
add_dependencies(orvikevtd_modules_test orvik_eventlog orvik_count orvik_sqlite)

# Modules reach the log through the one symbol the executable exports.
add_test(NAME orvikevtd_exports
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check_daemon_exports.sh $<TARGET_FILE:orvikevtd>
          $<TARGET_FILE:orvikevtd_core> $<TARGET_OBJECTS:orvikevtd>)
set_tests_properties(orvikevtd_exports PROPERTIES LABELS unit)
