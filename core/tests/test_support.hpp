// Helpers shared by the core's test suites.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "weft/runtime.hpp"

namespace weft {

// Text nodes, for tests that need a second value type.
template <>
struct ValueTraits<std::string> {
  static constexpr std::string_view name = "std::string";
  static bool equal(const std::string& a, const std::string& b) { return a == b; }
};

namespace testing {
// A value type whose equality ignores `tag`, so that tests can tell which of two equal
// values a cell kept.
struct Tagged {
  u64 key;
  int tag;
};
}  // namespace testing

template <>
struct ValueTraits<testing::Tagged> {
  static constexpr std::string_view name = "Tagged";
  static bool equal(const testing::Tagged& a, const testing::Tagged& b) { return a.key == b.key; }
};

}  // namespace weft

namespace weft::testing {

// Runs `op` and returns the message of the InvariantFailure it throws; records a test
// failure when it throws nothing or something else.
template <class F>
std::string failure_of(F&& op) {
  try {
    op();
  } catch (const InvariantFailure& failure) {
    return failure.message();
  } catch (const std::exception& other) {
    ADD_FAILURE() << "unexpected exception: " << other.what();
    return "<other exception>";
  }
  ADD_FAILURE() << "no failure";
  return "<no failure>";
}

inline NodeState state_of(const Runtime& rt, u32 slot) { return rt.record(slot).node_state(); }

template <class T>
NodeState state_of(const Runtime& rt, Weft<T> node) {
  return state_of(rt, node.slot);
}

// A failure of a compute function's own code (not of the engine).
struct ComputeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The node's value, or `fallback` when the read fails: a compute that catches a failed read.
inline u64 read_or(Runtime& rt, Weft<u64> node, u64 fallback) {
  try {
    return rt.read(node);
  } catch (const InvariantFailure&) {
    return fallback;
  }
}

// While `i` is odd, `x` and `y` read each other: `y` fails as a cycle inside x's compute,
// which catches that and returns 5; while `i` is even, `x` is 3. `y` is x + 1.
struct CaughtCycle {
  Runtime rt;
  Weft<u64> i = rt.create_input<u64>(1);
  Weft<u64> x, y;

  CaughtCycle() {
    x = rt.create_compute<u64>([this](Runtime& r) -> u64 {
      return r.read(i) % 2 == 0 ? 3 : read_or(r, y, 5);
    });
    y = rt.create_compute<u64>([this](Runtime& r) { return r.read(x) + 1; });
  }
};

}  // namespace weft::testing

#define EXPECT_FAILURE(statement, message) \
  EXPECT_EQ(::weft::testing::failure_of([&] { (void)(statement); }), (message))
