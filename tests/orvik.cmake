# liborvik: the event record and the configuration-file reader. The sources
# live in tests/orvik/ so that the libtarnu glob of tests/*_test.cc does not
# pick them up.
orvik_add_gtest(orvik_event_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/orvik/event_test.cc LIBS orvik)
orvik_add_gtest(orvik_conffile_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/orvik/conffile_test.cc
                LIBS orvik)
