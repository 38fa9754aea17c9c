// The one exception type of the engine, carrying its message: every operation that cannot
// go on throws it, whether from misuse (a stale handle, a cycle, a write to a query), a
// failed callback or a broken internal invariant.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <source_location>
#include <sstream>
#include <string>
#include <string_view>

namespace weft {

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;
using i64 = std::int64_t;

// An operation that cannot continue stops by throwing this. It unwinds to the nearest guard
// (or the Python method boundary), releasing every lock and reference on the way.
class InvariantFailure : public std::exception {
 public:
  explicit InvariantFailure(std::string message, bool has_message = true)
      : message_(std::move(message)), has_message_(has_message) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  // A failure without text (only the binding makes one) is shown with a generic message.
  bool has_message() const noexcept { return has_message_; }

 private:
  std::string message_;
  bool has_message_;
};

// The failure of a read made with the thread's stack nearly used up: it depends on how
// deeply reads nest, not on the graph, so the binding shows it as a RecursionError.
class StackExhausted : public InvariantFailure {
 public:
  using InvariantFailure::InvariantFailure;
};

// Writes a short report (one line: where it failed and the message) to the report sink,
// then throws. Kept out of line so that the hot paths that may fail stay small.
[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());
// The same, throwing StackExhausted.
[[noreturn]] void fail_stack_exhausted(
    std::string message, std::source_location where = std::source_location::current());

// Where failure reports go: standard error, unless the host routes them elsewhere (the
// binding hands them to Python's own `sys.stderr`). A sink is called at the point of
// failure, possibly with a runtime's tables held, so it must neither throw nor call back
// into the engine. Null restores the default.
using FailureReportSink = void (*)(std::string_view report) noexcept;
void set_failure_report_sink(FailureReportSink sink) noexcept;

// What a host keeps beside a failure in flight (the binding's exception that a failed
// callback parked), for a failure the engine sets aside and may raise again later.
class FailureHost {
 public:
  virtual ~FailureHost() = default;
  // Takes what the host keeps of the failure in flight into `kept` (nothing when it keeps
  // nothing). False when the failure must go on at once (it interrupts the program, or
  // there is no room to keep it): nothing is taken then.
  virtual bool set_aside(std::shared_ptr<void>& kept) noexcept = 0;
  // Restores what `set_aside` took, as the failure is raised again. `kept` keeps it too: the
  // same failure may be raised again for another node that meets it in the same read.
  virtual void resume(const std::shared_ptr<void>& kept) noexcept = 0;
};

// Joins the printable pieces of a message.
template <class... Parts>
std::string cat(const Parts&... parts) {
  std::ostringstream out;
  ((out << parts), ...);
  return out.str();
}

}  // namespace weft
