#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "weft/chunked_sequence.hpp"

using weft::ChunkedSequence;

namespace {

// An owner of a heap int that declares it may move by its bytes, as reference handles do:
// leaves shift it with memmove, and the sanitizers and valgrind see any double free or leak.
struct Boxed {
  std::unique_ptr<int> p;
};

int as_int(int v) { return v; }
int as_int(const Boxed& b) { return *b.p; }
int as_int(const std::string& s) { return std::stoi(s); }  // long enough to live on the heap

template <class T>
T make(int v) {
  if constexpr (std::is_same_v<T, int>) {
    return v;
  } else if constexpr (std::is_same_v<T, Boxed>) {
    return Boxed{std::make_unique<int>(v)};
  } else {
    return std::to_string(v) + std::string(20, ' ');
  }
}

template <class Seq>
std::vector<int> contents(const Seq& s) {
  std::vector<int> out;
  s.for_each([&](const auto& v) { out.push_back(as_int(v)); });
  return out;
}

}  // namespace

template <>
struct weft::RelocatesByBytes<Boxed> : std::true_type {};

// Tiny leaves and inner nodes: many splits, empty leaves and inner levels that come and go.
template <class T, class Seq>
void edit_randomly(Seq& seq, unsigned seed, bool front_heavy) {
  std::vector<int> model;
  std::mt19937 rng(seed);
  for (int step = 0; step < 20000; ++step) {
    bool grow = model.empty() || rng() % 3 != 0;
    if (step > 15000) grow = model.empty();  // drain to check the tree empties cleanly
    if (grow) {
      std::size_t at = front_heavy && rng() % 2 ? 0 : rng() % (model.size() + 1);
      model.insert(model.begin() + at, step);
      seq.insert(at, make<T>(step));
    } else {
      std::size_t at = rng() % model.size();
      EXPECT_EQ(as_int(seq.erase(at)), model[at]);
      model.erase(model.begin() + at);
    }
    ASSERT_EQ(seq.size(), model.size());
    if (step % 97 == 0) {
      ASSERT_EQ(contents(seq), model);
      for (std::size_t i = 0; i < model.size(); i += 13) ASSERT_EQ(as_int(seq[i]), model[i]);
      int probe = static_cast<int>(rng() % 20000);
      std::vector<int> sorted = model;
      std::sort(sorted.begin(), sorted.end());
      ChunkedSequence<int, 2, 2> ordered;
      for (int v : sorted) ordered.insert(ordered.partition_point([&](int x) { return x < v; }), v);
      ASSERT_EQ(contents(ordered), sorted);
      ASSERT_EQ(ordered.partition_point([&](int x) { return x < probe; }),
                static_cast<std::size_t>(std::lower_bound(sorted.begin(), sorted.end(), probe) -
                                         sorted.begin()));
    }
  }
}

TEST(ChunkedSequence, RandomEditsAgreeWithAVector) {
  ChunkedSequence<int, 2, 2> deep;
  edit_randomly<int>(deep, 7, false);
  ChunkedSequence<int, 2, 2> front_loaded;
  edit_randomly<int>(front_loaded, 8, true);
  ChunkedSequence<int, 4> shallow;
  edit_randomly<int>(shallow, 9, false);
}

// Values shifted by their bytes (an owner declared to allow it) and by swaps (a string,
// whose short form points into itself).
TEST(ChunkedSequence, OwningValuesShiftWithoutLossOrCopies) {
  ChunkedSequence<Boxed, 4, 2> boxed;
  edit_randomly<Boxed>(boxed, 10, false);
  ChunkedSequence<std::string, 4, 2> strings;
  edit_randomly<std::string>(strings, 11, true);
  static_assert(!weft::RelocatesByBytes<std::string>::value);
}

TEST(ChunkedSequence, PartitionPointAndRanges) {
  ChunkedSequence<int, 2> seq;
  for (int i = 0; i < 100; ++i) seq.insert(seq.size(), i * 2);  // 0, 2, ..., 198
  EXPECT_EQ(seq.partition_point([](int v) { return v < 0; }), 0u);
  EXPECT_EQ(seq.partition_point([](int v) { return v <= 51; }), 26u);
  EXPECT_EQ(seq.partition_point([](int v) { return v < 1000; }), 100u);
  std::vector<int> run;
  seq.for_range(48, 5, [&](int v) { run.push_back(v); });
  EXPECT_EQ(run, (std::vector<int>{96, 98, 100, 102, 104}));
  // Across leaves of two values, and stopping at the first match.
  int visited = 0;
  EXPECT_EQ(seq.find_in_range(3, 90, [&](int v) { return ++visited, v % 14 == 0; }), 7u);
  EXPECT_EQ(visited, 5);
  EXPECT_EQ(seq.find_in_range(10, 5, [](int v) { return v > 1000; }), 15u);
  ChunkedSequence<int> empty;
  EXPECT_EQ(empty.partition_point([](int) { return true; }), 0u);
}

namespace {

struct Identity {
  int operator()(int v) const { return v; }
};

}  // namespace

// The inner nodes' summaries of their children's last values follow every insert and
// erase (at ends of leaves, through splits and removed nodes), so a search that believes
// them lands where a search of the values does, whether or not they settle every step.
TEST(ChunkedSequence, SummariesOfLastValuesStayTrueThroughEdits) {
  ChunkedSequence<int, 2, 2, Identity> seq;
  std::vector<int> model;  // sorted
  std::mt19937 rng(12);
  for (int step = 0; step < 20000; ++step) {
    bool grow = model.empty() || (step < 15000 ? rng() % 3 != 0 : false);
    if (grow) {
      int v = static_cast<int>(rng() % 500);
      std::size_t at = static_cast<std::size_t>(std::upper_bound(model.begin(), model.end(), v) - model.begin());
      model.insert(model.begin() + static_cast<std::ptrdiff_t>(at), v);
      seq.insert(at, v);
    } else {
      // Often the last value of some leaf or subtree: the front, the back, or anywhere.
      std::size_t at = rng() % 3 == 0 ? (rng() % 2 ? 0 : model.size() - 1) : rng() % model.size();
      ASSERT_EQ(seq.erase(at), model[at]);
      model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
    }
    int probe = static_cast<int>(rng() % 520) - 10;
    std::size_t expected = static_cast<std::size_t>(
        std::upper_bound(model.begin(), model.end(), probe) - model.begin());
    int value_looks = 0;
    auto at_most_probe = [&](int v) {
      ++value_looks;
      return v <= probe;
    };
    // Summaries alone, then summaries of even values only (the others looked at).
    ASSERT_EQ(seq.partition_point(at_most_probe,
                                  [&](int summary) { return std::optional<bool>(summary <= probe); }),
              expected)
        << "step " << step;
    ASSERT_EQ(value_looks, 0);
    ASSERT_EQ(seq.partition_point(at_most_probe,
                                  [&](int summary) {
                                    return summary % 2 ? std::nullopt : std::optional<bool>(summary <= probe);
                                  }),
              expected)
        << "step " << step;
  }
  EXPECT_EQ(seq.size(), model.size());
}
