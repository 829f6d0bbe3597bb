// Private to libtarnu and its tests: the allocation-failure hook. It is not
// exported from libtarnu.so; tests link the static tarnu_testing archive.
//
// Not thread safe in the sense of being a test facility: arm it, run the
// operation under test on one thread, disarm it.
#ifndef TARNU_LIB_ALLOC_HOOK_H_
#define TARNU_LIB_ALLOC_HOOK_H_

#ifdef __cplusplus
extern "C" {
#endif

// Makes the allocation numbered `n` (1 = the next one) and every later one
// fail until tarnu_alloc_hook_reset(). n <= 0 disarms failure injection but
// keeps counting.
void tarnu_alloc_hook_fail_at(long n);
// Makes only the allocation numbered `n` fail; later ones succeed again.
void tarnu_alloc_hook_fail_once_at(long n);
// Starts counting allocations from zero without making any fail.
void tarnu_alloc_hook_count(void);
// Number of allocations attempted since the hook was armed or counting began.
long tarnu_alloc_hook_allocations(void);
// Disarms the hook entirely.
void tarnu_alloc_hook_reset(void);

#ifdef __cplusplus
}
#endif

#endif  // TARNU_LIB_ALLOC_HOOK_H_
