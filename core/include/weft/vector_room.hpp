// Room made ahead in a vector, so that a push that must not fail cannot.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace weft {

// Makes room for one more element, growing geometrically (a reserve of exactly one more
// each time would copy the whole vector on every push).
template <class T>
void reserve_one_more(std::vector<T>& v) {
  if (v.size() == v.capacity()) v.reserve(std::max<std::size_t>(4, 2 * v.size()));
}

}  // namespace weft
