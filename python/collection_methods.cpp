// The Collection class and Runtime.create_collection: element changes, the operators that
// derive collections and values, and the version node.
#include "collection_binding.hpp"
#include "weft/aggregate.hpp"
#include "weft/collection_ops.hpp"
#include "weft/join.hpp"

namespace weft::py {

namespace {

using Coll = Receiver<CollectionObject>;

Coll receiver(PyObject* self) { return Coll(self, collection_type, "Collection"); }

// A u64 node shown as a Python int.
struct IntMirror {
  Weft<u64> node;
  PyValue operator()(Runtime& runtime) { return built(PyLong_FromUnsignedLongLong(runtime.read(node))); }
};

// ---- element changes (guarded) ----

PyObject* insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"value"};
    PyObject* argv[1];
    parse_args("Collection.insert()", names, args, nargs, kwnames, argv);
    Coll c = receiver(self);
    PyValue value = PyValue::borrow(argv[0]);
    guarded([&] {
      OwningRuntime rt(c->d.runtime);
      weft::insert(rt.core(), c->d.handle, std::move(value));
    });
    return none();
  });
}

PyObject* delete_(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"value"};
    PyObject* argv[1];
    parse_args("Collection.delete()", names, args, nargs, kwnames, argv);
    Coll c = receiver(self);
    PyValue value = PyValue::borrow(argv[0]);
    bool removed = guarded([&] {
      OwningRuntime rt(c->d.runtime);
      return weft::remove(rt.core(), c->d.handle, value);
    });
    return PyBool_FromLong(removed);
  });
}

PyObject* snapshot_len(PyObject* self, PyObject*) {
  return boundary([&]() -> PyObject* {
    Coll c = receiver(self);
    return PyLong_FromUnsignedLongLong(weft::snapshot_len(c->d.handle));
  });
}

// ---- operators ----

// A callable argument, as the computes of the runtime `rt` call it.
template <class Call>
Call callable(const OwningRuntime& rt, PyObject* fn) {
  return Call{PyValue::borrow(fn), &rt.core()};
}

// The common shape of an operator method: one or more object arguments, the runtime used,
// the result wrapped.
template <std::size_t N, class Build>
PyObject* operator_method(const char* fname, const char* const (&names)[N], PyObject* self,
                          PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Build&& build) {
  return boundary([&]() -> PyObject* {
    PyObject* argv[N];
    parse_args(fname, names, args, nargs, kwnames, argv);
    Coll c = receiver(self);
    return build(c, argv);
  });
}

PyObject* filter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"predicate"};
  return operator_method("Collection.filter()", names, self, args, nargs, kwnames,
                         [](Coll& c, PyObject** argv) {
                           OwningRuntime rt(c->d.runtime);
                           auto result = weft::filter(rt.core(), c->d.handle,
                                                      callable<TruthCall>(rt, argv[0]));
                           return wrap_collection(c->d.runtime, std::move(result));
                         });
}

PyObject* map(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"func"};
  return operator_method("Collection.map()", names, self, args, nargs, kwnames,
                         [](Coll& c, PyObject** argv) {
                           OwningRuntime rt(c->d.runtime);
                           auto result = weft::map(rt.core(), c->d.handle, callable<UnaryCall>(rt, argv[0]));
                           return wrap_collection(c->d.runtime, std::move(result));
                         });
}

PyObject* count(PyObject* self, PyObject*) {
  return boundary([&]() -> PyObject* {
    Coll c = receiver(self);
    OwningRuntime rt(c->d.runtime);
    Weft<u64> counter = weft::count(rt.core(), c->d.handle);
    Weft<PyValue> shown = made_over(rt.core(), counter, [&] { return create_int_mirror(rt.core(), counter); });
    rt.object()->d.counting_nodes.remember(shown, counter);
    return wrap_node(shown);
  });
}

PyObject* reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"fold_fn"};
  return operator_method("Collection.reduce()", names, self, args, nargs, kwnames,
                         [](Coll& c, PyObject** argv) {
                           OwningRuntime rt(c->d.runtime);
                           return wrap_node(weft::reduce<PyValue>(rt.core(), c->d.handle,
                                                                  callable<FoldCall>(rt, argv[0])));
                         });
}

