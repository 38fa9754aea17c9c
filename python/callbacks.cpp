// PanicException, the pending callback error slot, the failure path of Python calls, the
// query compute and the RuntimeRef class.
#include "callbacks.hpp"

#include <string>

#include "binding.hpp"
#include "failure_reports.hpp"

namespace weft::py {

namespace {

// How many notices a failure prints as it passes back through the Python code of nested
// queries, and how many it has printed so far on this thread. `in_passage`: the failure
// about to become a PanicException is one coming back out of Python code, not a new one.
constexpr int kPassingNoticesShown = 3;
thread_local int passing_notices = 0;
thread_local bool in_passage = false;

// What a failure without a message shows.
constexpr const char* kNoMessage = "weft: internal invariant failure (no message)";

constexpr const char* kPanicDoc =
    "Raised when an internal invariant of weft's native code fails.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "normally propagates all the way up the stack and ends the interpreter instead of\n"
    "being swallowed by an ordinary `except Exception` handler.";

PyObject* panic_type = nullptr;

// The attribute under which a PanicException keeps the callback exception it carries.
constexpr const char* kCarriedCause = "_weft_cause";

void park(PyObject* type, PyObject* value, PyObject* traceback) {
  PendingError old = pending_error;
  pending_error = {type, value, traceback};
  Py_XDECREF(old.type);
  Py_XDECREF(old.value);
  Py_XDECREF(old.traceback);
}

// UTF-8 text of a str object; unencodable characters are escaped. False on failure.
bool utf8_of(PyObject* text, std::string& out) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
    out.assign(data, static_cast<std::size_t>(size));
    return true;
  }
  PyErr_Clear();
  PyValue bytes = PyValue::steal(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
  if (!bytes.get()) {
    PyErr_Clear();
    return false;
  }
  out.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  return true;
}

// `str(obj)`, or nullopt-like false when str() raises (the error is cleared).
bool str_of(PyObject* obj, std::string& out) {
  PyValue text = PyValue::steal(PyObject_Str(obj));
  if (!text.get()) {
    PyErr_Clear();
    return false;
  }
  return utf8_of(text.get(), out);
}

// The qualified name of an exception type ("ZeroDivisionError", "Outer.Inner").
std::string qualified_name(PyObject* type) {
  std::string name;
  if (PyValue qualname = PyValue::steal(PyObject_GetAttrString(type, "__qualname__")); qualname.get()) {
    if (PyUnicode_Check(qualname.get()) && utf8_of(qualname.get(), name)) return name;
  } else {
    PyErr_Clear();
  }
  return PyType_Check(type) ? reinterpret_cast<PyTypeObject*>(type)->tp_name : "<unknown>";
}

// The text of an exception: str() of it, except that an exception holding one str
// argument and keeping BaseException's own __str__ gives that argument directly. That
// case needs no call, so it works at the recursion limit too, where str() itself would
// fail (a RecursionError raised by the innermost of many nested queries).
bool exception_text(PyObject* value, std::string& out) {
  PyTypeObject* base = reinterpret_cast<PyTypeObject*>(PyExc_BaseException);
  if (PyExceptionInstance_Check(value) && Py_TYPE(value)->tp_str == base->tp_str) {
    PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(value)->args;
    if (args && PyTuple_GET_SIZE(args) == 1 && PyUnicode_CheckExact(PyTuple_GET_ITEM(args, 0))) {
      return utf8_of(PyTuple_GET_ITEM(args, 0), out);
    }
  }
  return str_of(value, out);
}

// "<qualified type name>: <str of the value>".
std::string format_exception(PyObject* type, PyObject* value) {
  std::string text;
  if (!exception_text(value, text)) text = "<exception str() failed>";
  return qualified_name(type) + ": " + text;
}

// The message a PanicException carries: its single str argument, else str() of it.
// `has_message` is false for the panic of a failure that had none.
std::string panic_message(PyObject* value, bool& has_message) {
  std::string message;
  has_message = true;
  PyValue args = PyValue::steal(PyObject_GetAttrString(value, "args"));
  PyObject* tuple = args.get();
  if (!(tuple && PyTuple_Check(tuple) && PyTuple_GET_SIZE(tuple) == 1 &&
        PyUnicode_Check(PyTuple_GET_ITEM(tuple, 0)) && utf8_of(PyTuple_GET_ITEM(tuple, 0), message))) {
    PyErr_Clear();
    if (!str_of(value, message)) message = kNoMessage;
  }
  if (message == kNoMessage) has_message = false;
  return message;
}

// The notice for a PanicException that came back out of Python code: where it passed
// (the traceback) and its message. Printing may itself fail near the recursion limit, so
// each piece is written on its own and a failed piece is skipped. False when writing raised
// an interrupt, which is then the current Python error.
bool print_passing_panic(PyObject* traceback, const std::string& message) {
  if (!write_to_sys_stderr("weft: a PanicException passed back through Python code; "
                           "the failure it stands for continues:\n")) {
    return false;
  }
  // Held: a write may replace sys.stderr, dropping the stream the traceback goes on to.
  PyObject* stream = PySys_GetObject("stderr");
  PyValue err = stream ? PyValue::borrow(stream) : PyValue::none();
  if (traceback && err.get() != Py_None && PyTraceBack_Print(traceback, err.get()) < 0) {
    if (interrupt_pending()) return false;
    PyErr_Clear();
  }
  return write_to_sys_stderr("weft.PanicException: " + message + "\n");
}

PyObject* message_object(const std::string& message) {
  return PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
}

}  // namespace

