# Installation and documentation: a relocated install stays inside its
# prefix and works from there; every directive is in the manual page.
# A sanitized build's libraries need the sanitizer runtime in the program
# that links them.
set(orvik_install_check_flags "")
if(ORVIK_SANITIZE)
  set(orvik_install_check_flags "-fsanitize=address,undefined")
endif()
add_test(NAME install_relocated
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/packaging/install_check.sh ${PROJECT_BINARY_DIR}
          ${CMAKE_C_COMPILER} "${orvik_install_check_flags}")
add_test(NAME directives_documented
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/packaging/directives_check.sh ${PROJECT_SOURCE_DIR})
# The shipped logrotate configuration (skipped without logrotate).
add_test(NAME logrotate_config
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/packaging/logrotate_check.sh ${PROJECT_SOURCE_DIR})
set_tests_properties(install_relocated directives_documented PROPERTIES
  LABELS packaging TIMEOUT ${ORVIK_TEST_TIMEOUT})
# The client program of a cross build runs through the emulator.
set_tests_properties(install_relocated PROPERTIES ENVIRONMENT "${orvik_test_environment}")
set_tests_properties(logrotate_config PROPERTIES SKIP_RETURN_CODE 77 LABELS packaging
  TIMEOUT ${ORVIK_TEST_TIMEOUT})

# The systemd unit as configured: systemd-analyze verify, and the system user
# it runs as made by the installed sysusers.d file (skipped without systemd).
add_test(NAME orvikevtd_service_verify
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/packaging/verify_service.sh
          ${PROJECT_BINARY_DIR}/packaging/orvikevtd.service
          ${CMAKE_INSTALL_FULL_SBINDIR}/orvikevtd $<TARGET_FILE:orvikevtd>
          ${PROJECT_SOURCE_DIR}/packaging/orvikevtd.sysusers)
# The unit's Documentation= pages are the build's own.
set_tests_properties(orvikevtd_service_verify PROPERTIES SKIP_RETURN_CODE 77 LABELS unit
  ENVIRONMENT MANPATH=${PROJECT_BINARY_DIR}/packaging/man)
