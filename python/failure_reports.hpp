// The engine's failure reports, written to Python's sys.stderr, where the binding's other
// notices go and where a program can redirect them.
#pragma once

namespace weft::py {

// True while this thread has reports waiting to be written.
inline constinit thread_local bool reports_waiting __attribute__((tls_model("initial-exec"))) = false;

// Writes this thread's waiting reports to sys.stderr (to the process's standard error if
// that fails), keeping the current Python error as it is. Needs the interpreter lock.
void write_waiting_reports() noexcept;

// Called wherever the binding leaves the engine for Python code: at the end of an entry
// point and before a call of a Python callable. The engine makes a report where it fails,
// often with a runtime's tables held, where Python code must not run; the report waits
// until then.
inline void write_failure_reports() noexcept {
  if (reports_waiting) [[unlikely]] write_waiting_reports();
}

// Routes the engine's reports through this binding. Done once, by the module's
// initialisation.
void route_failure_reports() noexcept;

}  // namespace weft::py
