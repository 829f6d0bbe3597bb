// The library's single allocation path and its failure-injection hook.
#include "alloc.h"

#include <atomic>
#include <cstring>

#include "alloc_hook.h"

namespace tarnu::detail {
namespace {

// The hot path reads only `armed`; counting and failing happen when a test
// has armed the hook.
std::atomic<bool> armed{false};
std::atomic<long> attempts{0};
std::atomic<long> fail_from{0};  // fail allocation numbers >= fail_from (0: never)
std::atomic<bool> fail_only_once{false};

bool ShouldFail() {
  if (!armed.load(std::memory_order_relaxed)) return false;
  long number = attempts.fetch_add(1, std::memory_order_relaxed) + 1;
  long from = fail_from.load(std::memory_order_relaxed);
  if (from <= 0 || number < from) return false;
  return !fail_only_once.load(std::memory_order_relaxed) || number == from;
}

}  // namespace

void *Malloc(std::size_t size) {
  if (ShouldFail()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void *Calloc(std::size_t count, std::size_t size) {
  if (ShouldFail()) return nullptr;
  if (count == 0 || size == 0) return std::calloc(1, 1);
  return std::calloc(count, size);
}

void *Realloc(void *ptr, std::size_t size) {
  if (ShouldFail()) return nullptr;
  return std::realloc(ptr, size == 0 ? 1 : size);
}

char *Strndup(const char *text, std::size_t length) {
  std::size_t n = strnlen(text, length);
  char *copy = static_cast<char *>(Malloc(n + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text, n);
  copy[n] = '\0';
  return copy;
}

char *Strdup(const char *text) { return Strndup(text, std::strlen(text)); }

}  // namespace tarnu::detail

using tarnu::detail::armed;
using tarnu::detail::attempts;
using tarnu::detail::fail_from;
using tarnu::detail::fail_only_once;

extern "C" void tarnu_alloc_hook_fail_at(long n) {
  attempts.store(0);
  fail_from.store(n);
  fail_only_once.store(false);
  armed.store(true);
}

extern "C" void tarnu_alloc_hook_fail_once_at(long n) {
  attempts.store(0);
  fail_from.store(n);
  fail_only_once.store(true);
  armed.store(true);
}

extern "C" void tarnu_alloc_hook_count(void) { tarnu_alloc_hook_fail_at(0); }

extern "C" long tarnu_alloc_hook_allocations(void) { return attempts.load(); }

extern "C" void tarnu_alloc_hook_reset(void) {
  armed.store(false);
  fail_from.store(0);
  fail_only_once.store(false);
  attempts.store(0);
}
