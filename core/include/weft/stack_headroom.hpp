// How much of the calling thread's stack is left. A read of a never-computed node runs its
// compute, whose reads run their computes in turn, so reading a long chain from its tail
// nests one compute per link on the stack. Reads check the headroom and fail cleanly
// instead of overflowing the stack.
#pragma once

#include <cstddef>
#include <cstdint>

namespace weft {

// Reports whether a nesting budget that the host keeps itself is nearly spent. An
// interpreter may count nested calls against a fixed budget of its own and fail the call
// that exceeds it; inside a compute, such a failure would count as the compute's own.
using NestingBudgetCheck = bool (*)() noexcept;

namespace detail {
// The address below which the current thread's stack counts as nearly exhausted; 0 until
// the thread first asks, 1 when its bounds are unknown (no check then).
extern constinit thread_local std::uintptr_t stack_floor;
std::uintptr_t probe_stack_floor() noexcept;
extern constinit NestingBudgetCheck host_nesting_check;
}  // namespace detail

// Installs the host's check, once, before any read; reads then also stop nesting when it
// reports its budget nearly spent.
void set_host_nesting_check(NestingBudgetCheck check) noexcept;

// What must stay free below a read for the failure path (unwinding through every nested
// compute, reporting, converting to a Python exception) to run safely.
inline constexpr std::uintptr_t kStackMargin = 256 * 1024;

// True when less than the margin remains between the caller's frame and the end of this
// thread's stack (at most a quarter of the stack is kept as margin on small stacks).
inline bool stack_nearly_exhausted() noexcept {
  std::uintptr_t floor = detail::stack_floor;
  if (floor == 0) floor = detail::probe_stack_floor();
  return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < floor;
}

// Computes nested below a read before the host's check is asked: a budget counted in
// calls cannot run out in fewer, and the check costs a call into the host.
inline constexpr std::size_t kHostCheckDepth = 16;

// True when `computes_running` computes are nested below the read and the host reports its
// nesting budget nearly spent.
inline bool host_nesting_budget_spent(std::size_t computes_running) noexcept {
  return computes_running >= kHostCheckDepth && detail::host_nesting_check &&
         detail::host_nesting_check();
}

}  // namespace weft
