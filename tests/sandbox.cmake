# The daemon under the packaged unit's system call filter, with every shipped
# module loaded (the NATS one against a real nats-server): the launcher
# applies the list with libseccomp, as systemd does for the service.
# Natively only: the emulator of a cross build does not run a program's
# system calls as the kernel would see them from the service.
if(CMAKE_CROSSCOMPILING)
  return()
endif()
pkg_check_modules(SECCOMP IMPORTED_TARGET libseccomp)
if(NOT SECCOMP_FOUND)
  message(WARNING "libseccomp (libseccomp-dev) not found: the system call filter test is not built")
elseif(TARGET orvik_nats AND EXISTS /usr/sbin/nats-server)
  add_executable(syscall_filter_launcher ${CMAKE_CURRENT_SOURCE_DIR}/daemon/syscall_filter_launcher.cc)
  target_link_libraries(syscall_filter_launcher PRIVATE PkgConfig::SECCOMP)
  orvik_warnings(syscall_filter_launcher)

  add_executable(orvikevtd_sandbox_test ${CMAKE_CURRENT_SOURCE_DIR}/daemon/sandbox_e2e_test.cc)
  target_include_directories(orvikevtd_sandbox_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/daemon
                                                           ${CMAKE_CURRENT_SOURCE_DIR}/nats)
  target_link_libraries(orvikevtd_sandbox_test PRIVATE orvikevt_client orvik_test_target
                        PkgConfig::NATS SQLite::SQLite3 GTest::gtest Threads::Threads)
  target_compile_definitions(orvikevtd_sandbox_test PRIVATE ${ORVIKEVTD_TEST_PATHS}
    NATS_MODULE="$<TARGET_FILE:orvik_nats>"
    SYSCALL_FILTER_LAUNCHER="$<TARGET_FILE:syscall_filter_launcher>"
    UNIT_SYSCALL_LIST="${CMAKE_CURRENT_SOURCE_DIR}/packaging/unit_syscall_list.sh"
    SERVICE_UNIT="${PROJECT_BINARY_DIR}/packaging/orvikevtd.service")
  orvik_warnings(orvikevtd_sandbox_test)
  add_dependencies(orvikevtd_sandbox_test orvikevtd orvik_eventlog orvik_count orvik_sqlite
                   orvik_nats syscall_filter_launcher)
  gtest_discover_tests(orvikevtd_sandbox_test DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${ORVIK_TEST_TIMEOUT} LABELS e2e)
endif()