PyObject* panic_exception_type() noexcept {
  if (!panic_type) {
    FetchedError outer = FetchedError::fetch();
    panic_type = PyErr_NewExceptionWithDoc("weft.PanicException", kPanicDoc,
                                           PyExc_BaseException, nullptr);
    if (!panic_type) PyErr_Clear();
    outer.restore();
  }
  return panic_type;
}

bool interrupt_pending() noexcept {
  PyObject* panic = panic_exception_type();
  return PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception) &&
         !(panic && PyErr_ExceptionMatches(panic));
}

namespace {

// A KeyboardInterrupt or SystemExit (any exception outside Exception) that a callback
// raised is no failure of the engine: it continues as itself, so that the Python code
// between here and the outer guard cannot swallow it with `except Exception`. Restores
// such a parked exception (true).
bool restore_parked_interrupt() noexcept {
  if (pending_error.type && !PyErr_GivenExceptionMatches(pending_error.type, PyExc_Exception)) {
    restore_pending_error();
    return true;
  }
  return false;
}

// An instance of the exception type `type` (a subclass of BaseException that keeps its
// construction) with the one argument `text`, made through the type's slots: a failure that
// leaves a read made at the recursion limit would find a call of the type refused.
PyValue new_exception(PyObject* type, PyObject* text) {
  PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(type);
  PyValue args = PyValue::steal(PyTuple_Pack(1, text));
  if (!args.get()) return args;
  PyValue made = PyValue::steal(cls->tp_new(cls, args.get(), nullptr));
  if (made.get() && cls->tp_init(made.get(), args.get(), nullptr) < 0) return PyValue::steal(nullptr);
  return made;
}

// The callback exception parked by the failure about to leave as a PanicException, taken
// out of the slot with its traceback attached (null if none is parked). The panic carries it
// as its `__cause__`: a failure that crosses the Python code of a query and continues
// (`fail_from_python_error`) parks it again, so that the outer guard raises the callback's
// own exception; a panic the program catches takes it away, and nothing stays parked.
PyValue take_parked_cause() noexcept {
  if (!pending_error.type) return PyValue::steal(nullptr);
  PendingError parked = std::exchange(pending_error, PendingError{});
  FetchedError taken{PyValue::steal(parked.type), PyValue::steal(parked.value),
                     PyValue::steal(parked.traceback)};
  taken.normalize();
  if (!taken.value.get() || !PyExceptionInstance_Check(taken.value.get())) return PyValue::steal(nullptr);
  return std::move(taken.value);
}

}  // namespace

void set_panic(const InvariantFailure& failure) noexcept {
  if (!std::exchange(in_passage, false)) passing_notices = 0;  // a new failure starts
  if (restore_parked_interrupt()) return;
  PyErr_Clear();  // the panic replaces any error still set, as setting one would
  PyValue cause = take_parked_cause();
  const std::string& message = failure.has_message() ? failure.message() : std::string(kNoMessage);
  PyObject* type = panic_exception_type();
  if (!type) type = PyExc_SystemError;
  PyValue text = PyValue::steal(message_object(message));
  if (!text.get()) return;  // the decoding error is the one left set
  PyValue panic = new_exception(type, text.get());
  if (!panic.get()) {
    // Set without its cause, for the interpreter to make when it is caught.
    PyErr_Clear();
    PyErr_SetObject(type, text.get());
    return;
  }
  if (cause.get()) {
    // Marked as the cause weft attached, which alone is parked again (see repark_cause).
    if (PyObject_SetAttrString(panic.get(), kCarriedCause, cause.get()) < 0) PyErr_Clear();
    PyException_SetCause(panic.get(), cause.release());
  }
  PyErr_SetObject(type, panic.get());
}

