// The GroupedCollection class: the groups as the router last left them.
#include "collection_binding.hpp"

namespace weft::py {

namespace {

using Grouped = Receiver<GroupedCollectionObject>;

Grouped receiver(PyObject* self) { return Grouped(self, grouped_collection_type, "GroupedCollection"); }

PyObject* keys(PyObject* self, PyObject*) {
  return boundary([&]() -> PyObject* {
    Grouped g = receiver(self);
    return to_list(weft::group_keys(g->d.handle)).release();
  });
}

PyObject* get_group(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"key"};
    PyObject* argv[1];
    parse_args("GroupedCollection.get_group()", names, args, nargs, kwnames, argv);
    Grouped g = receiver(self);
    std::optional<PyCollectionHandle> group = weft::get_group(g->d.handle, PyValue::borrow(argv[0]));
    if (!group) return none();
    return wrap_collection(g->d.runtime, std::move(*group));
  });
}

PyObject* group_count(PyObject* self, PyObject*) {
  return boundary([&]() -> PyObject* {
    Grouped g = receiver(self);
    return PyLong_FromUnsignedLongLong(weft::group_count(g->d.handle));
  });
}

PyObject* version_node(PyObject* self, void*) {
  return boundary([&]() -> PyObject* {
    Grouped g = receiver(self);
    return version_node_of(g->d.runtime, g->d.handle.router);
  });
}

PyMethodDef grouped_methods[] = {
    {"keys", keys, METH_NOARGS, "keys($self)\n--\n\n"},
    {"get_group", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_group)),
     METH_FASTCALL | METH_KEYWORDS, "get_group($self, key)\n--\n\n"},
    {"group_count", group_count, METH_NOARGS, "group_count($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef grouped_getset[] = {
    {"version_node", version_node, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot grouped_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<GroupedCollectionObject>)},
    {Py_tp_methods, grouped_methods},
    {Py_tp_getset, grouped_getset},
    {0, nullptr},
};

PyType_Spec grouped_spec = {
    "builtins.GroupedCollection",
    sizeof(GroupedCollectionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    grouped_slots,
};

}  // namespace

PyType_Spec* grouped_collection_type_spec() { return &grouped_spec; }

}  // namespace weft::py
