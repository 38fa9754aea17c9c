// What the collection classes share: their object layouts, the Python callables adapted to
// the core operators, the conversions of inner results to Python objects, and the mirror
// nodes that present u64 nodes as Python ints.
#pragma once

#include "binding.hpp"
#include "weft/collection.hpp"
#include "weft/group_by.hpp"
#include "weft/sorted_collection.hpp"

namespace weft::py {

using PyCollectionHandle = CollectionHandle<PyValue>;
using PySortedHandle = SortedHandle<PyValue, PyValue>;
using PyGroupedHandle = GroupedHandle<PyValue, PyValue>;

// Every collection object keeps its Runtime object alive.
template <class Handle>
struct CollectionObjectOf {
  ObjectHeader head;
  struct Data {
    PyValue runtime;
    Handle handle;
  } d;
};

using CollectionObject = CollectionObjectOf<PyCollectionHandle>;
using SortedCollectionObject = CollectionObjectOf<PySortedHandle>;
using GroupedCollectionObject = CollectionObjectOf<PyGroupedHandle>;

inline RuntimeObject* runtime_object(const PyValue& runtime) {
  return object_cast<RuntimeObject>(runtime.get());
}

// Shared access to the Runtime that owns a collection, for the methods that use it: the
// thread check first, then the borrow.
class OwningRuntime {
 public:
  explicit OwningRuntime(const PyValue& runtime)
      : obj_((check_thread(runtime_object(runtime)->head), runtime_object(runtime))),
        access_(obj_->head) {}
  Runtime& core() const { return *obj_->d.core; }
  RuntimeObject* object() const { return obj_; }

 private:
  RuntimeObject* obj_;
  SharedAccess access_;
};

// New collection objects over core results, each holding a new reference to the runtime.
PyObject* wrap_collection(const PyValue& runtime, PyCollectionHandle handle);
PyObject* wrap_sorted(const PyValue& runtime, PySortedHandle handle);
PyObject* wrap_grouped(const PyValue& runtime, PyGroupedHandle handle);

// The node presenting a u64 node's value as a Python int (`version_node`, `count`).
Weft<PyValue> create_int_mirror(Runtime& runtime, Weft<u64> node);
// `version_node`: the runtime's cached mirror of a version node, made on first use and
// made again once the cached one is deleted.
PyObject* version_node_of(const PyValue& runtime, Weft<u64> version_node);

// Python callables as the core operators call them, in computes of `runtime` (or while an
// operator is built).
struct UnaryCall {
  PyValue fn;
  Runtime* runtime;
  PyValue operator()(const PyValue& x) { return call_in(*runtime, fn, x); }
};
struct BinaryCall {
  PyValue fn;
  Runtime* runtime;
  PyValue operator()(const PyValue& a, const PyValue& b) {
    return call_in(*runtime, fn, a, b);
  }
};
struct TruthCall {
  PyValue fn;
  Runtime* runtime;
  bool operator()(const PyValue& x) {
    return ValueTraits<PyValue>::truthy(call_in(*runtime, fn, x));
  }
};
// Calls `fn` with a new list of the elements.
struct FoldCall {
  PyValue fn;
  Runtime* runtime;
  PyValue operator()(std::vector<PyValue> elements);
};

// Results of join, pairwise and window as Python objects.
PyValue to_tuple(const std::pair<PyValue, PyValue>& pair);
PyValue to_list(const std::vector<PyValue>& values);
// A window as a change or a snapshot hands it on: a new list, which its reader may change.
PyValue to_window_list(const InlineSequence<PyValue>& window);

// What `make` builds as the only reader of `inner`, an operator node made for it (a count's
// counting node, the inner result of join, pairwise or window). When it cannot be made (the
// node table is full, memory runs out, a comparison that `set` runs holds the values'
// arena), nothing could ever read `inner`, whose cursors would keep every later change of
// its sources: it is deleted.
template <class Make>
auto made_over(Runtime& runtime, Weft<u64> inner, Make make) -> decltype(make()) {
  try {
    return make();
  } catch (...) {
    runtime.delete_node(inner);
    throw;
  }
}

// The Python view of an inner operator's results (join, pairwise, window): a conversion node
// that makes a tuple or a list of each for the changes and snapshots that hand it on. None
// stands in for the elements of changes that only counts read.
template <class In>
PyCollectionHandle view_of_inner(Runtime& runtime, const CollectionHandle<In>& inner, PyValue (*make)(const In&)) {
  return made_over(runtime, inner.version_node,
                   [&] { return weft::convert<PyValue>(runtime, inner, make, PyValue::none()); });
}

inline PyObject* none() { Py_RETURN_NONE; }

}  // namespace weft::py
