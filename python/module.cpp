// The extension module `weft`: its initialisation, the registration of its classes, and
// the handle classes NodeId and ObserverId.
#include <algorithm>
#include <cstring>

#include "binding.hpp"
#include "weft/hashing.hpp"
#include "weft/stack_headroom.hpp"

namespace weft::py {

namespace {

// ---- NodeId ----

NodeIdObject* node_receiver(PyObject* self) {
  return checked<NodeIdObject>(self, node_id_type, "NodeId", nullptr);
}

PyObject* node_id_repr(PyObject* self) {
  return boundary([&]() -> PyObject* {
    NodeIdObject* node = node_receiver(self);
    SharedAccess access(node->head);
    return PyUnicode_FromFormat("NodeId(slot=%u)", static_cast<unsigned>(node->d.handle.slot));
  });
}

PyObject* node_id_get_id(PyObject* self, void*) {
  return boundary([&]() -> PyObject* {
    NodeIdObject* node = node_receiver(self);
    SharedAccess access(node->head);
    return PyLong_FromUnsignedLong(node->d.handle.slot);
  });
}

void put_le(unsigned char* out, u64 value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

// SipHash-1-3 under the all-zero key over slot, generation and runtime id (little-endian),
// so that the hash is the same in every process.
Py_hash_t node_id_hash(PyObject* self) {
  return boundary_as<Py_hash_t>(-1, [&]() -> Py_hash_t {
    NodeIdObject* node = node_receiver(self);
    SharedAccess access(node->head);
    const Weft<PyValue>& h = node->d.handle;
    unsigned char bytes[16];
    put_le(bytes, h.slot, 4);
    put_le(bytes + 4, h.generation, 4);
    put_le(bytes + 8, h.runtime_id.value, 8);
    auto hash = static_cast<i64>(siphash13(bytes, sizeof bytes, 0, 0));
    return static_cast<Py_hash_t>(hash == -1 ? -2 : hash);
  });
}

PyObject* node_id_richcompare(PyObject* self, PyObject* other, int op) {
  return boundary([&]() -> PyObject* {
    NodeIdObject* node = node_receiver(self);
    SharedAccess access(node->head);
    if (op == Py_EQ) {
      if (!PyObject_TypeCheck(other, node_id_type)) Py_RETURN_NOTIMPLEMENTED;
      NodeIdObject* that = object_cast<NodeIdObject>(other);
      check_thread(that->head);
      return PyBool_FromLong(node->d.handle == that->d.handle);
    }
    if (op == Py_NE) {
      // The negation of `self == other` through the general comparison, so that a foreign
      // right operand gets its own say (and may raise).
      PyObject* equal = PyObject_RichCompare(self, other, Py_EQ);
      if (!equal) throw PythonErrorSet{};
      int truth = PyObject_IsTrue(equal);
      Py_DECREF(equal);
      if (truth < 0) throw PythonErrorSet{};
      return PyBool_FromLong(!truth);
    }
    Py_RETURN_NOTIMPLEMENTED;
  });
}

PyGetSetDef node_id_getset[] = {
    {"id", node_id_get_id, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot node_id_slots[] = {
    {Py_tp_doc, const_cast<char*>("Typed node handle exposed to Python. Wraps `Weft<PyValue>`.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<NodeIdObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(node_id_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(node_id_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(node_id_richcompare)},
    {Py_tp_getset, node_id_getset},
    {0, nullptr},
};

PyType_Spec node_id_spec = {
    "builtins.NodeId",
    sizeof(NodeIdObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    node_id_slots,
};

// ---- ObserverId: a token with identity equality, hash and repr ----

PyType_Slot observer_id_slots[] = {
    {Py_tp_doc, const_cast<char*>("Token for an observer registration; pass to `Runtime.unobserve`.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ObserverIdObject>)},
    {0, nullptr},
};

PyType_Spec observer_id_spec = {
    "builtins.ObserverId",
    sizeof(ObserverIdObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    observer_id_slots,
};

}  // namespace

PyType_Spec* node_id_type_spec() { return &node_id_spec; }
PyType_Spec* observer_id_type_spec() { return &observer_id_spec; }

namespace {

// ---- the module ----

// State size 0, not -1: the import machinery keeps no copy of the namespace to serve later
// imports from (after `del sys.modules["weft"]`, or a reload), but calls PyInit_weft
// again, which hands out the one cached module.
PyModuleDef weft_module = {PyModuleDef_HEAD_INIT, "weft", "", 0, nullptr,
                           nullptr,              nullptr, nullptr, nullptr};

PyObject* cached_module = nullptr;

#if PY_VERSION_HEX < 0x030E0000
// The interpreter raises RecursionError when a thread nests more calls than it allows:
// Python frames up to the recursion limit and, from 3.12, C-level calls up to a fixed
// budget whatever that limit. Reading a long chain of never-computed queries from its far
// end nests a compute per link, and a compute that met the limit on its way in would fail
// before its first read and stay Failed. Reads stop nesting a little before, as they do
// when the stack runs low, so that reading again continues; the margin leaves room for the
// failure to be reported through every level it unwinds.
constexpr int kNestingMargin = 100;

int nested_calls_left(const PyThreadState* thread) {
#if PY_VERSION_HEX >= 0x030C0000
  return std::min(thread->py_recursion_remaining, thread->c_recursion_remaining);
#elif PY_VERSION_HEX >= 0x030B0000
  return thread->recursion_remaining;
#else
  return Py_GetRecursionLimit() - thread->recursion_depth;
#endif
}

bool nesting_budget_nearly_spent() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  const PyThreadState* thread = PyThreadState_GetUnchecked();
#else
  const PyThreadState* thread = _PyThreadState_UncheckedGet();
#endif
  return thread && nested_calls_left(thread) < kNestingMargin;
}
#endif

struct ClassEntry {
  const char* python_name;
  PyTypeObject** type;
  PyType_Spec* (*spec)();
};

const ClassEntry classes[] = {
    {"Runtime", &runtime_type, runtime_type_spec},
    {"NodeId", &node_id_type, node_id_type_spec},
    {"ObserverId", &observer_id_type, observer_id_type_spec},
    {"RuntimeRef", &runtime_ref_type, runtime_ref_type_spec},
    {"Collection", &collection_type, collection_type_spec},
    {"SortedCollection", &sorted_collection_type, sorted_collection_type_spec},
    {"GroupedCollection", &grouped_collection_type, grouped_collection_type_spec},
};

// A heap type keeps only the part of its docstring after the signature line; giving it
// the full text back lets `__text_signature__` report the constructor's signature, while
// `__doc__` (already stored in the type's dict) stays as it is.
bool restore_signature_doc(PyTypeObject* type, const PyType_Spec* spec) {
  for (const PyType_Slot* slot = spec->slots; slot->slot; ++slot) {
    if (slot->slot != Py_tp_doc || !slot->pfunc) continue;
    const char* full = static_cast<const char*>(slot->pfunc);
    if (!std::strstr(full, "\n--\n\n")) return true;
    std::size_t size = std::strlen(full) + 1;
    char* copy = static_cast<char*>(PyObject_Malloc(size));
    if (!copy) {
      PyErr_NoMemory();
      return false;
    }
    std::memcpy(copy, full, size);
    PyObject_Free(const_cast<char*>(type->tp_doc));
    type->tp_doc = copy;
  }
  return true;
}

// Creates the class (once per process), binds it in the module and appends its name to
// the module's `__all__`.
bool register_class(PyObject* module, const ClassEntry& entry) {
  if (!*entry.type) {
    PyType_Spec* spec = entry.spec();
    PyObject* type = PyType_FromSpec(spec);
    if (!type) return false;
    if (!restore_signature_doc(reinterpret_cast<PyTypeObject*>(type), spec)) {
      Py_DECREF(type);
      return false;
    }
    *entry.type = reinterpret_cast<PyTypeObject*>(type);
  }
  if (PyModule_AddObjectRef(module, entry.python_name, reinterpret_cast<PyObject*>(*entry.type)) < 0) {
    return false;
  }
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyList_New(0);
    if (!all || PyModule_AddObjectRef(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      return false;
    }
  }
  PyObject* name = PyUnicode_FromString(entry.python_name);
  int appended = name ? PyList_Append(all, name) : -1;
  Py_XDECREF(name);
  Py_DECREF(all);
  return appended == 0;
}

}  // namespace

}  // namespace weft::py

PyMODINIT_FUNC PyInit_weft(void) {
  using namespace weft::py;
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "weft cannot be initialised in a sub-interpreter; import it from the "
                    "main interpreter");
    return nullptr;
  }
  if (cached_module) return Py_NewRef(cached_module);
#if PY_VERSION_HEX < 0x030E0000
  weft::set_host_nesting_check(&nesting_budget_nearly_spent);
#endif
  route_failure_reports();
  // Made now rather than at the first failure, which may come at the recursion limit,
  // where creating a class fails.
  if (!panic_exception_type()) {
    PyErr_SetString(PyExc_ImportError, "weft: could not create the PanicException class");
    return nullptr;
  }
  PyObject* module = PyModule_Create(&weft_module);
  if (!module) return nullptr;
  for (const ClassEntry& entry : classes) {
    if (!register_class(module, entry)) {
      Py_DECREF(module);
      return nullptr;
    }
  }
  cached_module = Py_NewRef(module);
  return module;
}
