# Shipped handler modules built on the sink runtime: the runtime's unit test
# with a scripted backend.
orvik_add_gtest(sink_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/modules/sink_test.cc LIBS orvik_sink)
