// One value cell of an arena: empty, or holding one value.
#pragma once

#include <optional>
#include <utility>

#include "weft/failure.hpp"

namespace weft {

[[noreturn]] void fail_unwritten_slot();

template <class T>
class ValueSlot {
 public:
  bool written() const { return value_.has_value(); }

  // A copy of the value; an empty cell is an invariant failure.
  T read() const {
    if (!value_) fail_unwritten_slot();
    return *value_;
  }
  const T* peek() const { return value_ ? &*value_ : nullptr; }

  // Stores `value` and hands back what the cell held, for the caller to drop later.
  std::optional<T> replace(T value) {
    std::optional<T> old(std::move(value_));
    value_.emplace(std::move(value));
    return old;
  }
  std::optional<T> take() {
    std::optional<T> old(std::move(value_));
    value_.reset();
    return old;
  }

 private:
  std::optional<T> value_;
};

}  // namespace weft
