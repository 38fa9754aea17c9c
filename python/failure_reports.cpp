#include "failure_reports.hpp"

#include <cstdio>
#include <string>
#include <string_view>

#include "callbacks.hpp"
#include "py_value.hpp"
#include "thread_exit.hpp"
#include "weft/failure.hpp"

namespace weft::py {

namespace {

thread_local std::string waiting_reports;
thread_local bool writing_reports = false;

void write_directly(std::string_view text) noexcept { std::fwrite(text.data(), 1, text.size(), stderr); }

// What a thread has waiting, taken from it (moved: nothing here allocates).
std::string take_waiting_reports() noexcept {
  std::string taken = std::move(waiting_reports);
  waiting_reports.clear();
  reports_waiting = false;
  return taken;
}

// The engine's report sink: keeps the report while the thread is inside the binding
// (holding the interpreter lock), else writes it at once.
void keep_report(std::string_view report) noexcept {
  if (!in_entry_point) {
    write_directly(report);
    return;
  }
  try {
    waiting_reports.append(report);
    reports_waiting = true;
  } catch (const std::bad_alloc&) {
    write_directly(report);
  }
}

}  // namespace

bool write_to_sys_stderr(std::string_view text) noexcept {
  if (text.empty()) return true;
  PyObject* found = PySys_GetObject("stderr");  // borrowed: held, as the write may replace it
  if (found == Py_None) return true;
  PyValue stream = found ? PyValue::borrow(found) : PyValue::steal(nullptr);
  PyValue message = PyValue::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  static PyObject* const write_name = PyUnicode_InternFromString("write");
  if (stream.get() && message.get() && write_name) {
    PyValue written = PyValue::steal(or_hang_at_exit(
        [&] { return PyObject_CallMethodOneArg(stream.get(), write_name, message.get()); }));
    if (written.get()) return true;
  }
  bool interrupted = interrupt_pending();
  if (!interrupted) PyErr_Clear();
  write_directly(text);
  return !interrupted;
}

void chain_replaced_error(FetchedError replaced) noexcept {
  if (!replaced.type.get()) return;
  FetchedError interrupt = FetchedError::fetch();
  interrupt.normalize();
  replaced.normalize();
  PyObject* context = PyException_GetContext(interrupt.value.get());
  if (!context && interrupt.value.get() != replaced.value.get()) {
    PyException_SetContext(interrupt.value.get(), replaced.value.release());
  }
  Py_XDECREF(context);
  interrupt.restore();
}

bool write_waiting_reports() noexcept {
  // A stream that calls back into weft and fails there makes reports of its own: they wait,
  // and go where no Python code runs once this write is done.
  if (writing_reports) return true;
  writing_reports = true;
  FetchedError outer = FetchedError::fetch();
  bool written = write_to_sys_stderr(take_waiting_reports());
  writing_reports = false;
  if (written) {
    outer.restore();
  } else {
    chain_replaced_error(std::move(outer));
  }
  write_waiting_reports_directly();
  return written;
}

void write_waiting_reports_directly() noexcept {
  if (!reports_waiting) return;
  write_directly(take_waiting_reports());
}

void route_failure_reports() noexcept { set_failure_report_sink(&keep_report); }

}  // namespace weft::py
