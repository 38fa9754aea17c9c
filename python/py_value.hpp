// PyValue: the one node value type of the binding, a strong reference to a Python object,
// and its mapping onto the Python object protocol for the core's generic operations.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>
#include <utility>

#include "failure_reports.hpp"
#include "thread_exit.hpp"
#include "weft/node.hpp"
#include "weft/order_summary.hpp"
#include "weft/relocation.hpp"

namespace weft::py {

// Reference counting needs the interpreter lock. Every entry into the binding holds it, so
// the common path is one flag test; a thread without it takes it for an increment and queues
// a decrement, which runs the next time the lock is taken.
void incref_without_lock(PyObject* obj) noexcept;
void decref_without_lock(PyObject* obj) noexcept;
// Runs the decrements queued by threads that did not hold the lock. Needs the lock.
void drain_deferred_decrefs() noexcept;

// True while this thread runs inside one of the binding's entry points (a method, a slot,
// a deallocator), or inside a GilGuard that took the interpreter lock. Python calls the
// entry points only with the lock held, and none of the binding's own code runs without it
// (Python code it calls may release and take it again), so there the lock needs no
// per-operation check. The initial-exec model makes reading it a single
// thread-pointer-relative load.
inline constinit thread_local bool in_entry_point __attribute__((tls_model("initial-exec"))) = false;

inline bool holds_gil() noexcept { return in_entry_point || PyGILState_Check(); }

// Marks the scope of an entry point, which Python called holding the interpreter lock.
class EntryPointScope {
 public:
  EntryPointScope() noexcept : outer_(in_entry_point) { in_entry_point = true; }
  ~EntryPointScope() {
    // A method writes its reports through sys.stderr before this; what a deallocator's
    // outermost call leaves goes where no Python code runs.
    if (!outer_ && reports_waiting) [[unlikely]] write_waiting_reports_directly();
    in_entry_point = outer_;
  }
  EntryPointScope(const EntryPointScope&) = delete;
  EntryPointScope& operator=(const EntryPointScope&) = delete;
  // Whether Python called this entry point from outside every other one.
  bool outermost() const { return !outer_; }

 private:
  bool outer_;
};

// Holds the interpreter lock for its scope, taking it only when this thread lacks it.
class GilGuard {
 public:
  GilGuard() : taken_(!holds_gil()) {
    if (taken_) acquire();
  }
  ~GilGuard() {
    if (taken_) {
      if (reports_waiting) [[unlikely]] write_waiting_reports_directly();
      in_entry_point = outer_entry_;
      PyGILState_Release(state_);
    }
  }
  GilGuard(const GilGuard&) = delete;
  GilGuard& operator=(const GilGuard&) = delete;

 private:
  void acquire() {
    state_ = or_hang_at_exit([] { return PyGILState_Ensure(); });
    outer_entry_ = std::exchange(in_entry_point, true);
    drain_deferred_decrefs();
  }
  bool taken_;
  bool outer_entry_ = false;
  PyGILState_STATE state_{};
};

// One strong reference to a Python object (None included), or none: a moved-from value, or
// one stolen from a Python call that failed. Copying takes a new reference, destruction
// drops one; moving transfers it without touching the count.
class PyValue {
 public:
  // Adopts `obj`, a new reference the caller owns.
  static PyValue steal(PyObject* obj) noexcept { return PyValue(obj); }
  // Takes a new reference to `obj`, which the caller only borrows.
  static PyValue borrow(PyObject* obj) noexcept {
    incref(obj);
    return PyValue(obj);
  }
  static PyValue none() noexcept { return borrow(Py_None); }

  PyValue(const PyValue& other) noexcept : obj_(other.obj_) {
    if (obj_) incref(obj_);
  }
  PyValue(PyValue&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyValue& operator=(const PyValue& other) noexcept {
    PyValue copy(other);
    swap(copy);
    return *this;
  }
  PyValue& operator=(PyValue&& other) noexcept {
    PyValue moved(std::move(other));
    swap(moved);
    return *this;
  }
  ~PyValue() {
    if (obj_) decref(obj_);
  }

  void swap(PyValue& other) noexcept { std::swap(obj_, other.obj_); }
  // Found by the standard algorithms, so rotations and sorts exchange pointers and leave
  // reference counts alone.
  friend void swap(PyValue& a, PyValue& b) noexcept { a.swap(b); }

  // The object, borrowed; null for an empty value.
  PyObject* get() const noexcept { return obj_; }
  // Hands the reference to the caller (the Python result of a method) and empties this.
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  // A new reference for the caller; this value keeps its own.
  PyObject* new_reference() const noexcept {
    incref(obj_);
    return obj_;
  }

 private:
  explicit PyValue(PyObject* obj) noexcept : obj_(obj) {}

  static void incref(PyObject* obj) noexcept {
    if (holds_gil()) {
      Py_INCREF(obj);
    } else {
      incref_without_lock(obj);
    }
  }
  static void decref(PyObject* obj) noexcept {
    if (holds_gil()) {
      or_hang_at_exit([obj] { Py_DECREF(obj); });  // a finaliser may run
    } else {
      decref_without_lock(obj);
    }
  }

  PyObject* obj_;
};

}  // namespace weft::py

namespace weft {

// A PyValue owns one reference through one pointer: its bytes may move.
template <>
struct RelocatesByBytes<py::PyValue> : std::true_type {};

// Equality, ordering, hashing and truth go through the Python object protocol. A Python
// error inside any of them is discarded: it never surfaces, and the operation gives the
// result stated for each.
template <>
struct ValueTraits<py::PyValue> {
  static constexpr std::string_view name = "weft::PyValue";

  // `a == b` (a on the left) and its truth; no identity shortcut, so NaN is never equal,
  // not even to itself. An error means not equal.
  static bool equal(const py::PyValue& a, const py::PyValue& b);
  // `hash(a)`, except that tuples, and the lists, dicts, sets, frozensets, dict views and
  // OrderedDicts that compare as the base types do, hash by their members, a bytearray as
  // the bytes it holds and a UserList as its data; a value nested too deeply, and any other
  // error, hashes as 0, and one too large to walk by its length.
  static i64 hash(const py::PyValue& a);
  // The truth of `a < b`; an error means false.
  static bool less(const py::PyValue& a, const py::PyValue& b);
  // Exact ints within 64 bits and exact floats other than NaN stand for themselves.
  static OrderSummary order_summary(const py::PyValue& a);
  // The truth of `a`; an error means false.
  static bool truthy(const py::PyValue& a);
  // The same object.
  static bool identical(const py::PyValue& a, const py::PyValue& b) { return a.get() == b.get(); }
};

}  // namespace weft
