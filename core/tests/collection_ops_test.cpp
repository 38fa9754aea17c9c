// map, filter, count and reduce; the failure rule of the shared compute; and a randomised
// agreement check of every operator against a from-scratch evaluation.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "collection_test_util.hpp"
#include "weft/aggregate.hpp"
#include "weft/collection_ops.hpp"
#include "weft/group_by.hpp"
#include "weft/join.hpp"
#include "weft/sorted_collection.hpp"

using namespace weft;
using namespace weft::coll_test;

namespace {

CollectionHandle<u64> collection_of(Runtime& rt, std::initializer_list<u64> elements) {
  auto c = create_collection<u64>(rt);
  for (u64 x : elements) insert(rt, c, x);
  return c;
}

u64 sum_of(const std::vector<u64>& v) {
  u64 s = 0;
  for (u64 x : v) s += x;
  return s;
}

}  // namespace

TEST(Map, MapsCopiesAndDeletes) {
  Runtime rt;
  auto c = collection_of(rt, {1, 1, 2});
  auto m = map(rt, c, [](u64 x) { return x % 2; });
  EXPECT_EQ(contents(m), (std::vector<u64>{0, 1, 1}));
  EXPECT_TRUE(remove(rt, c, u64{1}));
  rt.read(m.version_node);
  EXPECT_EQ(contents(m), (std::vector<u64>{0, 1}));
  insert(rt, c, u64{4});
  remove(rt, c, u64{2});
  rt.read(m.version_node);
  EXPECT_EQ(contents(m), (std::vector<u64>{0, 1}));
  EXPECT_EQ(m.state->version(), 6u);
}

TEST(Map, DeleteWhoseImageIsAbsentDoesNothing) {
  Runtime rt;
  auto c = collection_of(rt, {1});
  auto offset = std::make_shared<u64>(0);
  auto m = map(rt, c, [offset](u64 x) { return x + *offset; });
  *offset = 100;  // not deterministic: the delete maps to 101
  remove(rt, c, u64{1});
  rt.read(m.version_node);
  EXPECT_EQ(contents(m), (std::vector<u64>{1}));
  EXPECT_EQ(m.state->version(), 1u);
}

TEST(Filter, PredicateSeesInsertsAndDeletes) {
  Runtime rt;
  auto c = collection_of(rt, {1, 2, 3, 3});
  auto calls = std::make_shared<std::vector<u64>>();
  auto admit_odd = std::make_shared<bool>(true);
  auto f = filter(rt, c, [calls, admit_odd](u64 x) {
    calls->push_back(x);
    return (x % 2 == 1) == *admit_odd;
  });
  EXPECT_EQ(contents(f), (std::vector<u64>{1, 3, 3}));
  calls->clear();

  remove(rt, c, u64{3});
  remove(rt, c, u64{2});
  rt.read(f.version_node);
  EXPECT_EQ(*calls, (std::vector<u64>{3, 2}));
  EXPECT_EQ(contents(f), (std::vector<u64>{1, 3}));

  // A verdict that flips between the insert and the delete leaves the element in place.
  *admit_odd = false;
  remove(rt, c, u64{1});
  rt.read(f.version_node);
  EXPECT_EQ(contents(f), (std::vector<u64>{1, 3}));
}

TEST(Filter, ARunThatPassesNothingIsCutOff) {
  Runtime rt;
  auto c = collection_of(rt, {200});
  auto big = filter(rt, c, [](u64 x) { return x > 100; });
  Probe probe(rt, big.version_node);
  EXPECT_EQ(rt.read(probe.node), 1u);
  insert(rt, c, u64{5});
  auto traced = rt.get_traced(probe.node);
  EXPECT_EQ(traced.value, 1u);
  EXPECT_EQ(*probe.calls, 1u);
  ASSERT_EQ(traced.records.size(), 2u);
  EXPECT_EQ(traced.records[0].slot, big.version_node.slot);
  EXPECT_EQ(traced.records[0].action, TraceAction::RecomputedCutoff);
  EXPECT_EQ(traced.records[1].action, TraceAction::VerifiedClean);
}

TEST(Count, FollowsInsertsCopiesAndDeletes) {
  Runtime rt;
  auto c = create_collection<u64>(rt);
  auto n = count(rt, c);
  EXPECT_EQ(rt.read(n), 0u);
  insert(rt, c, u64{4});
  insert(rt, c, u64{4});
  EXPECT_EQ(rt.read(n), 2u);

  const u64 changed_at = rt.record(n.slot).changed_at;
  EXPECT_FALSE(remove(rt, c, u64{9}));
  EXPECT_EQ(node_state(rt, n), NodeState::Clean);
  EXPECT_EQ(rt.read(n), 2u);
  EXPECT_EQ(rt.record(n.slot).changed_at, changed_at);

  remove(rt, c, u64{4});
  EXPECT_EQ(rt.read(n), 1u);

  auto second = count(rt, c);  // starts from the snapshot, copies included
  insert(rt, c, u64{4});
  EXPECT_NE(second.slot, n.slot);
  EXPECT_EQ(rt.read(second), 2u);
  EXPECT_EQ(rt.read(n), 2u);
}

