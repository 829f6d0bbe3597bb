// The replaced global operator new and delete behind FailingAllocations.
#include "failing_allocations.h"

#include <cstdlib>
#include <new>

namespace {
thread_local bool failing = false;
thread_local long allowed_left = 0;
}  // namespace

namespace orvik_test {

FailingAllocations::FailingAllocations(long allowed) {
  allowed_left = allowed;
  failing = true;
}

FailingAllocations::~FailingAllocations() {
  failing = false;
}

}  // namespace orvik_test

void *operator new(std::size_t size) {
  if (failing && allowed_left-- <= 0) throw std::bad_alloc();
  if (void *memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

void operator delete(void *memory) noexcept {
  std::free(memory);
}

void operator delete(void *memory, std::size_t) noexcept {
  std::free(memory);
}

// Every other form is replaced too: a sanitizer's runtime would otherwise
// serve them itself, past the failure.
void *operator new[](std::size_t size) {
  return operator new(size);
}

void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

void *operator new[](std::size_t size, const std::nothrow_t &tag) noexcept {
  return operator new(size, tag);
}

void operator delete[](void *memory) noexcept {
  std::free(memory);
}

void operator delete[](void *memory, std::size_t) noexcept {
  std::free(memory);
}

void operator delete(void *memory, const std::nothrow_t &) noexcept {
  std::free(memory);
}

void operator delete[](void *memory, const std::nothrow_t &) noexcept {
  std::free(memory);
}
