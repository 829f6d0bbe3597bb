# The systemd unit as configured: systemd-analyze verify, and the system user
# it runs as made by the installed sysusers.d file (skipped without systemd).
add_test(NAME orvikevtd_service_verify
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/packaging/verify_service.sh
          ${PROJECT_BINARY_DIR}/packaging/orvikevtd.service
          ${CMAKE_INSTALL_FULL_SBINDIR}/orvikevtd $<TARGET_FILE:orvikevtd>
          ${PROJECT_SOURCE_DIR}/packaging/orvikevtd.sysusers)
set_tests_properties(orvikevtd_service_verify PROPERTIES SKIP_RETURN_CODE 77 LABELS unit)
