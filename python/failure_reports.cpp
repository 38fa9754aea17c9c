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

void write_directly(std::string_view text) noexcept { std::fwrite(text.data(), 1, text.size(), stderr); }

// The engine's report sink: keeps the report for the thread's next passage to Python code
// when the thread is inside the binding (holding the interpreter lock), else writes it at
// once.
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

void write_waiting_reports() noexcept {
  // Taken first: writing runs Python code, which may fail in the engine and add reports.
  std::string text = std::move(waiting_reports);
  waiting_reports.clear();
  reports_waiting = false;
  FetchedError error = FetchedError::fetch();
  PyValue message = PyValue::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message.get()) {
    // Falls back on the process's standard error when sys.stderr is missing or fails.
    or_hang_at_exit([&] { PySys_FormatStderr("%U", message.get()); });
  } else {
    PyErr_Clear();
    write_directly(text);
  }
  error.restore();
}

void route_failure_reports() noexcept { set_failure_report_sink(&keep_report); }

}  // namespace weft::py
