// The SortedCollection class: the positional operators pairwise and window, and reads of
// the sorted entries as last maintained.
#include "collection_binding.hpp"

namespace weft::py {

namespace {

using Sorted = Receiver<SortedCollectionObject>;

Sorted receiver(PyObject* self) { return Sorted(self, sorted_collection_type, "SortedCollection"); }

// Puts "argument 'size': " in front of the text of the TypeError being raised. A TypeError
// whose str() raises (one an __index__ raised) is left as it is.
void prefix_size_type_error() {
  FetchedError error = FetchedError::fetch();
  PyValue text = PyValue::steal(PyObject_Str(error.value.get() ? error.value.get() : Py_None));
  if (!text.get()) {
    PyErr_Clear();
    error.restore();
    return;
  }
  PyErr_Format(PyExc_TypeError, "argument 'size': %U", text.get());
}

// A window size: an int (or an object with __index__) that fits in 64 unsigned bits.
u64 extract_size(PyObject* arg) {
  PyValue index = PyValue::steal(PyNumber_Index(arg));
  if (!index.get()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) prefix_size_type_error();
    throw PythonErrorSet{};
  }
  unsigned long long size = PyLong_AsUnsignedLongLong(index.get());
  if (size == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonErrorSet{};
  return size;
}

PyObject* pairwise(PyObject* self, PyObject*) {
  return boundary([&]() -> PyObject* {
    Sorted s = receiver(self);
    OwningRuntime rt(s->d.runtime);
    auto pairs = weft::pairwise(rt.core(), s->d.handle);
    return wrap_collection(s->d.runtime, view_of_inner(rt.core(), pairs, to_tuple));
  });
}

PyObject* window(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"size"};
    PyObject* argv[1];
    parse_args("SortedCollection.window()", names, args, nargs, kwnames, argv);
    Sorted s = receiver(self);
    u64 size = extract_size(argv[0]);
    OwningRuntime rt(s->d.runtime);
    auto windows = weft::window(rt.core(), s->d.handle, size);
    return wrap_collection(s->d.runtime, view_of_inner(rt.core(), windows, to_window_list));
  });
}

PyObject* snapshot(PyObject* self, PyObject*) {
  return boundary([&]() -> PyObject* {
    Sorted s = receiver(self);
    return to_list(weft::sorted_snapshot(s->d.handle)).release();
  });
}

PyObject* snapshot_len(PyObject* self, PyObject*) {
  return boundary([&]() -> PyObject* {
    Sorted s = receiver(self);
    return PyLong_FromUnsignedLongLong(weft::sorted_len(s->d.handle));
  });
}

PyObject* version_node(PyObject* self, void*) {
  return boundary([&]() -> PyObject* {
    Sorted s = receiver(self);
    return version_node_of(s->d.runtime, s->d.handle.version_node);
  });
}

PyMethodDef sorted_methods[] = {
    {"pairwise", pairwise, METH_NOARGS, "pairwise($self)\n--\n\n"},
    {"window", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(window)),
     METH_FASTCALL | METH_KEYWORDS, "window($self, size)\n--\n\n"},
    {"snapshot", snapshot, METH_NOARGS, "snapshot($self)\n--\n\n"},
    {"snapshot_len", snapshot_len, METH_NOARGS, "snapshot_len($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef sorted_getset[] = {
    {"version_node", version_node, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot sorted_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<SortedCollectionObject>)},
    {Py_tp_methods, sorted_methods},
    {Py_tp_getset, sorted_getset},
    {0, nullptr},
};

PyType_Spec sorted_spec = {
    "builtins.SortedCollection",
    sizeof(SortedCollectionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    sorted_slots,
};

}  // namespace

PyType_Spec* sorted_collection_type_spec() { return &sorted_spec; }

}  // namespace weft::py
