# Shipped handler modules built on the sink runtime: the runtime's unit test
# with a scripted backend (operator new replaced to fail on demand).
orvik_add_gtest(sink_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/modules/sink_test.cc
                ${CMAKE_CURRENT_SOURCE_DIR}/modules/failing_allocations.cc LIBS orvik_sink)
# The program exports orvikevtd_event_origin, as the daemon does, to give the
# records it hands over an origin.
set_target_properties(sink_test PROPERTIES ENABLE_EXPORTS ON)
