// The slow paths of PyValue reference counting and the Python object protocol behind
// ValueTraits<PyValue>.
#include "py_value.hpp"
#include "weft/hashing.hpp"

#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>  // the digits of an int; Python.h includes it from 3.11 on
#endif

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>
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
  int truth = or_hang_at_exit([result] { return PyObject_IsTrue(result); });
  or_hang_at_exit([result] { Py_DECREF(result); });
  if (truth < 0) {
    PyErr_Clear();
    return false;
  }
  return truth != 0;
}

// An exact int of at most one digit (below 2**30 in magnitude): its value, read straight
// from the object.
bool is_one_digit_int(PyObject* o, long& out) {
#if PY_VERSION_HEX >= 0x030C0000
  auto* number = reinterpret_cast<PyLongObject*>(o);
  if (!PyUnstable_Long_IsCompact(number)) return false;
  out = static_cast<long>(PyUnstable_Long_CompactValue(number));
#else
  Py_ssize_t digits = Py_SIZE(o);  // the sign is the number's, the magnitude its length
  if (digits < -1 || digits > 1) return false;
  const auto* number = reinterpret_cast<PyLongObject*>(o);
  out = digits == 0 ? 0 : static_cast<long>(digits) * number->ob_digit[0];
#endif
  return true;
}

// An exact int's value as a C long, when it fits.
bool small_int_value(PyObject* o, long& out) {
  if (is_one_digit_int(o, out)) return true;
  int overflow = 0;
  out = PyLong_AsLongAndOverflow(o, &overflow);
  return overflow == 0;
}

// Both values as C longs, when both are exact ints that fit.
bool both_small_ints(PyObject* a, PyObject* b, long& x, long& y) {
  if (!PyLong_CheckExact(a) || !PyLong_CheckExact(b)) return false;
  return small_int_value(a, x) && small_int_value(b, y);
}

bool both_exact_floats(PyObject* a, PyObject* b) {
  return PyFloat_CheckExact(a) && PyFloat_CheckExact(b);
}

// Whether two exact strs hold the same text, as str's == decides: equal text is stored in
// the same width, so a length, a width and the bytes settle it.
bool equal_exact_strs(PyObject* a, PyObject* b) {
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(a) < 0 || PyUnicode_READY(b) < 0) {  // strs of the old layout
    PyErr_Clear();
    return false;
  }
#endif
  Py_ssize_t length = PyUnicode_GET_LENGTH(a);
  if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
  return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                     static_cast<std::size_t>(length) * PyUnicode_KIND(a)) == 0;
}

// `a == b` for exact ints, floats and strs, decided without running Python code; nothing
// for other values. Inlined: it sits on every cutoff comparison.
[[gnu::always_inline]] inline std::optional<bool> equal_without_python(PyObject* a,
                                                                       PyObject* b) {
  long x, y;
  if (both_small_ints(a, b, x, y)) return x == y;
  if (both_exact_floats(a, b)) return PyFloat_AS_DOUBLE(a) == PyFloat_AS_DOUBLE(b);
  if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return equal_exact_strs(a, b);
  return std::nullopt;
}

// Two members of tuples or lists, as their container's == compares them: an object equals
// itself (the containers' identity shortcut); exact ints, floats and strs compare here,
// anything else through Python, holding both members meanwhile. -1: the comparison raised.
int members_equal(PyObject* x, PyObject* y) {
  if (x == y) return 1;
  if (std::optional<bool> known = equal_without_python(x, y)) return *known;
  PyValue held_x = PyValue::borrow(x), held_y = PyValue::borrow(y);
  return or_hang_at_exit([&] { return PyObject_RichCompareBool(held_x.get(), held_y.get(), Py_EQ); });
}

