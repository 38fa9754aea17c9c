// A number that stands for a value in comparisons, so that a search through many values
// can compare numbers it keeps at hand instead of reading each value where it lives.
#pragma once

#include <optional>

#include "weft/failure.hpp"

namespace weft {

// Two summaries of one kind order and compare exactly as the values they stand for; a
// summary of kind None, or two of different kinds, settle nothing. A Real is never NaN.
struct OrderSummary {
  enum class Kind : u8 { None, Integer, Real };
  Kind kind = Kind::None;
  union {
    i64 integer = 0;
    double real;
  };

  static OrderSummary of_integer(i64 v) {
    OrderSummary s;
    s.kind = Kind::Integer;
    s.integer = v;
    return s;
  }
  static OrderSummary of_real(double v) {
    OrderSummary s;
    s.kind = Kind::Real;
    s.real = v;
    return s;
  }
};

// `a < b` when the summaries settle it.
inline std::optional<bool> summary_less(const OrderSummary& a, const OrderSummary& b) {
  if (a.kind != b.kind || a.kind == OrderSummary::Kind::None) return std::nullopt;
  return a.kind == OrderSummary::Kind::Integer ? a.integer < b.integer : a.real < b.real;
}

// `a < b or a == b` when the summaries settle it.
inline std::optional<bool> summary_less_or_equal(const OrderSummary& a, const OrderSummary& b) {
  if (a.kind != b.kind || a.kind == OrderSummary::Kind::None) return std::nullopt;
  return a.kind == OrderSummary::Kind::Integer ? a.integer <= b.integer : a.real <= b.real;
}

}  // namespace weft