TEST(Reduce, RefoldsTheWholeCollectionOnEveryChange) {
  Runtime rt;
  auto c = collection_of(rt, {5, 5});
  auto folds = std::make_shared<std::vector<std::vector<u64>>>();
  auto r = reduce<u64>(rt, c, [folds](std::vector<u64> all) {
    std::sort(all.begin(), all.end());
    folds->push_back(all);
    return u64{all.size()};
  });
  EXPECT_EQ(c.state->log().reader_count(), 0u);  // no cursor
  EXPECT_TRUE(folds->empty());                    // nothing folded at build time
  EXPECT_EQ(rt.read(r), 2u);
  insert(rt, c, u64{1});
  EXPECT_EQ(rt.read(r), 3u);
  remove(rt, c, u64{5});
  EXPECT_EQ(rt.read(r), 2u);
  EXPECT_EQ(*folds, (std::vector<std::vector<u64>>{{5, 5}, {1, 5, 5}, {1, 5}}));
}

TEST(Reduce, AnEqualResultIsCutOff) {
  Runtime rt;
  auto c = collection_of(rt, {9});
  auto largest = reduce<u64>(rt, c, [](std::vector<u64> all) {
    return all.empty() ? u64{0} : *std::max_element(all.begin(), all.end());
  });
  Probe probe(rt, largest);
  EXPECT_EQ(rt.read(probe.node), 9u);
  insert(rt, c, u64{3});
  EXPECT_EQ(rt.read(probe.node), 9u);
  EXPECT_EQ(*probe.calls, 1u);
}

// A throwing callable: nothing is applied and the cursor stays, the node stays Failed until
// the source changes, and the next run handles the old deltas with the new ones.
TEST(OperatorFailure, ThrowingCallableLeavesStateAndCursorUntouched) {
  Runtime rt;
  auto c = collection_of(rt, {1});
  auto poisoned = std::make_shared<bool>(true);
  auto calls = std::make_shared<std::vector<u64>>();
  auto m = map(rt, c, [poisoned, calls](u64 x) {
    calls->push_back(x);
    if (x == 13 && *poisoned) throw CallbackError("thirteen");
    return x;
  });
  auto n = count(rt, m);
  EXPECT_EQ(rt.read(n), 1u);

  insert(rt, c, u64{12});
  insert(rt, c, u64{13});
  EXPECT_THROW(rt.read(n), CallbackError);
  EXPECT_EQ(node_state(rt, m.version_node), NodeState::Failed);
  EXPECT_EQ(m.state->version(), 1u);
  EXPECT_EQ(contents(m), (std::vector<u64>{1}));
  EXPECT_EQ(failure_text([&] { rt.read(m.version_node); }),
            "weft-core: node " + std::to_string(m.version_node.slot) +
                " read but its last compute panicked; it stays Failed until a dependency changes "
                "(set an upstream input to retry)");

  *poisoned = false;
  calls->clear();
  insert(rt, c, u64{14});
  EXPECT_EQ(rt.read(n), 4u);
  EXPECT_EQ(*calls, (std::vector<u64>{12, 13, 14}));
  EXPECT_EQ(contents(m), (std::vector<u64>{1, 12, 13, 14}));
  EXPECT_EQ(m.state->version(), 4u);
}

TEST(OperatorFailure, ThrowingCallableDuringBuildingLeavesADeadCursor) {
  Runtime rt;
  auto c = collection_of(rt, {13});
  EXPECT_THROW(map(rt, c, [](u64 x) -> u64 { throw CallbackError(std::to_string(x)); }), CallbackError);
  EXPECT_EQ(c.state->log().reader_count(), 1u);
  for (u64 i = 0; i < kCompactionThreshold; ++i) insert(rt, c, i);
  EXPECT_EQ(c.state->log().reader_count(), 0u);
}

// ---- randomised agreement ----

namespace {

using Pair = std::pair<u64, u64>;

std::vector<u64> model_sorted(const std::vector<u64>& arrival, u64 (*key)(u64)) {
  std::vector<u64> out = arrival;
  std::stable_sort(out.begin(), out.end(), [key](u64 a, u64 b) { return key(a) < key(b); });
  return out;
}

u64 sort_key(u64 x) { return x / 4; }

}  // namespace

