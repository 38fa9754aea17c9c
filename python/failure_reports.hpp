// The engine's failure reports, written to Python's sys.stderr, where the binding's other
// notices go and where a program can redirect them.
#pragma once

#include <string_view>

namespace weft::py {

struct FetchedError;

// True while this thread has reports waiting to be written.
inline constinit thread_local bool reports_waiting __attribute__((tls_model("initial-exec"))) = false;

// The engine makes a report where it fails, often with a runtime's tables held, where no
// Python code may run; a thread inside the binding keeps it until a method returns to
// Python code, which then writes it with this, through write_to_sys_stderr. The current
// Python error stays as it is, unless the write raised an interrupt: that one becomes the
// current error, with the error it replaced as its context, and the result is false. Needs
// the interpreter lock.
bool write_waiting_reports() noexcept;

// Writes them to the process's standard error, running no Python code: for a thread leaving
// the binding where it cannot raise (a deallocator, a thread that took the interpreter lock
// only to drop a value).
void write_waiting_reports_directly() noexcept;

// Writes `text` to sys.stderr as Python's own output would go: nothing when sys.stderr is
// None; the process's standard error when there is no sys.stderr or its write raises an
// Exception or a PanicException. False when the write raised any other exception (a
// KeyboardInterrupt), which is then the current Python error. Needs the interpreter lock and
// no current error.
bool write_to_sys_stderr(std::string_view text) noexcept;

// Makes the current Python error, an interrupt raised while writing, carry `replaced`, the
// error it takes the place of, as its context (unless it has one).
void chain_replaced_error(FetchedError replaced) noexcept;

// Routes the engine's reports through this binding. Done once, by the module's
// initialisation.
void route_failure_reports() noexcept;

}  // namespace weft::py