// `a == b` for two exact tuples or two exact lists, as their own == decides: equal lengths,
// then members equal in order. A member's __eq__ may change a list or drop the caller's
// reference to it, so both are held, and lengths and members are read again at each step.
bool equal_exact_sequences(const PyValue& a, const PyValue& b) {
  PyValue left = a, right = b;
  bool lists = PyList_CheckExact(left.get());
  auto size = [&](const PyValue& s) {
    return lists ? PyList_GET_SIZE(s.get()) : PyTuple_GET_SIZE(s.get());
  };
  auto item = [&](const PyValue& s, Py_ssize_t i) {
    return lists ? PyList_GET_ITEM(s.get(), i) : PyTuple_GET_ITEM(s.get(), i);
  };
  if (size(left) != size(right)) return false;
  for (Py_ssize_t i = 0; i < size(left) && i < size(right); ++i) {
    int equal = members_equal(item(left, i), item(right, i));
    if (equal < 0) PyErr_Clear();
    if (equal <= 0) return false;
  }
  return size(left) == size(right);
}

// The truth of a rich comparison that may run any Python code, including code that drops
// the object a caller's reference points at (an __eq__ that sets the input whose stored
// value is being compared): the comparison holds references of its own.
bool compare_holding_operands(const PyValue& a, const PyValue& b, int op) {
  PyValue left = a, right = b;
  return truth_of(or_hang_at_exit([&] { return PyObject_RichCompare(left.get(), right.get(), op); }));
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
  if (std::optional<bool> known = py::equal_without_python(a.get(), b.get())) return *known;
  if ((PyTuple_CheckExact(a.get()) && PyTuple_CheckExact(b.get())) ||
      (PyList_CheckExact(a.get()) && PyList_CheckExact(b.get()))) {
    return py::equal_exact_sequences(a, b);
  }
  return py::compare_holding_operands(a, b, Py_EQ);
}

namespace py {
namespace {

constexpr int kMemberHashDepth = 16;

// The containers one hash may walk the members of. A value that shares a sublist at every
// level is small but walks as a tree, whose size grows with the sharing's width to the
// power of its depth.
constexpr u64 kMemberHashVisits = u64{1} << 20;

// The container visits left to a walk of a value's members. A walk that runs out hashes
// the whole value by its length instead: equal values have equal shapes, so they run out
// alike, whatever order their sets and dicts go round in.
struct MemberWalk {
  u64 visits_left = kMemberHashVisits;
  bool ran_out = false;

  bool visit() {
    if (visits_left == 0) ran_out = true;
    else --visits_left;
    return !ran_out;
  }
};

u64 mix(u64 h) {  // a 64-bit finaliser, so that sums of member hashes stay spread out
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h;
}

i64 hash_object(PyObject* o, int depth, MemberWalk& walk);

// `hash(o)`, or 0 when it raises.
i64 hash_as_python(PyObject* o) {
  Py_hash_t h = or_hang_at_exit([o] { return PyObject_Hash(o); });
  if (h != -1) return static_cast<i64>(h);
  PyErr_Clear();
  return 0;
}

// The hash of an exact int that fits one digit (the value itself, except -1, which is -2,
// as int's own hash gives it), an exact str or an exact float: hashes that run no Python
// code.
bool plain_hash(PyObject* o, i64& out) {
  long small;
  if (PyLong_CheckExact(o) && is_one_digit_int(o, small)) {
    out = small == -1 ? -2 : small;
    return true;
  }
  if (!PyUnicode_CheckExact(o) && !PyFloat_CheckExact(o)) return false;
  out = hash_as_python(o);
  return true;
}

// Members in order: lists and tuples. A list may change size while its members hash, so a
// member that may run code is held while it does.
i64 hash_in_order(PyObject* o, int depth, MemberWalk& walk) {
  bool is_list = PyList_Check(o);
  auto size = [&] { return is_list ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o); };
  i64 acc = combine_hash(is_list ? 1 : 2, static_cast<i64>(size()));
  for (Py_ssize_t i = 0; i < size(); ++i) {
    PyObject* member = is_list ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i);
    i64 h;
    if (!plain_hash(member, h)) {
      PyValue held = PyValue::borrow(member);
      h = hash_object(held.get(), depth + 1, walk);
    }
    acc = combine_hash(acc, h);
  }
  return acc;
}

