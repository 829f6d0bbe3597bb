// Private to libtarnu: every allocation of the library goes through these
// functions, so that tests can make the N-th one fail (see alloc_hook.h) and
// check that each out-of-memory path reports 12 and leaks nothing.
//
// Memory from Malloc/Calloc/Realloc/Strdup is ordinary malloc memory: buffers
// handed to callers who release them with free() may come from here.
#ifndef TARNU_LIB_ALLOC_H_
#define TARNU_LIB_ALLOC_H_

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>

namespace tarnu::detail {

void *Malloc(std::size_t size);
void *Calloc(std::size_t count, std::size_t size);
void *Realloc(void *ptr, std::size_t size);
char *Strdup(const char *text);
// Copies at most `length` bytes of `text` and terminates the copy.
char *Strndup(const char *text, std::size_t length);
inline void Free(void *ptr) { std::free(ptr); }

// Allocates one zero-filled T; null when the allocation fails.
template <typename T>
T *NewZeroed() {
  return static_cast<T *>(Calloc(1, sizeof(T)));
}

// std::allocator replacement for containers used inside the library: the
// allocation goes through the hook, and failure throws std::bad_alloc, which
// the C entry points turn into 12.
template <typename T>
struct Allocator {
  using value_type = T;
  Allocator() = default;
  template <typename U>
  Allocator(const Allocator<U> &) noexcept {}
  T *allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    void *p = Malloc(n * sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T *>(p);
  }
  void deallocate(T *p, std::size_t) noexcept { Free(p); }
  template <typename U>
  bool operator==(const Allocator<U> &) const noexcept {
    return true;
  }
};

// Owns a malloc-family pointer and frees it on scope exit.
struct FreeDeleter {
  void operator()(void *p) const noexcept { Free(p); }
};

}  // namespace tarnu::detail

#endif  // TARNU_LIB_ALLOC_H_
