// The core tests' replacement of the global operator new, and their wrapping of malloc and
// aligned_alloc: it counts allocations on request, and fails a chosen one (new throws
// std::bad_alloc, the others return null), so that tests can check what running out of
// memory leaves behind.
#pragma once

namespace weft::test_alloc {

// Counting from zero while on.
void count_allocations(bool on);
long allocations_counted();

// The `n`th allocation from now (0 for the next one) throws std::bad_alloc; a negative `n`
// fails none.
void fail_allocation(long n);
// Whether the allocation chosen by the last `fail_allocation` was made (and failed).
bool allocation_failed();

// While one lives, allocations neither fail nor count toward the chosen one: for a test's
// own bookkeeping in the middle of the operations it fails.
class NothingFails {
 public:
  NothingFails();
  ~NothingFails();
  NothingFails(const NothingFails&) = delete;
  NothingFails& operator=(const NothingFails&) = delete;

 private:
  long before_failure_;
};

}  // namespace weft::test_alloc
