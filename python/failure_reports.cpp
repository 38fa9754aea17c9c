#include "failure_reports.hpp"

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "callbacks.hpp"
#include "py_value.hpp"
#include "thread_exit.hpp"
#include "weft/failure.hpp"

namespace weft::py {

namespace {

// A call that fails in a loop (a query catching a failed read many times over) would
// otherwise keep a report per failure until it returns; past this much text (or the first
// report, however long) the rest are counted, and a line says how many were left out.
constexpr std::size_t kKeptReportBytes = 64 * 1024;

thread_local std::string waiting_reports;
thread_local std::size_t left_out_reports = 0;

void write_directly(std::string_view text) noexcept { std::fwrite(text.data(), 1, text.size(), stderr); }

// What a thread has waiting, taken from it (moved: nothing here allocates).
struct WaitingReports {
  std::string text;
  char left_out_line[80] = "";  // says how many were left out, if any were
};

WaitingReports take_waiting_reports() noexcept {
  WaitingReports taken;
  taken.text = std::move(waiting_reports);
  waiting_reports.clear();
  if (left_out_reports != 0) {
    std::snprintf(taken.left_out_line, sizeof taken.left_out_line,
                  "weft: failure reports left out (too many in one call): %zu\n", left_out_reports);
    left_out_reports = 0;
  }
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
  reports_waiting = true;
  if (!waiting_reports.empty() && waiting_reports.size() + report.size() > kKeptReportBytes) {
    ++left_out_reports;
    return;
  }
  try {
    waiting_reports.append(report);
  } catch (const std::bad_alloc&) {
    ++left_out_reports;
  }
}

// Writes `text` to sys.stderr as Python's own output would go. False when the write raised
// an exception outside Exception, which is then the current Python error; any other failure
// to write sends the text to the process's standard error.
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
  bool interrupted = PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception);
  if (!interrupted) PyErr_Clear();
  write_directly(text);
  return !interrupted;
}

// Makes the current Python error (an interrupt raised while writing) carry `replaced`, the
// error it takes the place of, as its context.
void chain_replaced_error(FetchedError replaced) noexcept {
  if (!replaced.type.get()) return;
  FetchedError interrupt = FetchedError::fetch();
  interrupt.normalize();
  replaced.normalize();
  if (replaced.traceback.get()) PyException_SetTraceback(replaced.value.get(), replaced.traceback.get());
  PyException_SetContext(interrupt.value.get(), replaced.value.release());
  interrupt.restore();
}

}  // namespace

bool write_waiting_reports() noexcept {
  FetchedError outer = FetchedError::fetch();
  WaitingReports taken = take_waiting_reports();
  bool written = write_to_sys_stderr(taken.text);
  if (written) {
    written = write_to_sys_stderr(taken.left_out_line);
  } else {
    write_directly(taken.left_out_line);
  }
  if (written) {
    outer.restore();
  } else {
    chain_replaced_error(std::move(outer));
  }
  // Failures inside the write (a stream that calls back into weft) are not written through
  // it again.
  write_waiting_reports_directly();
  return written;
}

void write_waiting_reports_directly() noexcept {
  if (!reports_waiting) return;
  WaitingReports taken = take_waiting_reports();
  write_directly(taken.text);
  write_directly(taken.left_out_line);
}

void route_failure_reports() noexcept { set_failure_report_sink(&keep_report); }

}  // namespace weft::py
