// The machinery every Python method of the module is built from: object layouts with
// thread affinity and borrow counting, receiver and argument extraction, a small fastcall
// argument parser, and the guarded and unguarded ways a failure reaches Python.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "callbacks.hpp"
#include "py_value.hpp"
#include "weft/runtime.hpp"

namespace weft::py {

// ---- C++ exceptions used inside method bodies ----

// Thrown when a Python exception is already set and the method must return NULL.
struct PythonErrorSet {};

// ---- object layout ----

// A thread's identity for object affinity: a number drawn once per thread and never given
// to another thread, even after the first one ends (a pthread_t may be reused then).
using ThreadId = std::uint64_t;
inline constinit thread_local ThreadId this_thread_id __attribute__((tls_model("initial-exec"))) = 0;
// Draws this thread's number (the first time only).
ThreadId assign_thread_id() noexcept;
inline ThreadId current_thread() noexcept {
  if (this_thread_id == 0) [[unlikely]] return assign_thread_id();
  return this_thread_id;
}

// The head of every object of the module's classes. Each object is bound to the thread
// that created it; `borrow` counts shared accesses in progress. -1 would be an exclusive
// access, which no operation takes (a shared access meeting one fails); killing a
// RuntimeRef checks that the count is 0 instead.
struct ObjectHeader {
  PyObject_HEAD
  ThreadId owner_thread;
  std::atomic<std::intptr_t> borrow;
};

// Objects are `{ObjectHeader head; Data d;}`: the header is written at allocation, `d`
// is constructed in place and destroyed by the class's dealloc.
template <class Obj>
Obj* object_cast(PyObject* obj) noexcept {
  return reinterpret_cast<Obj*>(obj);
}

// The class objects, made by the module's first initialisation and kept for the process.
extern PyTypeObject* runtime_type;
extern PyTypeObject* node_id_type;
extern PyTypeObject* observer_id_type;
extern PyTypeObject* runtime_ref_type;
extern PyTypeObject* collection_type;
extern PyTypeObject* sorted_collection_type;
extern PyTypeObject* grouped_collection_type;

// "weft::PyRuntime" and so on: the name a class goes by in failure messages.
const char* internal_type_name(PyTypeObject* type) noexcept;

// The interpreter's short name of an object's type ("int", "Runtime").
const char* short_type_name(PyObject* obj) noexcept;

// Allocates an object of `type` owned by the calling thread, constructing its `d` from
// `args`. Throws PythonErrorSet when the allocation fails.
template <class Obj, class... Args>
Obj* new_object(PyTypeObject* type, Args&&... args) {
  PyObject* raw = type->tp_alloc(type, 0);
  if (!raw) throw PythonErrorSet{};
  Obj* obj = object_cast<Obj>(raw);
  obj->head.owner_thread = current_thread();
  new (&obj->head.borrow) std::atomic<std::intptr_t>(0);
  try {
    new (&obj->d) typename Obj::Data(std::forward<Args>(args)...);
  } catch (...) {
    // `d` was never built: free the memory without running the class's dealloc.
    PyTypeObject* tp = Py_TYPE(raw);
    tp->tp_free(raw);
    Py_DECREF(tp);
    throw;
  }
  return obj;
}

// Reports, as an unraisable RuntimeError, that an object is being destroyed on a thread
// other than its creator's; its contents are then leaked.
void report_foreign_drop(PyTypeObject* type) noexcept;

// The tp_dealloc of every class: releases `d` on the creating thread, leaks it elsewhere.
template <class Obj>
void dealloc(PyObject* self) noexcept {
  EntryPointScope entry;
  Obj* obj = object_cast<Obj>(self);
  PyTypeObject* type = Py_TYPE(self);
  if (obj->head.owner_thread == current_thread()) {
    using Data = typename Obj::Data;
    obj->d.~Data();
  } else {
    report_foreign_drop(type);
  }
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- thread affinity and borrowing ----

[[noreturn]] void fail_unsendable(PyTypeObject* type);

inline void check_thread(ObjectHeader& head) {
  if (head.owner_thread != current_thread()) fail_unsendable(Py_TYPE(&head.ob_base));
}

[[noreturn]] void fail_already_mutably_borrowed();

// Shared access to an object for a scope. Only the owning thread gets here (the thread
// check comes first), so the counter needs no read-modify-write instruction.
class SharedAccess {
 public:
  explicit SharedAccess(ObjectHeader& head) : head_(&head) {
    std::intptr_t n = head.borrow.load(std::memory_order_relaxed);
    if (n < 0) fail_already_mutably_borrowed();
    head.borrow.store(n + 1, std::memory_order_relaxed);
  }
  ~SharedAccess() {
    head_->borrow.store(head_->borrow.load(std::memory_order_relaxed) - 1,
                        std::memory_order_relaxed);
  }
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;

 private:
  ObjectHeader* head_;
};

// ---- receiver and argument extraction ----

// TypeError "'<type>' object cannot be converted to '<Class>'", with "argument '<name>': "
// in front when `arg_name` is given.
[[noreturn]] void raise_conversion_error(PyObject* obj, const char* class_name,
                                         const char* arg_name);

// Type check (the class or a subtype), then thread check. Returns the object.
template <class Obj>
Obj* checked(PyObject* obj, PyTypeObject* type, const char* class_name, const char* arg_name) {
  if (!PyObject_TypeCheck(obj, type)) raise_conversion_error(obj, class_name, arg_name);
  Obj* typed = object_cast<Obj>(obj);
  check_thread(typed->head);
  return typed;
}

// The receiver of a method: checked, and borrowed shared for the receiver's lifetime.
template <class Obj>
class Receiver {
 public:
  Receiver(PyObject* self, PyTypeObject* type, const char* class_name)
      : obj_(checked<Obj>(self, type, class_name, nullptr)), access_(obj_->head) {}
  Obj* get() const { return obj_; }
  Obj* operator->() const { return obj_; }

 private:
  Obj* obj_;
  SharedAccess access_;
};

// A NodeId argument: checked, then its handle copied out (the object is not kept). Defined
// below, next to NodeIdObject.
inline Weft<PyValue> extract_node(PyObject* arg, const char* arg_name);

// An observer registration: its id, a number each runtime issues from 1, and the runtime
// that issued it, so that another runtime's registration with the same number is not its.
struct ObserverToken {
  u64 id;
  RuntimeId runtime;
};

// An ObserverId argument: checked, then its registration copied out.
ObserverToken extract_observer(PyObject* arg, const char* arg_name);
// A str argument, as a copy of its UTF-8 text.
std::string extract_str(PyObject* arg, const char* arg_name);
// An int argument from 0 to 4294967295. A non-int is a TypeError with the argument prefix;
// an int out of range an OverflowError without it.
u32 extract_u32(PyObject* arg, const char* arg_name);

// Takes the new reference a Python API call returned while building part of a result; a
// failed call is an invariant failure of the method.
PyValue built(PyObject* obj);
// A new list of `items`, made once every item exists. Making an item may run the cycle
// collector, whose finalisers can reach any tracked list through gc.get_objects(): a list
// with empty slots must not exist meanwhile.
PyValue list_of(std::vector<PyValue> items);

// New NodeId / ObserverId objects. Throw PythonErrorSet when allocation fails.
PyObject* wrap_node(Weft<PyValue> handle);
PyObject* wrap_observer(ObserverToken observer);

// ---- argument parsing (METH_FASTCALL | METH_KEYWORDS) ----

// The general case: positional and keyword arguments mixed, or a wrong call. `fname` is
// what TypeErrors call the method, e.g. "Runtime.get()". Throws PythonErrorSet.
void parse_args_slow(const char* fname, const char* const* names, std::size_t count,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// Fills `out` with the N required arguments named `names`, given positionally or by
// keyword. The all-positional call is a copy loop: no tuple or dict is built.
template <std::size_t N>
inline void parse_args(const char* fname, const char* const (&names)[N], PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, PyObject* (&out)[N]) {
  if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(N)) {
    for (std::size_t i = 0; i < N; ++i) out[i] = args[i];
    return;
  }
  parse_args_slow(fname, names, N, args, nargs, kwnames, out);
}

// The same for a tuple/dict call (a type's tp_new).
void parse_tuple_args(const char* fname, const char* const* names, std::size_t count,
                      PyObject* args, PyObject* kwargs, PyObject** out);

// ---- how failures reach Python ----

// The boundary of every Python-facing function: runs `body`, which returns the result
// (a new reference, or `error_value` semantics for non-object slots). A failure that
// reaches here becomes PanicException (RecursionError when reads nested too deeply,
// MemoryError when memory ran out), unless a parked KeyboardInterrupt or SystemExit
// continues as itself; PythonErrorSet means the error is already set.
template <class R, class Body>
R boundary_as(R error_value, Body&& body) noexcept {
  EntryPointScope entry;
  OuterPendingError outer_error;
  R result = error_value;
  bool failed = true;
  try {
    result = body();
    failed = false;
  } catch (const PythonErrorSet&) {
  } catch (const StackExhausted& failure) {
    set_recursion_error(failure);
  } catch (const InvariantFailure& failure) {
    set_panic(failure);
  } catch (const std::bad_alloc&) {
    set_memory_error();
  } catch (const std::exception& e) {
    set_panic(InvariantFailure(e.what()));
  } catch (abi::__forced_unwind&) {
    hang_thread();  // see or_hang_at_exit: a call into Python not made through it
  } catch (...) {
    set_panic(InvariantFailure("", false));
  }
  // Back to Python code, which may run anything: the failure reports made meanwhile are
  // written now, and an interrupt raised by the writing is the call's outcome.
  if (reports_waiting && !write_waiting_reports() && !failed) {
    if constexpr (std::is_same_v<R, PyObject*>) Py_XDECREF(result);
    result = error_value;
    failed = true;
  }
  if (failed && entry.outermost()) end_failure_notices();
  return result;
}

template <class Body>
PyObject* boundary(Body&& body) noexcept {
  return boundary_as<PyObject*>(nullptr, std::forward<Body>(body));
}

// Converts a failure that reached a guard: the parked callback exception if this thread
// holds one, else RuntimeError with the failure's message (RecursionError when reads
// nested too deeply). A failure without a message is rethrown for the boundary to turn
// into PanicException.
[[noreturn]] void convert_guarded_failure(const InvariantFailure& failure);

// Runs the core call of a guarded method. Only the core call belongs inside.
template <class Call>
decltype(auto) guarded(Call&& core_call) {
  try {
    return core_call();
  } catch (const InvariantFailure& failure) {
    convert_guarded_failure(failure);
  }
}

// ---- the objects of the module's classes ----

struct NodeIdObject {
  ObjectHeader head;
  struct Data {
    Weft<PyValue> handle;
  } d;
};

inline Weft<PyValue> extract_node(PyObject* arg, const char* arg_name) {
  return checked<NodeIdObject>(arg, node_id_type, "NodeId", arg_name)->d.handle;
}

struct ObserverIdObject {
  ObjectHeader head;
  using Data = ObserverToken;
  Data d;
};

struct WeftU64Hasher : KeyedHasher {
  std::size_t operator()(const Weft<u64>& h) const {
    return hash_words({(static_cast<u64>(h.generation) << 32) | h.slot, h.runtime_id.value});
  }
};

// The mirror nodes that present collections' version nodes (u64) to Python, one per
// version node, made on first use. `in_use` guards against overlapping users.
struct VersionNodeCache {
  std::unordered_map<Weft<u64>, Weft<PyValue>, WeftU64Hasher> mirrors;
  bool in_use = false;
};

// The counting node beneath each node that `count()` handed out, keyed by the handed-out
// node's slot (an entry whose node is gone is replaced when its slot comes back). Nothing
// else reads a counting node, so deleting the node above it deletes it too; left alone, its
// cursor would keep every later change of the source.
class CountingNodes {
 public:
  void remember(Weft<PyValue> shown, Weft<u64> counter) {
    by_slot_.insert_or_assign(shown.slot, Entry{shown, counter});
  }

  // The counting node beneath `shown`, when `shown` is a node that `count()` handed out.
  std::optional<Weft<u64>> beneath(Weft<PyValue> shown) const {
    auto it = by_slot_.find(shown.slot);
    if (it == by_slot_.end() || !(it->second.shown == shown)) return std::nullopt;
    return it->second.counter;
  }

  // Once `shown` is deleted: deletes `counter`, the counting node beneath it. Returns the
  // number of nodes this released (0 when the counting node went with `shown` already).
  u64 delete_beneath(Runtime& core, Weft<PyValue> shown, Weft<u64> counter) {
    auto it = by_slot_.find(shown.slot);
    if (it != by_slot_.end() && it->second.shown == shown) by_slot_.erase(it);
    if (!core.is_alive(counter.erased())) return 0;
    core.delete_node(counter);
    return 1;
  }

 private:
  struct Entry {
    Weft<PyValue> shown;
    Weft<u64> counter;
  };
  std::unordered_map<u32, Entry, RandomHasher> by_slot_;
};

struct RuntimeObject {
  ObjectHeader head;
  struct Data {
    RuntimeRefPool query_refs;  // declared first: destroyed after the core that uses it
    std::unique_ptr<Runtime> core = std::make_unique<Runtime>();
    VersionNodeCache version_nodes;
    CountingNodes counting_nodes;
  } d;
};

// Live only while the query call that received it runs; `runtime` is null afterwards.
struct RuntimeRefObject {
  ObjectHeader head;
  struct Data {
    Runtime* runtime = nullptr;
  } d;
};

// The Runtime receiver, for the methods of Runtime.
inline Runtime& core_of(const Receiver<RuntimeObject>& rt) { return *rt->d.core; }

// Runtime.create_collection, defined with the collection classes.
PyObject* runtime_create_collection(PyObject* self, PyObject* unused);

// Type specs of the classes, defined next to their methods.
PyType_Spec* runtime_type_spec();
PyType_Spec* runtime_ref_type_spec();
PyType_Spec* node_id_type_spec();
PyType_Spec* observer_id_type_spec();
PyType_Spec* collection_type_spec();
PyType_Spec* sorted_collection_type_spec();
PyType_Spec* grouped_collection_type_spec();

}  // namespace weft::py