void set_memory_error() noexcept {
  if (restore_parked_interrupt()) return;
  discard_pending_error();
  PyErr_NoMemory();
}

void set_recursion_error(const StackExhausted& failure) noexcept {
  if (restore_parked_interrupt()) return;
  discard_pending_error();
  const std::string& message = failure.message();
  if (PyObject* text = message_object(message)) {
    PyErr_SetObject(PyExc_RecursionError, text);
    Py_DECREF(text);
  }
}

bool restore_pending_error() noexcept {
  if (!pending_error.type) return false;
  PendingError taken = std::exchange(pending_error, PendingError{});
  PyErr_Restore(taken.type, taken.value, taken.traceback);
  return true;
}

void discard_pending_error() noexcept { park(nullptr, nullptr, nullptr); }

namespace {

class ParkedErrorHost final : public FailureHost {
 public:
  bool set_aside(std::shared_ptr<void>& kept) noexcept override {
    if (!pending_error.type) return true;
    // A KeyboardInterrupt or SystemExit is the program's, not a callback's failure.
    if (!PyErr_GivenExceptionMatches(pending_error.type, PyExc_Exception)) return false;
    try {
      // Made empty first: the slot's references move in only once nothing can fail.
      auto held = std::make_shared<FetchedError>(
          FetchedError{PyValue::steal(nullptr), PyValue::steal(nullptr), PyValue::steal(nullptr)});
      PendingError taken = std::exchange(pending_error, PendingError{});
      *held = {PyValue::steal(taken.type), PyValue::steal(taken.value), PyValue::steal(taken.traceback)};
      kept = std::move(held);
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }
  void resume(const std::shared_ptr<void>& kept) noexcept override {
    park_pending_error(*static_cast<const FetchedError*>(kept.get()));  // new references
  }
};

}  // namespace

FailureHost& parked_error_host() noexcept {
  static ParkedErrorHost host;
  return host;
}

void end_failure_notices() noexcept {
  passing_notices = 0;
  in_passage = false;
}

void end_passage() noexcept { in_passage = false; }

void park_pending_error(const PendingError& error) noexcept {
  park(error.type, error.value, error.traceback);
}

void park_pending_error(FetchedError error) noexcept {
  park(error.type.release(), error.value.release(), error.traceback.release());
}

namespace {

// Parks again the callback exception a PanicException carries (see take_parked_cause):
// only the cause set_panic attached and marked (an Exception, as only those are taken), not
// one the program gave a panic of its own or put in that one's place.
void repark_cause(PyObject* panic) noexcept {
  if (!PyExceptionInstance_Check(panic)) return;
  PyValue marked = PyValue::steal(PyObject_GetAttrString(panic, kCarriedCause));
  if (!marked.get()) {
    PyErr_Clear();
    return;
  }
  PyValue cause = PyValue::steal(PyException_GetCause(panic));  // null when none
  if (cause.get() != marked.get()) return;
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(cause.get())));
  PyObject* traceback = PyException_GetTraceback(cause.get());
  park(type, cause.release(), traceback);
}

}  // namespace

void fail_from_python_error() {
  FetchedError error = FetchedError::fetch();
  if (!error.type.get()) {
    error.type = PyValue::borrow(PyExc_SystemError);
    error.value = PyValue::steal(PyUnicode_FromString("attempted to fetch exception but none was set"));
  }
  error.normalize();
  if (!error.value.get()) error.value = PyValue::none();

  PyObject* panic = panic_exception_type();
  if (panic && PyErr_GivenExceptionMatches(error.type.get(), panic)) {
    // A failure of the engine that crossed Python code: it continues as itself.
    bool has_message = true;
    std::string message = panic_message(error.value.get(), has_message);
    // Reads nested thousands deep would print one notice per query the failure unwinds
    // through: the innermost few say where it came from.
    bool written = true;
    if (passing_notices < kPassingNoticesShown) {
      written = print_passing_panic(error.traceback.get(), message);
    } else if (passing_notices == kPassingNoticesShown) {
      written = write_to_sys_stderr("weft: (its further passages back through Python code are not shown)\n");
    }
    if (!written) {
      // Interrupted while writing the notice: the interrupt goes on in place of the failure,
      // as one that the query's own code raised would.
      chain_replaced_error(std::move(error));
      fail_from_python_error();
    }
    ++passing_notices;
    in_passage = true;
    repark_cause(error.value.get());
    throw InvariantFailure(std::move(message), has_message);
  }

  std::string text = format_exception(error.type.get(), error.value.get());
  park_pending_error(std::move(error));
  fail("weft: python callback raised: " + text);
}

