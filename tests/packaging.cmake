# Installation and documentation: a relocated install stays inside its
# prefix and works from there; every directive is in the manual page.
add_test(NAME install_relocated
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/packaging/install_check.sh ${PROJECT_BINARY_DIR}
          ${CMAKE_C_COMPILER})
add_test(NAME directives_documented
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/packaging/directives_check.sh ${PROJECT_SOURCE_DIR})
set_tests_properties(install_relocated directives_documented PROPERTIES
  LABELS packaging TIMEOUT ${ORVIK_TEST_TIMEOUT})
