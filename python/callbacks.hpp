// Calls into Python callables, and the way failures travel between the engine and Python:
// the per-thread pending callback error, PanicException, the query compute and observers.
#pragma once

#include <utility>
#include <vector>

#include "py_value.hpp"
#include "weft/failure.hpp"
#include "weft/runtime.hpp"

namespace weft::py {

// ---- failures and Python exceptions ----

// The PanicException class (derived from BaseException), created by the module's first
// initialisation and kept for the life of the process. Borrowed; null only if it could not
// be created.
PyObject* panic_exception_type() noexcept;

// Whether the current Python error is one that stops the program (a KeyboardInterrupt, a
// SystemExit): neither an Exception nor a PanicException, which stands for a failure of the
// engine.
bool interrupt_pending() noexcept;

// Sets PanicException carrying the failure's message as the current Python error. An
// exception parked by the failure leaves the slot with it, as the panic's `__cause__`,
// unless it is not an Exception (KeyboardInterrupt, SystemExit): that one is restored as
// itself, in place of the panic.
void set_panic(const InvariantFailure& failure) noexcept;

// Sets MemoryError, or restores a parked KeyboardInterrupt or SystemExit as set_panic does;
// any other parked exception is discarded.
void set_memory_error() noexcept;

// Sets RecursionError carrying the message of a read that found the stack nearly used up,
// with what a parked exception calls for as set_memory_error does.
void set_recursion_error(const StackExhausted& failure) noexcept;

// The exception a failed callback left (strong references), held until the guard of the
// failure it caused takes it.
struct PendingError {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
};

// The current Python error, taken from the interpreter and owned until it is restored,
// parked or dropped. Members are null where the interpreter had none.
struct FetchedError {
  PyValue type, value, traceback;

  static FetchedError fetch() noexcept {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    return {PyValue::steal(t), PyValue::steal(v), PyValue::steal(tb)};
  }
  // Makes `value` an instance of `type` (requires a type), carrying the traceback.
  void normalize() noexcept {
    PyObject *t = type.release(), *v = value.release(), *tb = traceback.release();
    PyErr_NormalizeException(&t, &v, &tb);
    type = PyValue::steal(t);
    value = PyValue::steal(v);
    traceback = PyValue::steal(tb);
    if (tb && v && PyExceptionInstance_Check(v)) PyException_SetTraceback(v, tb);
  }
  // Sets it as the current Python error again.
  void restore() noexcept { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};

// This thread's pending callback error slot.
inline constinit thread_local PendingError pending_error __attribute__((tls_model("initial-exec"))){};

// Restores the exception parked in this thread's pending callback error slot as the
// current Python error and empties the slot. False when the slot is empty.
bool restore_pending_error() noexcept;
// Empties the slot, dropping what it held.
void discard_pending_error() noexcept;
// A failure left the module for the program's own code: the next one prints its notices
// afresh.
void end_failure_notices() noexcept;
// A failure left as another exception than the panic (a guard converted it).
void end_passage() noexcept;
// Puts `error` in the slot, dropping what it held.
void park_pending_error(const PendingError& error) noexcept;
void park_pending_error(FetchedError error) noexcept;

// Keeps a failed callback's parked exception with its failure while the engine sets the
// failure aside, and parks it again if the failure is raised again. Every runtime uses it.
FailureHost& parked_error_host() noexcept;

// Python code that runs while a failure unwinds (the __del__ of a value the unwinding drops)
// may call into the module while the failure's exception waits in the slot. Every entry
// point sets such an exception aside for its own duration, so that what it parks, takes or
// discards is its own, and puts it back when it returns, for the outer failure's guard.
class OuterPendingError {
 public:
  OuterPendingError() noexcept {
    if (pending_error.type) [[unlikely]] outer_ = std::exchange(pending_error, PendingError{});
  }
  ~OuterPendingError() {
    if (outer_.type) [[unlikely]] park_pending_error(outer_);
  }
  OuterPendingError(const OuterPendingError&) = delete;
  OuterPendingError& operator=(const OuterPendingError&) = delete;

