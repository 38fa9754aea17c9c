#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "weft/chunked_sequence.hpp"

using weft::ChunkedSequence;

namespace {

template <class Seq>
std::vector<int> contents(const Seq& s) {
  std::vector<int> out;
  s.for_each([&](int v) { out.push_back(v); });
  return out;
}

}  // namespace

// Tiny leaves and inner nodes: many splits, empty leaves and inner levels that come and go.
template <class Seq>
void edit_randomly(Seq& seq, unsigned seed, bool front_heavy) {
  std::vector<int> model;
  std::mt19937 rng(seed);
  for (int step = 0; step < 20000; ++step) {
    bool grow = model.empty() || rng() % 3 != 0;
    if (step > 15000) grow = model.empty();  // drain to check the tree empties cleanly
    if (grow) {
      std::size_t at = front_heavy && rng() % 2 ? 0 : rng() % (model.size() + 1);
      model.insert(model.begin() + at, step);
      seq.insert(at, step);
    } else {
      std::size_t at = rng() % model.size();
      EXPECT_EQ(seq.erase(at), model[at]);
      model.erase(model.begin() + at);
    }
    ASSERT_EQ(seq.size(), model.size());
    if (step % 97 == 0) {
      ASSERT_EQ(contents(seq), model);
      for (std::size_t i = 0; i < model.size(); i += 13) ASSERT_EQ(seq[i], model[i]);
      int probe = static_cast<int>(rng() % 20000);
      std::vector<int> sorted = model;
      std::sort(sorted.begin(), sorted.end());
      Seq ordered;
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
  edit_randomly(deep, 7, false);
  ChunkedSequence<int, 2, 2> front_loaded;
  edit_randomly(front_loaded, 8, true);
  ChunkedSequence<int, 4> shallow;
  edit_randomly(shallow, 9, false);
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
  ChunkedSequence<int> empty;
  EXPECT_EQ(empty.partition_point([](int) { return true; }), 0u);
}