PyObject* aggregate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"identity", "lift", "combine"};
  return operator_method("Collection.aggregate()", names, self, args, nargs, kwnames,
                         [](Coll& c, PyObject** argv) {
                           OwningRuntime rt(c->d.runtime);
                           return wrap_node(weft::aggregate<PyValue>(
                               rt.core(), c->d.handle, PyValue::borrow(argv[0]),
                               callable<UnaryCall>(rt, argv[1]), callable<BinaryCall>(rt, argv[2])));
                         });
}

PyObject* sort_by_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"key_fn"};
  return operator_method("Collection.sort_by_key()", names, self, args, nargs, kwnames,
                         [](Coll& c, PyObject** argv) {
                           OwningRuntime rt(c->d.runtime);
                           auto result = weft::sort_by_key<PyValue>(rt.core(), c->d.handle,
                                                                    callable<UnaryCall>(rt, argv[0]));
                           return wrap_sorted(c->d.runtime, std::move(result));
                         });
}

PyObject* group_by(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"key_fn"};
  return operator_method("Collection.group_by()", names, self, args, nargs, kwnames,
                         [](Coll& c, PyObject** argv) {
                           OwningRuntime rt(c->d.runtime);
                           auto result = weft::group_by<PyValue>(rt.core(), c->d.handle,
                                                                 callable<UnaryCall>(rt, argv[0]));
                           return wrap_grouped(c->d.runtime, std::move(result));
                         });
}

PyObject* join(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"right", "left_key", "right_key"};
  return operator_method(
      "Collection.join()", names, self, args, nargs, kwnames, [](Coll& c, PyObject** argv) {
        CollectionObject* right = checked<CollectionObject>(argv[0], collection_type, "Collection", "right");
        PyCollectionHandle right_handle = right->d.handle;
        OwningRuntime rt(c->d.runtime);
        auto pairs = weft::join<PyValue>(rt.core(), c->d.handle, right_handle,
                                         callable<UnaryCall>(rt, argv[1]),
                                         callable<UnaryCall>(rt, argv[2]));
        return wrap_collection(c->d.runtime, view_of_inner(rt.core(), pairs, to_tuple));
      });
}

PyObject* version_node(PyObject* self, void*) {
  return boundary([&]() -> PyObject* {
    Coll c = receiver(self);
    return version_node_of(c->d.runtime, c->d.handle.version_node);
  });
}

PyMethodDef collection_methods[] = {
    {"insert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(insert)),
     METH_FASTCALL | METH_KEYWORDS, "insert($self, value)\n--\n\n"},
    {"delete", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(delete_)),
     METH_FASTCALL | METH_KEYWORDS, "delete($self, value)\n--\n\n"},
    {"snapshot_len", snapshot_len, METH_NOARGS, "snapshot_len($self)\n--\n\n"},
    {"filter", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(filter)),
     METH_FASTCALL | METH_KEYWORDS, "filter($self, predicate)\n--\n\n"},
    {"map", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(map)),
     METH_FASTCALL | METH_KEYWORDS, "map($self, func)\n--\n\n"},
    {"count", count, METH_NOARGS, "count($self)\n--\n\n"},
    {"reduce", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reduce)),
     METH_FASTCALL | METH_KEYWORDS, "reduce($self, fold_fn)\n--\n\n"},
    {"aggregate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(aggregate)),
     METH_FASTCALL | METH_KEYWORDS,
     "aggregate($self, identity, lift, combine)\n--\n\n"
     "Incrementally maintained monoid fold: `lift` maps an element into\n"
     "the aggregate domain, `combine` merges two aggregates, `identity`\n"
     "is the unit. O(log n) per change; see \"aggregate\" in the weft guide\n"
     "(docs/guide.md) for why `combine` must be associative with `identity`\n"
     "as its unit."},
    {"sort_by_key", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sort_by_key)),
     METH_FASTCALL | METH_KEYWORDS, "sort_by_key($self, key_fn)\n--\n\n"},
    {"group_by", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(group_by)),
     METH_FASTCALL | METH_KEYWORDS, "group_by($self, key_fn)\n--\n\n"},
    {"join", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(join)),
     METH_FASTCALL | METH_KEYWORDS, "join($self, right, left_key, right_key)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef collection_getset[] = {
    {"version_node", version_node, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot collection_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<CollectionObject>)},
    {Py_tp_methods, collection_methods},
    {Py_tp_getset, collection_getset},
    {0, nullptr},
};

