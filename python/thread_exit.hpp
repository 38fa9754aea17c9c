// Calls into Python that may end the calling thread.
#pragma once

#include <cxxabi.h>
#include <unistd.h>

#include <utility>

namespace weft::py {

// Blocks the calling thread for good.
[[noreturn]] inline void hang_thread() noexcept {
  for (;;) pause();
}

// Before 3.14, CPython ends a thread that takes the interpreter lock back while the
// interpreter is finalizing (a daemon thread inside a callback when the program exits) with
// pthread_exit, which unwinds the thread's stack. Through the binding's frames that unwind
// would run destructors that touch Python objects without the lock, and it aborts the
// process at the first catch-all or noexcept frame. A call into Python that may release the
// lock (any that can run Python code) goes through `or_hang_at_exit`, which hangs the thread
// instead, as CPython 3.14 does itself: the process is exiting.
template <class Call>
decltype(auto) or_hang_at_exit(Call&& call) {
  try {
    return std::forward<Call>(call)();
  } catch (abi::__forced_unwind&) {
    hang_thread();
  }
}

}  // namespace weft::py