// Members in any order: dicts (key and value together) and sets, from a snapshot of them.
i64 hash_any_order(PyObject* o, int depth, MemberWalk& walk) {
  bool is_dict = PyDict_Check(o);
  PyValue members = PyValue::steal(is_dict ? PyDict_Items(o) : PySequence_List(o));
  if (!members.get()) {
    PyErr_Clear();
    return 0;
  }
  PyObject* list = members.get();
  u64 sum = static_cast<u64>(PyList_GET_SIZE(list));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    // Held: the member hashes run code, which can reach the snapshot through the collector.
    PyValue held = PyValue::borrow(PyList_GET_ITEM(list, i));
    PyObject* m = held.get();
    i64 h = is_dict ? combine_hash(hash_object(PyTuple_GET_ITEM(m, 0), depth + 1, walk),
                                   hash_object(PyTuple_GET_ITEM(m, 1), depth + 1, walk))
                    : hash_object(m, depth + 1, walk);
    sum += mix(static_cast<u64>(h));
  }
  return static_cast<i64>(mix(sum));
}

// Whether `o` compares as `base` does, so that values equal to it have equal members and may
// hash by them. A subclass with an __eq__ of its own may call values equal whose members
// differ, so it hashes as Python hashes it. One with only a __hash__ of its own still equals
// every plain value with the same members: it hashes by them too, as the plain value does.
bool compares_as(PyObject* o, PyTypeObject* base) {
  return Py_TYPE(o)->tp_richcompare == base->tp_richcompare;
}

// Python refuses to hash lists, dicts and sets (frozensets hash, but equal sets). Some
// other types Python does not hash are equal to these by members, and hash by them too: an
// OrderedDict compares with a dict as a dict does (with another OrderedDict it compares
// the order as well, which only narrows what is equal), and the views of a dict's keys and
// items compare as sets (they cannot be subclassed).
bool is_member_hashed_container(PyObject* o) {
  if (PyList_Check(o)) return compares_as(o, &PyList_Type);
  if (PyDict_Check(o)) return compares_as(o, &PyDict_Type) || compares_as(o, &PyODict_Type);
  if (PyFrozenSet_Check(o)) return compares_as(o, &PyFrozenSet_Type);
  if (PyDictKeys_Check(o) || PyDictItems_Check(o)) return true;
  return PySet_Check(o) && compares_as(o, &PySet_Type);
}

// A bytearray equals the bytes with the same contents, and hashes as they do.
bool hashes_as_bytes(PyObject* o) { return PyByteArray_Check(o) && compares_as(o, &PyByteArray_Type); }

i64 hash_as_bytes(PyObject* bytearray) {
  PyValue bytes = PyValue::steal(
      PyBytes_FromStringAndSize(PyByteArray_AS_STRING(bytearray), PyByteArray_GET_SIZE(bytearray)));
  if (!bytes.get()) {
    PyErr_Clear();
    return 0;
  }
  return hash_as_python(bytes.get());
}

// A tuple that compares as tuple does, by its members.
bool is_member_hashed_tuple(PyObject* o) { return PyTuple_Check(o) && compares_as(o, &PyTuple_Type); }

enum class HashWay : u8 { Python, InOrder, AnyOrder, AsBytes };

// How `o` hashes. A tuple always hashes by its members, even one that Python would hash:
// a set somewhere inside it may equal a frozenset inside another, and only hashing both by
// members gives the two tuples one hash.
HashWay hash_way(PyObject* o) {
  if (is_member_hashed_tuple(o)) return HashWay::InOrder;
  if (hashes_as_bytes(o)) return HashWay::AsBytes;
  if (!is_member_hashed_container(o)) return HashWay::Python;
  return PyList_Check(o) ? HashWay::InOrder : HashWay::AnyOrder;
}

// collections.UserList and its __eq__, once collections is imported (until then no UserList
// exists); both kept for the life of the process, as the class is.
struct UserListClass {
  PyObject* type = nullptr;
  PyObject* eq = nullptr;
};

const UserListClass& user_list_class() {
  static UserListClass found;
  if (found.type) return found;
  static PyObject* name = PyUnicode_InternFromString("collections");
  PyValue module = PyValue::steal(name ? PyImport_GetModule(name) : nullptr);
  PyValue type = PyValue::steal(module.get() ? PyObject_GetAttrString(module.get(), "UserList") : nullptr);
  PyValue eq = PyValue::steal(type.get() ? PyObject_GetAttrString(type.get(), "__eq__") : nullptr);
  if (type.get() && PyType_Check(type.get()) && eq.get()) {
    found = {type.release(), eq.release()};
  }
  PyErr_Clear();
  return found;
}

