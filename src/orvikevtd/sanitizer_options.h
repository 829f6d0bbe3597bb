// Sanitizer defaults for programs built around the daemon's pieces. Include
// it in exactly one source file of a program: it defines the sanitizer
// runtime's option hooks.
//
// The daemon answers failed allocations itself (a QUEUESIZE too large for
// memory ends start-up with its own message), so the sanitizer's allocator
// returns null instead of ending the process.
#ifndef ORVIKEVTD_SANITIZER_OPTIONS_H_
#define ORVIKEVTD_SANITIZER_OPTIONS_H_

#if defined(ORVIK_SANITIZED)
extern "C" const char *__asan_default_options() {
  return "allocator_may_return_null=1";
}
extern "C" const char *__tsan_default_options() {
  return "allocator_may_return_null=1";
}
#endif

#endif  // ORVIKEVTD_SANITIZER_OPTIONS_H_
