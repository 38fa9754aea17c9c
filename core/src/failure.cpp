#include "weft/failure.hpp"

#include <cstdio>

namespace weft {

namespace {

void report(const std::string& message, std::source_location where) {
  std::fprintf(stderr, "weft: failure at %s:%u: %s\n", where.file_name(),
               static_cast<unsigned>(where.line()), message.c_str());
}

}  // namespace

void fail(std::string message, std::source_location where) {
  report(message, where);
  throw InvariantFailure(std::move(message));
}

void fail_stack_exhausted(std::string message, std::source_location where) {
  report(message, where);
  throw StackExhausted(std::move(message));
}

}  // namespace weft
