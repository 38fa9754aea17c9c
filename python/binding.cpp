// The out-of-line parts of the method machinery: affinity and conversion failures,
// argument extraction, argument parsing and the guard's conversion of failures.
#include "binding.hpp"

#include <cstring>
#include <string>

namespace weft::py {

ThreadId assign_thread_id() noexcept {
  static std::atomic<ThreadId> next{1};
  this_thread_id = next.fetch_add(1, std::memory_order_relaxed);
  return this_thread_id;
}

PyTypeObject* runtime_type = nullptr;
PyTypeObject* node_id_type = nullptr;
PyTypeObject* observer_id_type = nullptr;
PyTypeObject* runtime_ref_type = nullptr;
PyTypeObject* collection_type = nullptr;
PyTypeObject* sorted_collection_type = nullptr;
PyTypeObject* grouped_collection_type = nullptr;

const char* internal_type_name(PyTypeObject* type) noexcept {
  if (type == runtime_type) return "weft::PyRuntime";
  if (type == node_id_type) return "weft::PyNodeId";
  if (type == observer_id_type) return "weft::PyObserverId";
  if (type == runtime_ref_type) return "weft::PyRuntimeRef";
  if (type == collection_type) return "weft::PyCollection";
  if (type == sorted_collection_type) return "weft::PySortedCollection";
  if (type == grouped_collection_type) return "weft::PyGroupedCollection";
  return type->tp_name;
}

const char* short_type_name(PyObject* obj) noexcept {
  const char* name = Py_TYPE(obj)->tp_name;
  const char* dot = std::strrchr(name, '.');
  return dot ? dot + 1 : name;
}

void report_foreign_drop(PyTypeObject* type) noexcept {
  FetchedError saved = FetchedError::fetch();
  PyErr_Format(PyExc_RuntimeError, "%s is unsendable, but is being dropped on another thread",
               internal_type_name(type));
  PyErr_WriteUnraisable(nullptr);
  saved.restore();
}

void fail_unsendable(PyTypeObject* type) {
  fail(cat(internal_type_name(type), " is unsendable, but sent to another thread"));
}

void fail_already_mutably_borrowed() { fail("Already mutably borrowed"); }

void raise_conversion_error(PyObject* obj, const char* class_name, const char* arg_name) {
  if (arg_name) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'",
                 arg_name, short_type_name(obj), class_name);
  } else {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", short_type_name(obj),
                 class_name);
  }
  throw PythonErrorSet{};
}

ObserverToken extract_observer(PyObject* arg, const char* arg_name) {
  return checked<ObserverIdObject>(arg, observer_id_type, "ObserverId", arg_name)->d;
}

std::string extract_str(PyObject* arg, const char* arg_name) {
  if (!PyUnicode_Check(arg)) raise_conversion_error(arg, "str", arg_name);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(arg, &size);
  if (!data) throw PythonErrorSet{};
  return std::string(data, static_cast<std::size_t>(size));
}

u32 extract_u32(PyObject* arg, const char* arg_name) {
  if (!PyLong_Check(arg)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be interpreted as an integer",
                 arg_name, short_type_name(arg));
    throw PythonErrorSet{};
  }
  long value = PyLong_AsLong(arg);
  if (value == -1 && PyErr_Occurred()) throw PythonErrorSet{};
  if (value < 0) {
    PyErr_SetString(PyExc_OverflowError, "number too small to fit in target type");
    throw PythonErrorSet{};
  }
  if (value > 0xFFFFFFFFL) {
    PyErr_SetString(PyExc_OverflowError, "number too large to fit in target type");
    throw PythonErrorSet{};
  }
  return static_cast<u32>(value);
}

PyObject* wrap_node(Weft<PyValue> handle) {
  return reinterpret_cast<PyObject*>(new_object<NodeIdObject>(node_id_type, handle));
}

PyObject* wrap_observer(ObserverToken observer) {
  return reinterpret_cast<PyObject*>(new_object<ObserverIdObject>(observer_id_type, observer));
}

// ---- argument parsing ----

namespace {

std::string quoted_list(const char* const* names, const std::size_t* which, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) out += (n == 2) ? " and " : (i + 1 == n ? ", and " : ", ");
    out += "'";
    out += names[which[i]];
    out += "'";
  }
  return out;
}

[[noreturn]] void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw PythonErrorSet{};
}

// Index of the parameter a keyword names, or `count` when none.
std::size_t keyword_index(PyObject* key, const char* const* names, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, names[i]) == 0) return i;
  }
  return count;
}

std::string key_text(PyObject* key) {
  if (PyUnicode_Check(key)) {
    if (const char* text = PyUnicode_AsUTF8(key)) return text;
    PyErr_Clear();
  }
  return "?";
}

void check_positional_count(const char* fname, std::size_t count, Py_ssize_t nargs) {
  if (nargs <= static_cast<Py_ssize_t>(count)) return;
  raise_type_error(cat(fname, " takes ", count, " positional argument", count == 1 ? "" : "s",
                       " but ", nargs, nargs == 1 ? " was" : " were", " given"));
}

void assign_keyword(const char* fname, const char* const* names, std::size_t count, PyObject* key,
                    PyObject* value, PyObject** out) {
  std::size_t index = keyword_index(key, names, count);
  if (index == count) {
    raise_type_error(cat(fname, " got an unexpected keyword argument '", key_text(key), "'"));
  }
  if (out[index]) raise_type_error(cat(fname, " got multiple values for argument '", names[index], "'"));
  out[index] = value;
}

void check_missing(const char* fname, const char* const* names, std::size_t count, PyObject** out) {
  std::size_t missing[16];
  std::size_t n = 0;
  for (std::size_t i = 0; i < count && n < 16; ++i) {
    if (!out[i]) missing[n++] = i;
  }
  if (n == 0) return;
  raise_type_error(cat(fname, " missing ", n, " required positional argument", n == 1 ? "" : "s",
                       ": ", quoted_list(names, missing, n)));
}

}  // namespace

void parse_args_slow(const char* fname, const char* const* names, std::size_t count,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  check_positional_count(fname, count, nargs);
  for (std::size_t i = 0; i < count; ++i) out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      assign_keyword(fname, names, count, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
    }
  }
  check_missing(fname, names, count, out);
}

void parse_tuple_args(const char* fname, const char* const* names, std::size_t count,
                      PyObject* args, PyObject* kwargs, PyObject** out) {
  Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
  check_positional_count(fname, count, nargs);
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = i < static_cast<std::size_t>(nargs) ? PyTuple_GET_ITEM(args, i) : nullptr;
  }
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) assign_keyword(fname, names, count, key, value, out);
  }
  check_missing(fname, names, count, out);
}

// ---- guards ----

void convert_guarded_failure(const InvariantFailure& failure) {
  end_passage();
  if (restore_pending_error()) throw PythonErrorSet{};
  if (const auto* exhausted = dynamic_cast<const StackExhausted*>(&failure)) {
    set_recursion_error(*exhausted);
    throw PythonErrorSet{};
  }
  if (!failure.has_message()) throw failure;
  const std::string& message = failure.message();
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text) {
    PyErr_SetObject(PyExc_RuntimeError, text);
    Py_DECREF(text);
  }
  throw PythonErrorSet{};
}

PyValue built(PyObject* obj) {
  if (!obj) fail_with_python_error("weft: failed to build a result: ");
  return PyValue::steal(obj);
}

PyValue list_of(std::vector<PyValue> items) {
  PyValue list = built(PyList_New(static_cast<Py_ssize_t>(items.size())));
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items[i].release());
  }
  return list;
}

}  // namespace weft::py