// A value Python refuses to hash that is not a container hashed by its members. A UserList
// (or a subclass keeping its __eq__) compares as its `data` does, with a list or with the
// data of another UserList, so it hashes as its data. Anything else hashes as 0.
i64 hash_unhashable(PyObject* o, int depth, MemberWalk& walk) {
  const UserListClass& user_list = user_list_class();
  if (!user_list.type || !PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(user_list.type))) return 0;
  PyValue eq = PyValue::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__eq__"));
  PyValue data = PyValue::steal(eq.get() == user_list.eq ? PyObject_GetAttrString(o, "data") : nullptr);
  PyErr_Clear();
  if (!data.get() || depth >= kMemberHashDepth || !walk.visit()) return 0;
  return hash_object(data.get(), depth + 1, walk);
}

// `hash(o)`, except for tuples and for what Python refuses to hash: lists, dicts and sets
// hash by their members, and so do tuples. Collections of them then spread over a map's
// buckets instead of sharing one, and equal values still hash alike, since `==` on these
// types compares members. Other errors, and nesting deeper than a few levels, hash as 0.
i64 hash_object(PyObject* o, int depth, MemberWalk& walk) {
  if (i64 h; plain_hash(o, h)) return h;
  HashWay way = hash_way(o);
  if (way == HashWay::Python) {
    Py_hash_t h = or_hang_at_exit([o] { return PyObject_Hash(o); });
    if (h != -1) return static_cast<i64>(h);
    PyErr_Clear();
    return hash_unhashable(o, depth, walk);
  }
  if (way == HashWay::AsBytes) return hash_as_bytes(o);
  if (depth >= kMemberHashDepth || !walk.visit()) return 0;
  return way == HashWay::InOrder ? hash_in_order(o, depth, walk) : hash_any_order(o, depth, walk);
}

}  // namespace
}  // namespace py

i64 ValueTraits<py::PyValue>::hash(const py::PyValue& a) {
  py::GilGuard gil;
  i64 h;
  if (py::plain_hash(a.get(), h)) return h;
  py::MemberWalk walk;
  h = py::hash_object(a.get(), 0, walk);
  if (!walk.ran_out) return h;
  Py_ssize_t length = PyObject_Length(a.get());  // equal values have equal lengths
  if (length < 0) PyErr_Clear();
  return combine_hash(3, static_cast<i64>(length));
}

bool ValueTraits<py::PyValue>::less(const py::PyValue& a, const py::PyValue& b) {
  py::GilGuard gil;
  long x, y;
  if (py::both_small_ints(a.get(), b.get(), x, y)) return x < y;
  if (py::both_exact_floats(a.get(), b.get())) {
    return PyFloat_AS_DOUBLE(a.get()) < PyFloat_AS_DOUBLE(b.get());
  }
  return py::compare_holding_operands(a, b, Py_LT);
}

OrderSummary ValueTraits<py::PyValue>::order_summary(const py::PyValue& a) {
  py::GilGuard gil;
  PyObject* o = a.get();
  if (PyLong_CheckExact(o)) {
    static_assert(sizeof(long) == sizeof(i64), "a C long holds every 64-bit summary");
    if (long v; py::small_int_value(o, v)) return OrderSummary::of_integer(v);
  } else if (PyFloat_CheckExact(o) && !std::isnan(PyFloat_AS_DOUBLE(o))) {
    return OrderSummary::of_real(PyFloat_AS_DOUBLE(o));
  }
  return {};
}

bool ValueTraits<py::PyValue>::truthy(const py::PyValue& a) {
  py::GilGuard gil;
  int truth = py::or_hang_at_exit([&] { return PyObject_IsTrue(a.get()); });
  if (truth < 0) {
    PyErr_Clear();
    return false;
  }
  return truth != 0;
}

}  // namespace weft
