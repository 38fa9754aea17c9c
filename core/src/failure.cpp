#include "weft/failure.hpp"

#include <cstdio>

namespace weft {

void fail(std::string message, std::source_location where) {
  std::fprintf(stderr, "weft: failure at %s:%u: %s\n", where.file_name(),
               static_cast<unsigned>(where.line()), message.c_str());
  throw InvariantFailure(std::move(message));
}

}  // namespace weft
