// The Runtime class: construction and every method, each a thin wrapper that parses its
// arguments, borrows the receiver, converts the arguments, calls one core operation
// (inside the guard for the guarded methods) and converts the result.
#include <cstring>

#include "binding.hpp"

namespace weft::py {

namespace {

using Rt = Receiver<RuntimeObject>;

Rt receiver(PyObject* self) { return Rt(self, runtime_type, "Runtime"); }

void put(const PyValue& dict, const char* key, PyValue value) {
  if (PyDict_SetItemString(dict.get(), key, value.get()) < 0) {
    fail_with_python_error("weft: failed to build a result: ");
  }
}

// Filled as it goes, unlike list_of: making an int never starts a collection, so no
// finaliser can meet the list's empty slots.
PyValue slot_list(const std::vector<u32>& slots) {
  PyValue list = built(PyList_New(static_cast<Py_ssize_t>(slots.size())));
  for (std::size_t i = 0; i < slots.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    built(PyLong_FromUnsignedLong(slots[i])).release());
  }
  return list;
}

PyValue u64_object(u64 value) { return built(PyLong_FromUnsignedLongLong(value)); }

const char* action_name(TraceAction action) {
  switch (action) {
    case TraceAction::RecomputedCutoff:
      return "recomputed_cutoff";
    case TraceAction::RecomputedChanged:
      return "recomputed_changed";
    case TraceAction::VerifiedClean:
      return "verified_clean";
  }
  return "unknown";
}

PyObject* none() { Py_RETURN_NONE; }

// ---- construction ----

PyObject* runtime_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    parse_tuple_args("Runtime()", nullptr, 0, args, kwargs, nullptr);
    RuntimeObject* runtime = new_object<RuntimeObject>(type);
    runtime->d.core->set_failure_host(&parked_error_host());
    return reinterpret_cast<PyObject*>(runtime);
  });
}

// ---- methods ----

PyObject* create_input(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"value"};
    PyObject* argv[1];
    parse_args("Runtime.create_input()", names, args, nargs, kwnames, argv);
    Rt rt = receiver(self);
    return wrap_node(core_of(rt).create_input(PyValue::borrow(argv[0])));
  });
}

PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"node"};
    PyObject* argv[1];
    parse_args("Runtime.get()", names, args, nargs, kwnames, argv);
    Rt rt = receiver(self);
    Weft<PyValue> node = extract_node(argv[0], "node");
    return guarded([&] { return core_of(rt).read(node); }).release();
  });
}

PyObject* set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"node", "value"};
    PyObject* argv[2];
    parse_args("Runtime.set()", names, args, nargs, kwnames, argv);
    Rt rt = receiver(self);
    Weft<PyValue> node = extract_node(argv[0], "node");
    PyValue value = PyValue::borrow(argv[1]);
    guarded([&] { core_of(rt).set(node, std::move(value)); });
    return none();
  });
}

PyObject* delete_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"node"};
    PyObject* argv[1];
    parse_args("Runtime.delete_node()", names, args, nargs, kwnames, argv);
    Rt rt = receiver(self);
    Weft<PyValue> node = extract_node(argv[0], "node");
    CountingNodes& counting = rt->d.counting_nodes;
    std::optional<Weft<u64>> counter = counting.beneath(node);
    guarded([&] {
      core_of(rt).delete_node(node);
      if (counter) counting.delete_beneath(core_of(rt), node, *counter);
    });
    return none();
  });
}

PyObject* delete_with_dependents(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"node"};
    PyObject* argv[1];
    parse_args("Runtime.delete_with_dependents()", names, args, nargs, kwnames, argv);
    Rt rt = receiver(self);
    Weft<PyValue> node = extract_node(argv[0], "node");
    CountingNodes& counting = rt->d.counting_nodes;
    std::optional<Weft<u64>> counter = counting.beneath(node);
    u64 count = guarded([&] {
      u64 released = core_of(rt).delete_with_dependents(node);
      if (counter && released > 0) released += counting.delete_beneath(core_of(rt), node, *counter);
      return released;
    });
    return PyLong_FromUnsignedLongLong(count);
  });
}