void fail_from_compute_call(Runtime& runtime) {
  if (runtime.retreating()) {
    // The retreat itself passes back through Python code as a PanicException; anything
    // else outside Exception is the program's.
    if (PyErr_Occurred() && !interrupt_pending()) {
      PyErr_Clear();
      throw InvariantFailure("weft: a compute run ahead of need was abandoned");
    }
    runtime.end_retreat();
  }
  fail_from_python_error();
}

void fail_with_python_error(std::string_view context) {
  FetchedError error = FetchedError::fetch();
  std::string text = "unknown error";
  if (error.type.get()) {
    error.normalize();
    text = error.value.get() ? format_exception(error.type.get(), error.value.get())
                             : qualified_name(error.type.get());
  }
  fail(std::string(context) + text);
}

// ---- the query compute ----

namespace {

[[noreturn]] void fail_already_borrowed() { fail("Already borrowed"); }

RuntimeRefObject* as_ref(const PyValue& ref) {
  return object_cast<RuntimeRefObject>(ref.get());
}

}  // namespace

PyValue RuntimeRefPool::take(Runtime& runtime) {
  PyValue ref = spare_.empty() ? new_ref() : take_spare();
  as_ref(ref)->d.runtime = &runtime;
  return ref;
}

PyValue RuntimeRefPool::new_ref() {
  try {
    return PyValue::steal(reinterpret_cast<PyObject*>(new_object<RuntimeRefObject>(runtime_ref_type)));
  } catch (const PythonErrorSet&) {
    fail_with_python_error("weft: could not create the RuntimeRef of a query: ");
  }
}

// An unreachable object may take the affinity of the thread that now uses it.
PyValue RuntimeRefPool::take_spare() {
  PyValue ref = std::move(spare_.back());
  spare_.pop_back();
  as_ref(ref)->head.owner_thread = current_thread();
  return ref;
}

void RuntimeRefPool::give_back(PyValue ref) {
  RuntimeRefObject* obj = as_ref(ref);
  // Dead first: a ref still in use is an invariant failure, and must not outlive it live.
  obj->d.runtime = nullptr;
  if (obj->head.borrow.load(std::memory_order_relaxed) != 0) fail_already_borrowed();
  if (Py_REFCNT(ref.get()) == 1 && spare_.size() < kMaxSpare) spare_.push_back(std::move(ref));
}

PyValue QueryCompute::operator()(Runtime& runtime) {
  GilGuard gil;
  PyValue ref = refs->take(runtime);
  PyValue value = PyValue::steal(detail::vectorcall(py_func, ref));  // null when it raised
  refs->give_back(std::move(ref));
  if (!value.get()) fail_from_compute_call(runtime);
  return value;
}

// ---- RuntimeRef ----

namespace {

PyObject* runtime_ref_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"node"};
    PyObject* argv[1];
    parse_args("RuntimeRef.get()", names, args, nargs, kwnames, argv);
    Receiver<RuntimeRefObject> ref(self, runtime_ref_type, "RuntimeRef");
    Weft<PyValue> node = extract_node(argv[0], "node");
    Runtime* runtime = ref->d.runtime;
    if (!runtime) {
      PyErr_SetString(PyExc_RuntimeError,
                      "RuntimeRef is no longer valid (used outside query callback)");
      throw PythonErrorSet{};
    }
    return runtime->read(node).release();
  });
}

PyMethodDef runtime_ref_methods[] = {
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(runtime_ref_get)),
     METH_FASTCALL | METH_KEYWORDS, "get($self, node)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot runtime_ref_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Read-only runtime handle passed to query closures. The pointer is\n"
                    "nulled out after the callback returns to make stale captures fail\n"
                    "loudly rather than silently corrupt memory.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<RuntimeRefObject>)},
    {Py_tp_methods, runtime_ref_methods},
    {0, nullptr},
};

PyType_Spec runtime_ref_spec = {
    "builtins.RuntimeRef",
    sizeof(RuntimeRefObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    runtime_ref_slots,
};

}  // namespace

PyType_Spec* runtime_ref_type_spec() { return &runtime_ref_spec; }

}  // namespace weft::py
