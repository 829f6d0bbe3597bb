// orvikevtd: the event daemon's entry point.
#include "evtserver.h"

int main(int argc, char **argv) {
  return orvikevtd::orvikevtd_run(argc, argv);
}

#if defined(ORVIK_SANITIZED)
// The daemon answers failed allocations itself (a QUEUESIZE too large for
// memory ends start-up with its own message), so the sanitizer's allocator
// returns null instead of ending the process.
extern "C" const char *__asan_default_options() {
  return "allocator_may_return_null=1";
}
extern "C" const char *__tsan_default_options() {
  return "allocator_may_return_null=1";
}
#endif
