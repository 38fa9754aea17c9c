#include "allocation_hook.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<bool> counting{false};
std::atomic<long> counted{0};
std::atomic<long> before_failure{-1};
std::atomic<bool> failed{false};

// Counts an allocation, and says whether it is the one chosen to fail.
bool allocation_fails() {
  if (counting.load(std::memory_order_relaxed)) counted.fetch_add(1, std::memory_order_relaxed);
  if (before_failure.load(std::memory_order_relaxed) >= 0 &&
      before_failure.fetch_sub(1, std::memory_order_relaxed) == 0) {
    failed = true;
    return true;
  }
  return false;
}
}  // namespace

// The test binary is linked with malloc and aligned_alloc wrapped (see core/CMakeLists.txt),
// so that the engine's own blocks (node segments, dependency blocks) fail and count like
// everything made with new.
extern "C" void* __real_malloc(std::size_t size);
extern "C" void* __real_aligned_alloc(std::size_t alignment, std::size_t size);
extern "C" void* __wrap_malloc(std::size_t size) { return allocation_fails() ? nullptr : __real_malloc(size); }
extern "C" void* __wrap_aligned_alloc(std::size_t alignment, std::size_t size) {
  return allocation_fails() ? nullptr : __real_aligned_alloc(alignment, size);
}

namespace weft::test_alloc {

void count_allocations(bool on) {
  if (on) counted = 0;
  counting = on;
}

long allocations_counted() { return counted.load(); }

void fail_allocation(long n) {
  failed = false;
  before_failure = n;
}

bool allocation_failed() { return failed.load(); }

NothingFails::NothingFails() : before_failure_(before_failure.exchange(-1)) {}
NothingFails::~NothingFails() { before_failure = before_failure_; }

}  // namespace weft::test_alloc

void* operator new(std::size_t size) {
  if (allocation_fails()) throw std::bad_alloc();
  if (void* p = __real_malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// The nothrow form too (temporary buffers of the standard algorithms use it), so that every
// allocation pairs with the deletes below.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (counting.load(std::memory_order_relaxed)) counted.fetch_add(1, std::memory_order_relaxed);
  return __real_malloc(size ? size : 1);
}
[[gnu::noinline]] void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
// Kept out of line: inlined into a caller, the free() would look mismatched with `new`.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
