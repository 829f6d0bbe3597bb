// Allocation failure for the tests of code that allocates with operator new:
// while a FailingAllocations lives, every operator new of the thread that made
// it throws std::bad_alloc (after the first `allowed`, which succeed); other
// threads allocate as usual. The nothrow forms fail with it, as the standard
// library builds them on the throwing one. A test program
// gets it by linking failing_allocations.cc, which replaces the global
// operator new and delete.
#ifndef ORVIK_TESTS_MODULES_FAILING_ALLOCATIONS_H_
#define ORVIK_TESTS_MODULES_FAILING_ALLOCATIONS_H_

namespace orvik_test {

class FailingAllocations {
 public:
  explicit FailingAllocations(long allowed = 0);
  ~FailingAllocations();
  FailingAllocations(const FailingAllocations &) = delete;
  FailingAllocations &operator=(const FailingAllocations &) = delete;
};

}  // namespace orvik_test

#endif  // ORVIK_TESTS_MODULES_FAILING_ALLOCATIONS_H_
