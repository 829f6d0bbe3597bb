// The replaced global operator new and delete behind FailingAllocations.
#include "failing_allocations.h"

#include <cstdlib>
#include <new>

namespace {
thread_local bool failing = false;
}  // namespace

namespace orvik_test {

FailingAllocations::FailingAllocations() {
  failing = true;
}

FailingAllocations::~FailingAllocations() {
  failing = false;
}

}  // namespace orvik_test

void *operator new(std::size_t size) {
  if (failing) throw std::bad_alloc();
  if (void *memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

void operator delete(void *memory) noexcept {
  std::free(memory);
}

void operator delete(void *memory, std::size_t) noexcept {
  std::free(memory);
}
