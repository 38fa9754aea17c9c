// Finding where the current thread's stack ends, and the host's own nesting check.
#include "weft/stack_headroom.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstddef>

namespace weft {

namespace detail {

constinit thread_local std::uintptr_t stack_floor = 0;
constinit NestingBudgetCheck host_nesting_check = nullptr;

// The thread's stack bounds, asked once per thread. The stack grows down from
// `low + size`, so the floor is the lowest address plus the margin.
std::uintptr_t probe_stack_floor() noexcept {
  std::uintptr_t floor = 1;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    void* low = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &low, &size) == 0 && low && size > 0) {
      std::uintptr_t margin = std::min<std::uintptr_t>(kStackMargin, size / 4);
      floor = reinterpret_cast<std::uintptr_t>(low) + margin;
    }
    pthread_attr_destroy(&attr);
  }
  stack_floor = floor;
  return floor;
}

}  // namespace detail

void set_host_nesting_check(NestingBudgetCheck check) noexcept { detail::host_nesting_check = check; }

}  // namespace weft