TEST(RandomisedAgreement, EveryOperatorMatchesAFromScratchEvaluation) {
  Runtime rt;
  auto c = create_collection<u64>(rt);
  auto d = create_collection<u64>(rt);
  // Built on the empty collection, so that equal keys are ordered by arrival throughout.
  auto sorted = sort_by_key<u64>(rt, c, sort_key);

  std::mt19937_64 rng(20240611);
  std::vector<u64> arrival;  // c's elements in arrival order (copies included)
  std::vector<u64> right;    // d's elements
  auto erase_first = [](std::vector<u64>& v, u64 x) {
    auto it = std::find(v.begin(), v.end(), x);
    if (it == v.end()) return false;
    v.erase(it);
    return true;
  };
  auto random_change = [&] {
    u64 x = rng() % 24;
    const unsigned op = static_cast<unsigned>(rng() % 10);
    if (op < 4) {
      insert(rt, c, x);
      arrival.push_back(x);
    } else if (op < 8) {
      // Mostly present elements, sometimes absent ones.
      if (!arrival.empty() && rng() % 4 != 0) x = arrival[rng() % arrival.size()];
      EXPECT_EQ(remove(rt, c, x), erase_first(arrival, x));
    } else if (op < 9) {
      insert(rt, d, x);
      right.push_back(x);
    } else {
      EXPECT_EQ(remove(rt, d, x), erase_first(right, x));
    }
  };

  // The other operators start from a snapshot of a collection with copies in it.
  for (int i = 0; i < 80; ++i) random_change();
  auto mapped = map(rt, c, [](u64 x) { return x % 5; });
  auto filtered = filter(rt, c, [](u64 x) { return x % 3 != 0; });
  auto counted = count(rt, c);
  auto reduced = reduce<u64>(rt, c, [](std::vector<u64> all) { return sum_of(all); });
  auto grouped = group_by<u64>(rt, c, [](u64 x) { return x % 4; });
  auto joined = join<u64>(rt, c, d, [](u64 x) { return x % 3; }, [](u64 y) { return y % 3; });
  auto self = join<u64>(rt, c, c, [](u64 x) { return x % 2; }, [](u64 x) { return x % 2; });
  rt.read(sorted.version_node);
  auto windows = window(rt, sorted, 3);
  auto pairs = pairwise(rt, sorted);
  auto summed = aggregate<u64>(rt, c, u64{0}, [](u64 x) { return x * x; }, [](u64 a, u64 b) { return a + b; });
  auto mapped_count = count(rt, mapped);

  for (int step = 0; step < 1500; ++step) {
    random_change();
    if (rng() % 4 != 0) continue;  // let deltas pile up between reads

    rt.read(mapped.version_node);
    rt.read(filtered.version_node);
    rt.read(grouped.router);
    rt.read(joined.version_node);
    rt.read(self.version_node);
    rt.read(windows.version_node);
    rt.read(pairs.version_node);

    std::vector<u64> all = sorted_copy(arrival);
    ASSERT_EQ(contents(c), all) << "step " << step;

    std::vector<u64> expect_mapped, expect_filtered;
    for (u64 e : all) {
      expect_mapped.push_back(e % 5);
      if (e % 3 != 0) expect_filtered.push_back(e);
    }
    ASSERT_EQ(contents(mapped), sorted_copy(expect_mapped)) << "step " << step;
    ASSERT_EQ(contents(filtered), expect_filtered) << "step " << step;
    ASSERT_EQ(rt.read(counted), all.size()) << "step " << step;
    ASSERT_EQ(rt.read(mapped_count), all.size()) << "step " << step;
    ASSERT_EQ(rt.read(reduced), sum_of(all)) << "step " << step;
    u64 squares = 0;
    for (u64 e : all) squares += e * e;
    ASSERT_EQ(rt.read(summed), squares) << "step " << step;

    std::map<u64, std::vector<u64>> groups;
    for (u64 e : all) groups[e % 4].push_back(e);
    for (const auto& [key, members] : groups) {
      auto group = get_group(grouped, key);
      ASSERT_TRUE(group) << "step " << step;
      ASSERT_EQ(contents(*group), members) << "step " << step;
    }
    for (u64 key : group_keys(grouped)) {
      if (!groups.contains(key)) {
        ASSERT_EQ(snapshot_len(*get_group(grouped, key)), 0u);
      }
    }

    std::vector<Pair> expect_joined, expect_self;
    for (u64 l : all) {
      for (u64 r : right) {
        if (l % 3 == r % 3) expect_joined.push_back({l, r});
      }
      for (u64 r : all) {
        if (l % 2 == r % 2) expect_self.push_back({l, r});
      }
    }
    ASSERT_EQ(contents(joined), sorted_copy(expect_joined)) << "step " << step;
    ASSERT_EQ(contents(self), sorted_copy(expect_self)) << "step " << step;

    std::vector<u64> order = model_sorted(arrival, sort_key);
    ASSERT_EQ(sorted_snapshot(sorted), order) << "step " << step;
    std::vector<InlineSequence<u64>> expect_windows;
    for (std::size_t s = 0; s + 3 <= order.size(); ++s) {
      expect_windows.push_back({order[s], order[s + 1], order[s + 2]});
    }
    ASSERT_EQ(contents(windows), sorted_copy(expect_windows)) << "step " << step;
    std::vector<Pair> expect_pairs;
    for (std::size_t k = 0; k + 1 < order.size(); ++k) expect_pairs.push_back({order[k], order[k + 1]});
    ASSERT_EQ(contents(pairs), sorted_copy(expect_pairs)) << "step " << step;
  }
}