// Reads the node table directly, without a core lock: a stale or foreign handle is simply
// not alive.
PyObject* is_alive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"node"};
    PyObject* argv[1];
    parse_args("Runtime.is_alive()", names, args, nargs, kwnames, argv);
    Rt rt = receiver(self);
    Weft<PyValue> node = extract_node(argv[0], "node");
    return PyBool_FromLong(core_of(rt).is_alive(node.erased()));
  });
}

PyObject* observe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"node", "callback"};
    PyObject* argv[2];
    parse_args("Runtime.observe()", names, args, nargs, kwnames, argv);
    Rt rt = receiver(self);
    Weft<PyValue> node = extract_node(argv[0], "node");
    u64 id = core_of(rt).observe(node, ObserverCallback{PyValue::borrow(argv[1])});
    return wrap_observer({id, core_of(rt).id()});
  });
}

PyObject* unobserve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"id"};
    PyObject* argv[1];
    parse_args("Runtime.unobserve()", names, args, nargs, kwnames, argv);
    Rt rt = receiver(self);
    ObserverToken observer = extract_observer(argv[0], "id");
    // Another runtime's registration is none of this one's, whatever its number.
    if (observer.runtime == core_of(rt).id()) core_of(rt).unobserve(observer.id);
    return none();
  });
}

PyObject* stabilize(PyObject* self, PyObject*) {
  return boundary([&]() -> PyObject* {
    Rt rt = receiver(self);
    guarded([&] { core_of(rt).stabilize(); });
    return none();
  });
}

PyObject* create_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"py_func"};
    PyObject* argv[1];
    parse_args("Runtime.create_query()", names, args, nargs, kwnames, argv);
    Rt rt = receiver(self);
    return wrap_node(core_of(rt).create_compute<PyValue>(
        QueryCompute{PyValue::borrow(argv[0]), &rt->d.query_refs}));
  });
}

// Labels the slot only: the handle's generation and runtime are not consulted.
PyObject* set_label(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"node", "label"};
    PyObject* argv[2];
    parse_args("Runtime.set_label()", names, args, nargs, kwnames, argv);
    Rt rt = receiver(self);
    Weft<PyValue> node = extract_node(argv[0], "node");
    std::string label = extract_str(argv[1], "label");
    core_of(rt).set_label(node.slot, std::move(label));
    return none();
  });
}

PyObject* set_label_by_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"id", "label"};
    PyObject* argv[2];
    parse_args("Runtime.set_label_by_id()", names, args, nargs, kwnames, argv);
    Rt rt = receiver(self);
    u32 slot = extract_u32(argv[0], "id");
    std::string label = extract_str(argv[1], "label");
    core_of(rt).set_label(slot, std::move(label));
    return none();
  });
}

PyObject* get_traced(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"node"};
    PyObject* argv[1];
    parse_args("Runtime.get_traced()", names, args, nargs, kwnames, argv);
    Rt rt = receiver(self);
    Weft<PyValue> node = extract_node(argv[0], "node");
    TracedRead<PyValue> traced = guarded([&] { return core_of(rt).get_traced(node); });

    std::vector<PyValue> records;
    records.reserve(traced.records.size());
    for (const TraceRecord& traced_record : traced.records) {
      PyValue record = built(PyDict_New());
      put(record, "id", built(PyLong_FromUnsignedLong(traced_record.slot)));
      put(record, "action", built(PyUnicode_FromString(action_name(traced_record.action))));
      records.push_back(std::move(record));
    }
    PyValue trace = built(PyDict_New());
    put(trace, "target", built(PyLong_FromUnsignedLong(traced.target)));
    put(trace, "total_nodes", u64_object(traced.total_nodes));
    put(trace, "nodes_recomputed", u64_object(traced.nodes_recomputed));
    put(trace, "nodes_cutoff", u64_object(traced.nodes_cutoff));
    put(trace, "elapsed_ns", u64_object(traced.elapsed_ns));
    put(trace, "node_traces", list_of(std::move(records)));

    PyValue result = built(PyTuple_New(2));
    PyTuple_SET_ITEM(result.get(), 0, traced.value.release());
    PyTuple_SET_ITEM(result.get(), 1, trace.release());
    return result.release();
  });
}