 private:
  PendingError outer_;
};

// The failure path of a Python call that returned NULL: takes the exception from the
// interpreter (a SystemError when there is none), then either continues the failure that
// a PanicException stands for, or parks the exception in the slot and fails with
// "weft: python callback raised: <type>: <text>". Never returns.
[[noreturn]] void fail_from_python_error();

// Takes the current Python error (which must be set) and fails with `context` followed by
// its formatted text, discarding the error. For failures of the binding's own Python API
// calls (building a result, creating an object).
[[noreturn]] void fail_with_python_error(std::string_view context);

// ---- calling Python ----

namespace detail {
inline PyObject* as_object(const PyValue& v) noexcept { return v.get(); }
inline PyObject* as_object(PyObject* v) noexcept { return v; }

// Calls `fn` with positional arguments only (each a PyValue or a borrowed PyObject*): the
// new reference it returned, or null when it raised.
template <class... Args>
PyObject* vectorcall(const PyValue& fn, const Args&... args) {
  // One spare slot in front lets the callee prepend `self` without copying the arguments.
  PyObject* argv[1 + sizeof...(Args)] = {nullptr, as_object(args)...};
  return or_hang_at_exit([&] {
    return PyObject_Vectorcall(fn.get(), argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                               nullptr);
  });
}
}  // namespace detail

// Calls `fn` and returns its result. A raised exception becomes the engine's failure
// through fail_from_python_error: the caller sees an InvariantFailure.
template <class... Args>
PyValue call(const PyValue& fn, const Args&... args) {
  GilGuard gil;
  PyObject* result = detail::vectorcall(fn, args...);
  if (!result) fail_from_python_error();
  return PyValue::steal(result);
}

// The failure path of a Python call that a compute of `runtime` made (a query's callable,
// an operator's): while the runtime retreats from work run ahead of need, the work is
// abandoned, so what the call raised reaches no reader and is neither reported nor kept for
// one, unless it lies outside Exception (a KeyboardInterrupt, a SystemExit), which ends the
// retreat and continues to the caller. Otherwise as fail_from_python_error.
[[noreturn]] void fail_from_compute_call(Runtime& runtime);

// `call` for the callables that `runtime`'s computes call.
template <class... Args>
PyValue call_in(Runtime& runtime, const PyValue& fn, const Args&... args) {
  GilGuard gil;
  PyObject* result = detail::vectorcall(fn, args...);
  if (!result) fail_from_compute_call(runtime);
  return PyValue::steal(result);
}

// ---- queries and observers ----

// The RuntimeRef objects one runtime's queries are called with. A RuntimeRef that no Python
// code kept when its call ended is dead and unreachable from Python, so the next call gets
// it back instead of a new allocation; one that was kept stays dead for good.
class RuntimeRefPool {
 public:
  // A live RuntimeRef pointing at `runtime`, owned by the calling thread.
  PyValue take(Runtime& runtime);
  // Kills `ref` (failing with "Already borrowed" while a method uses it) and keeps it for
  // reuse when the pool holds its only reference.
  void give_back(PyValue ref);

 private:
  PyValue new_ref();
  PyValue take_spare();

  static constexpr std::size_t kMaxSpare = 64;  // more than any realistic nesting of queries
  std::vector<PyValue> spare_;                   // dead, referenced only from here
};

// The compute of a node made by Runtime.create_query: calls `py_func` with a RuntimeRef on
// the computing runtime, kills the RuntimeRef when the call ends (returned or raised) and
// gives the result as the node's new value. `refs` belongs to the Python Runtime object and
// outlives the core runtime that runs this compute.
struct QueryCompute {
  PyValue py_func;
  RuntimeRefPool* refs;
  PyValue operator()(Runtime& runtime);
};

// The callback of an observer registered by Runtime.observe: calls the Python callable
// with the node's value and drops the result.
struct ObserverCallback {
  PyValue callback;
  void operator()(const PyValue& value) { call(callback, value); }
};

}  // namespace weft::py
