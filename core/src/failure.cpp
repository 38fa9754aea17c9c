#include "weft/failure.hpp"

#include <atomic>
#include <cstdio>
#include <new>
#include <string>

namespace weft {

namespace {

// Set once by a host at start-up, read by every failing thread.
constinit std::atomic<FailureReportSink> report_sink{nullptr};

void report(const std::string& message, std::source_location where) {
  if (FailureReportSink sink = report_sink.load(std::memory_order_acquire)) {
    try {
      sink(std::string("weft: failure at ") + where.file_name() + ':' + std::to_string(where.line()) +
           ": " + message + '\n');
      return;
    } catch (const std::bad_alloc&) {  // no room for the line: written directly instead
    }
  }
  std::fprintf(stderr, "weft: failure at %s:%u: %s\n", where.file_name(),
               static_cast<unsigned>(where.line()), message.c_str());
}

}  // namespace

void set_failure_report_sink(FailureReportSink sink) noexcept {
  report_sink.store(sink, std::memory_order_release);
}

void fail(std::string message, std::source_location where) {
  report(message, where);
  throw InvariantFailure(std::move(message));
}

void fail_stack_exhausted(std::string message, std::source_location where) {
  report(message, where);
  throw StackExhausted(std::move(message));
}

}  // namespace weft
