// The slow paths of PyValue reference counting and the Python object protocol behind
// ValueTraits<PyValue>.
#include "py_value.hpp"

#include <atomic>
#include <mutex>
#include <vector>

namespace weft::py {

namespace {

// Decrements made by threads without the interpreter lock, waiting for it.
std::mutex deferred_mutex;
std::vector<PyObject*>* deferred = nullptr;  // never destroyed: threads may queue at exit
std::atomic<bool> deferred_pending{false};

int drain_pending_call(void*) {
  drain_deferred_decrefs();
  return 0;
}

// The truth of a comparison result, consuming the result; an error means false.
bool truth_of(PyObject* result) {
  if (!result) {
    PyErr_Clear();
    return false;
  }
  if (result == Py_True || result == Py_False) {
    Py_DECREF(result);
    return result == Py_True;
  }
  int truth = PyObject_IsTrue(result);
  Py_DECREF(result);
  if (truth < 0) {
    PyErr_Clear();
    return false;
  }
  return truth != 0;
}

// Both values as C longs, when both are exact ints that fit.
bool both_small_ints(PyObject* a, PyObject* b, long& x, long& y) {
  if (!PyLong_CheckExact(a) || !PyLong_CheckExact(b)) return false;
  int overflow_a = 0;
  int overflow_b = 0;
  x = PyLong_AsLongAndOverflow(a, &overflow_a);
  y = PyLong_AsLongAndOverflow(b, &overflow_b);
  return overflow_a == 0 && overflow_b == 0;
}

bool both_exact_floats(PyObject* a, PyObject* b) {
  return PyFloat_CheckExact(a) && PyFloat_CheckExact(b);
}

}  // namespace

void incref_without_lock(PyObject* obj) noexcept {
  GilGuard gil;
  Py_INCREF(obj);
}

void decref_without_lock(PyObject* obj) noexcept {
  bool first;
  {
    std::lock_guard<std::mutex> lock(deferred_mutex);
    if (!deferred) deferred = new std::vector<PyObject*>();
    first = deferred->empty();
    deferred->push_back(obj);
    deferred_pending.store(true, std::memory_order_release);
  }
  // Ask the interpreter to run the queue as soon as some thread holds the lock; a failure
  // (the interpreter is finishing) leaves the queue for the next lock holder that drains.
  if (first) Py_AddPendingCall(drain_pending_call, nullptr);
}

void drain_deferred_decrefs() noexcept {
  if (!deferred_pending.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> batch;
  {
    std::lock_guard<std::mutex> lock(deferred_mutex);
    if (deferred) batch.swap(*deferred);
    deferred_pending.store(false, std::memory_order_release);
  }
  for (PyObject* obj : batch) Py_DECREF(obj);
}

}  // namespace weft::py

namespace weft {

// Exact ints and floats compare by value here, as their own == and < would; a float
// comparison keeps NaN unequal and unordered.
bool ValueTraits<py::PyValue>::equal(const py::PyValue& a, const py::PyValue& b) {
  py::GilGuard gil;
  long x, y;
  if (py::both_small_ints(a.get(), b.get(), x, y)) return x == y;
  if (py::both_exact_floats(a.get(), b.get())) {
    return PyFloat_AS_DOUBLE(a.get()) == PyFloat_AS_DOUBLE(b.get());
  }
  return py::truth_of(PyObject_RichCompare(a.get(), b.get(), Py_EQ));
}

namespace py {
namespace {

constexpr int kMemberHashDepth = 16;

u64 mix(u64 h) {  // a 64-bit finaliser, so that sums of member hashes stay spread out
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h;
}

// `hash(o)`, except that exact lists, dicts and sets, which Python refuses to hash, hash by
// their members (lists in order, dicts and sets in any order), so that collections of them
// spread over a map's buckets instead of sharing one. Equal values still hash equal: `==`
// on these types compares members. Other errors, and nesting deeper than a few levels,
// hash as 0.
i64 hash_object(PyObject* o, int depth) {
  Py_hash_t h = PyObject_Hash(o);
  if (h != -1 || !PyErr_Occurred()) return static_cast<i64>(h);
  PyErr_Clear();
  if (depth >= kMemberHashDepth) return 0;
  if (PyList_CheckExact(o)) {
    u64 acc = 0x27d4eb2f165667c5ULL ^ static_cast<u64>(PyList_GET_SIZE(o));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {  // a member's hash may resize it
      PyObject* item = PyList_GET_ITEM(o, i);
      Py_INCREF(item);
      acc = mix(acc * 31 + static_cast<u64>(hash_object(item, depth + 1)));
      Py_DECREF(item);
    }
    return static_cast<i64>(acc);
  }
  if (PyDict_CheckExact(o) || PyAnySet_CheckExact(o)) {
    bool is_dict = PyDict_CheckExact(o);
    PyObject* snapshot = is_dict ? PyDict_Items(o) : PySequence_List(o);
    if (!snapshot) {
      PyErr_Clear();
      return 0;
    }
    u64 sum = static_cast<u64>(PyList_GET_SIZE(snapshot));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot); ++i) {
      PyObject* item = PyList_GET_ITEM(snapshot, i);
      u64 member = is_dict ? mix(static_cast<u64>(hash_object(PyTuple_GET_ITEM(item, 0), depth + 1)) * 31 +
                                 static_cast<u64>(hash_object(PyTuple_GET_ITEM(item, 1), depth + 1)))
                           : mix(static_cast<u64>(hash_object(item, depth + 1)));
      sum += member;
    }
    Py_DECREF(snapshot);
    return static_cast<i64>(mix(sum));
  }
  return 0;
}

}  // namespace
}  // namespace py

i64 ValueTraits<py::PyValue>::hash(const py::PyValue& a) {
  py::GilGuard gil;
  return py::hash_object(a.get(), 0);
}

bool ValueTraits<py::PyValue>::less(const py::PyValue& a, const py::PyValue& b) {
  py::GilGuard gil;
  long x, y;
  if (py::both_small_ints(a.get(), b.get(), x, y)) return x < y;
  if (py::both_exact_floats(a.get(), b.get())) {
    return PyFloat_AS_DOUBLE(a.get()) < PyFloat_AS_DOUBLE(b.get());
  }
  return py::truth_of(PyObject_RichCompare(a.get(), b.get(), Py_LT));
}

bool ValueTraits<py::PyValue>::truthy(const py::PyValue& a) {
  py::GilGuard gil;
  int truth = PyObject_IsTrue(a.get());
  if (truth < 0) {
    PyErr_Clear();
    return false;
  }
  return truth != 0;
}

}  // namespace weft