PyType_Spec collection_spec = {
    "builtins.Collection",
    sizeof(CollectionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    collection_slots,
};

}  // namespace

PyType_Spec* collection_type_spec() { return &collection_spec; }

PyObject* runtime_create_collection(PyObject* self, PyObject*) {
  return boundary([&]() -> PyObject* {
    Receiver<RuntimeObject> rt(self, runtime_type, "Runtime");
    PyValue runtime = PyValue::borrow(self);
    return wrap_collection(runtime, weft::create_collection<PyValue>(core_of(rt)));
  });
}

// ---- shared by the collection classes ----

template <class Obj, class Handle>
PyObject* wrap(PyTypeObject* type, const PyValue& runtime, Handle handle) {
  return reinterpret_cast<PyObject*>(new_object<Obj>(type, runtime, std::move(handle)));
}

PyObject* wrap_collection(const PyValue& runtime, PyCollectionHandle handle) {
  return wrap<CollectionObject>(collection_type, runtime, std::move(handle));
}

PyObject* wrap_sorted(const PyValue& runtime, PySortedHandle handle) {
  return wrap<SortedCollectionObject>(sorted_collection_type, runtime, std::move(handle));
}

PyObject* wrap_grouped(const PyValue& runtime, PyGroupedHandle handle) {
  return wrap<GroupedCollectionObject>(grouped_collection_type, runtime, std::move(handle));
}

Weft<PyValue> create_int_mirror(Runtime& runtime, Weft<u64> node) {
  return runtime.create_compute<PyValue>(IntMirror{node});
}

PyObject* version_node_of(const PyValue& runtime, Weft<u64> version_node) {
  OwningRuntime rt(runtime);
  VersionNodeCache& cache = rt.object()->d.version_nodes;
  if (cache.in_use) fail("Already borrowed");
  cache.in_use = true;
  struct Release {
    bool& flag;
    ~Release() { flag = false; }
  } release{cache.in_use};
  auto it = cache.mirrors.find(version_node);
  if (it != cache.mirrors.end() && rt.core().is_alive(it->second.erased())) return wrap_node(it->second);
  Weft<PyValue> mirror = create_int_mirror(rt.core(), version_node);
  cache.mirrors.insert_or_assign(version_node, mirror);
  return wrap_node(mirror);
}

PyValue FoldCall::operator()(std::vector<PyValue> elements) {
  return call_in(*runtime, fn, list_of(std::move(elements)));
}

namespace {

// Whether `o` is, or may come to be, tracked by the collector: as CPython decides it for the
// members of a tuple, anything the collector can track except an untracked tuple (which
// cannot change). An untracked dict counts: it is tracked once something that may be is
// put in it, and may then refer back to the tuple.
bool may_be_tracked(PyObject* o) {
  return PyObject_IS_GC(o) && (!PyTuple_CheckExact(o) || PyObject_GC_IsTracked(o));
}

// A tuple made to be a collection element and holding only objects that cannot be part of
// a reference cycle (ints, strs, floats, None, untracked tuples) cannot be part of one
// either, since it cannot change; leaving it out of the collector saves every collection a
// walk over it. CPython itself does the same for such tuples, lazily. (A list stays
// tracked: whoever reads it may append to it what refers back to it.)
void untrack_if_atomic(PyObject* tuple) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
    if (may_be_tracked(PyTuple_GET_ITEM(tuple, i))) return;
  }
  PyObject_GC_UnTrack(tuple);
}

template <class Values>
PyValue new_list(const Values& values) {
  PyValue list = built(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), values[i].new_reference());
  }
  return list;
}

}  // namespace

PyValue to_tuple(const std::pair<PyValue, PyValue>& pair) {
  PyValue tuple = built(PyTuple_Pack(2, pair.first.get(), pair.second.get()));
  untrack_if_atomic(tuple.get());
  return tuple;
}

PyValue to_list(const std::vector<PyValue>& values) { return new_list(values); }

PyValue to_window_list(const InlineSequence<PyValue>& window) { return new_list(window); }

}  // namespace weft::py