PyObject* graph_snapshot(PyObject* self, PyObject*) {
  return boundary([&]() -> PyObject* {
    Rt rt = receiver(self);
    std::vector<NodeSnapshot> nodes = core_of(rt).collect_snapshot();
    std::vector<PyValue> entries;
    entries.reserve(nodes.size());
    for (const NodeSnapshot& node : nodes) {
      PyValue entry = built(PyDict_New());
      put(entry, "id", built(PyLong_FromUnsignedLong(node.slot)));
      put(entry, "kind", built(PyUnicode_FromString(node.is_compute ? "compute" : "input")));
      put(entry, "label",
          node.label ? built(PyUnicode_DecodeUTF8(node.label->data(),
                                                  static_cast<Py_ssize_t>(node.label->size()),
                                                  "replace"))
                     : PyValue::none());
      put(entry, "dependencies", slot_list(node.dependencies));
      put(entry, "dependents", slot_list(node.dependents));
      entries.push_back(std::move(entry));
    }
    return list_of(std::move(entries)).release();
  });
}

PyObject* node_count(PyObject* self, PyObject*) {
  return boundary([&]() -> PyObject* {
    Rt rt = receiver(self);
    return PyLong_FromUnsignedLongLong(core_of(rt).live_count());
  });
}

template <class F>
PyCFunction fastcall(F* fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef runtime_methods[] = {
    {"create_input", fastcall(create_input), kFast, "create_input($self, value)\n--\n\n"},
    {"get", fastcall(get), kFast, "get($self, node)\n--\n\n"},
    {"set", fastcall(set), kFast, "set($self, node, value)\n--\n\n"},
    {"delete_node", fastcall(delete_node), kFast,
     "delete_node($self, node)\n--\n\n"
     "Delete a node and recycle its slot. Every surviving handle to it\n"
     "raises on use. The node must have no dependents."},
    {"delete_with_dependents", fastcall(delete_with_dependents), kFast,
     "delete_with_dependents($self, node)\n--\n\n"
     "Delete the node, every node that depends on it (transitively)\n"
     "and every node an operator created for them. Returns how many\n"
     "nodes were deleted; 0 if the node was already gone. A query that\n"
     "has never run is not reached, and raises as stale on first use."},
    {"is_alive", fastcall(is_alive), kFast,
     "is_alive($self, node)\n--\n\n"
     "True while the node exists in this runtime. False after it is\n"
     "deleted, and for a node from another runtime."},
    {"observe", fastcall(observe), kFast,
     "observe($self, node, callback)\n--\n\n"
     "Register `callback` to fire on `stabilize()` whenever the node's\n"
     "value changed since the last firing."},
    {"unobserve", fastcall(unobserve), kFast, "unobserve($self, id)\n--\n\n"},
    {"stabilize", stabilize, METH_NOARGS,
     "stabilize($self)\n--\n\n"
     "Bring observed nodes up to date and fire callbacks for changed\n"
     "values."},
    {"create_query", fastcall(create_query), kFast, "create_query($self, py_func)\n--\n\n"},
    {"set_label", fastcall(set_label), kFast, "set_label($self, node, label)\n--\n\n"},
    {"set_label_by_id", fastcall(set_label_by_id), kFast, "set_label_by_id($self, id, label)\n--\n\n"},
    {"get_traced", fastcall(get_traced), kFast, "get_traced($self, node)\n--\n\n"},
    {"graph_snapshot", graph_snapshot, METH_NOARGS, "graph_snapshot($self)\n--\n\n"},
    {"node_count", node_count, METH_NOARGS, "node_count($self)\n--\n\n"},
    {"create_collection", runtime_create_collection, METH_NOARGS, "create_collection($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot runtime_slots[] = {
    {Py_tp_doc, const_cast<char*>("Runtime()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(runtime_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<RuntimeObject>)},
    {Py_tp_methods, runtime_methods},
    {0, nullptr},
};

PyType_Spec runtime_spec = {
    "builtins.Runtime",
    sizeof(RuntimeObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    runtime_slots,
};

}  // namespace

PyType_Spec* runtime_type_spec() { return &runtime_spec; }

}  // namespace weft::py
