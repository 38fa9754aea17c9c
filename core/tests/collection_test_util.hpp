// Helpers shared by the collection suites.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "weft/collection.hpp"

namespace weft::coll_test {

// An element whose equality, hash and order look at `value` only; `id` tells apart objects
// that the collection considers equal.
struct Tagged {
  u64 value = 0;
  u64 id = 0;
};

}  // namespace weft::coll_test

namespace weft {

template <>
struct ElementTraits<coll_test::Tagged> {
  static bool equal(const coll_test::Tagged& a, const coll_test::Tagged& b) { return a.value == b.value; }
  static i64 hash(const coll_test::Tagged& t) { return static_cast<i64>(t.value); }
  static bool less(const coll_test::Tagged& a, const coll_test::Tagged& b) { return a.value < b.value; }
};

}  // namespace weft

namespace weft::coll_test {

// Thrown by test callables to simulate a failing user function.
struct CallbackError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// An element whose hash throws while `strict` is set and its value is 13.
struct Fragile {
  u64 value;
  static inline bool strict = false;
  friend bool operator<(const Fragile& a, const Fragile& b) { return a.value < b.value; }
  friend bool operator==(const Fragile& a, const Fragile& b) { return a.value == b.value; }
};

}  // namespace weft::coll_test

namespace weft {

template <>
struct ElementTraits<coll_test::Fragile> {
  static bool equal(const coll_test::Fragile& a, const coll_test::Fragile& b) { return a.value == b.value; }
  static i64 hash(const coll_test::Fragile& f) {
    if (coll_test::Fragile::strict && f.value == 13) throw coll_test::CallbackError("13 does not hash");
    return static_cast<i64>(f.value);
  }
};

}  // namespace weft

namespace weft::coll_test {

// A reader of a state's log that never reads, so that the log keeps every later delta for a
// test to look at: a log nobody reads keeps none.
template <class E, class State>
CursorRef keep_log(State& state) {
  std::vector<E> ignored;
  ExclusiveGuard borrow(state.borrow);
  return state.subscribe(ignored);
}

// The message of the InvariantFailure that `op` throws.
template <class F>
std::string failure_text(F&& op) {
  try {
    op();
  } catch (const InvariantFailure& failure) {
    return failure.message();
  } catch (const std::exception& other) {
    return std::string("<other exception: ") + other.what() + ">";
  }
  return "<no failure>";
}

// A collection's elements (as last maintained), sorted, copies included.
template <class E>
std::vector<E> contents(CollectionState<E>& state) {
  std::vector<E> out = state.snapshot();
  std::sort(out.begin(), out.end());
  return out;
}

template <class E>
std::vector<E> contents(const CollectionHandle<E>& c) {
  return contents(*c.state);
}

template <class E>
std::vector<E> sorted_copy(std::vector<E> v) {
  std::sort(v.begin(), v.end());
  return v;
}

template <class T>
NodeState node_state(const Runtime& rt, Weft<T> node) {
  return rt.record(node.slot).node_state();
}

// A query that reads one u64 node and counts how often it was recomputed.
struct Probe {
  std::shared_ptr<u64> calls = std::make_shared<u64>(0);
  Weft<u64> node;

  Probe(Runtime& rt, Weft<u64> watched) {
    auto counter = calls;
    node = rt.create_compute<u64>([counter, watched](Runtime& r) {
      ++*counter;
      return r.read(watched);
    });
  }
};

}  // namespace weft::coll_test
