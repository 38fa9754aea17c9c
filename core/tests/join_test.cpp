// join: pairs of left and right elements with equal keys, maintained from both sides.
#include <gtest/gtest.h>

#include "collection_test_util.hpp"
#include "weft/collection_ops.hpp"
#include "weft/join.hpp"

using namespace weft;
using namespace weft::coll_test;

namespace {

using Pair = std::pair<u64, u64>;
using Pairs = std::vector<Pair>;

u64 parity(u64 x) { return x % 2; }

struct Fixture {
  Runtime rt;
  CollectionHandle<u64> left = create_collection<u64>(rt);
  CollectionHandle<u64> right = create_collection<u64>(rt);

  void fill(const CollectionHandle<u64>& c, std::initializer_list<u64> xs) {
    for (u64 x : xs) insert(rt, c, x);
  }
  Pairs pairs(const CollectionHandle<Pair>& j) {
    rt.read(j.version_node);
    return contents(j);
  }
};

}  // namespace

TEST(Join, PairsElementsWithEqualKeysAndFollowsBothSides) {
  Fixture f;
  f.fill(f.left, {1, 2});
  f.fill(f.right, {3, 4});
  auto j = join<u64>(f.rt, f.left, f.right, parity, parity);
  EXPECT_TRUE(j.derived);
  EXPECT_EQ(contents(j), (Pairs{{1, 3}, {2, 4}}));

  insert(f.rt, f.left, u64{5});
  EXPECT_EQ(f.pairs(j), (Pairs{{1, 3}, {2, 4}, {5, 3}}));
  remove(f.rt, f.right, u64{3});
  EXPECT_EQ(f.pairs(j), (Pairs{{2, 4}}));
  remove(f.rt, f.left, u64{2});
  EXPECT_EQ(f.pairs(j), Pairs{});
  insert(f.rt, f.right, u64{7});
  EXPECT_EQ(f.pairs(j), (Pairs{{1, 7}, {5, 7}}));
}

TEST(Join, CopiesPairWithMultiplicity) {
  Fixture f;
  f.fill(f.left, {1, 1});
  f.fill(f.right, {3, 3, 3, 2});
  auto j = join<u64>(f.rt, f.left, f.right, parity, parity);
  EXPECT_EQ(snapshot_len(j), 6u);
  remove(f.rt, f.left, u64{1});
  EXPECT_EQ(f.pairs(j), (Pairs(3, {1, 3})));
  insert(f.rt, f.right, u64{5});
  EXPECT_EQ(f.pairs(j), (Pairs{{1, 3}, {1, 3}, {1, 3}, {1, 5}}));
  remove(f.rt, f.right, u64{3});
  remove(f.rt, f.left, u64{1});
  EXPECT_EQ(f.pairs(j), Pairs{});
  insert(f.rt, f.left, u64{9});
  EXPECT_EQ(f.pairs(j), (Pairs{{9, 3}, {9, 3}, {9, 5}}));
}

TEST(Join, KeysOnOneSideOnlyGiveNothing) {
  Fixture f;
  f.fill(f.left, {1, 3});
  f.fill(f.right, {2, 4});
  auto j = join<u64>(f.rt, f.left, f.right, parity, parity);
  EXPECT_EQ(snapshot_len(j), 0u);
  insert(f.rt, f.left, u64{5});
  remove(f.rt, f.right, u64{2});
  EXPECT_EQ(f.pairs(j), Pairs{});
}

TEST(Join, NewLeftAndRightWithEqualKeysInOneRunPairOnce) {
  Fixture f;
  auto j = join<u64>(f.rt, f.left, f.right, parity, parity);
  insert(f.rt, f.right, u64{4});
  insert(f.rt, f.left, u64{2});
  EXPECT_EQ(f.pairs(j), (Pairs{{2, 4}}));
  EXPECT_EQ(j.state->version(), 1u);
  // Deleted together in one run: the pair goes once.
  remove(f.rt, f.left, u64{2});
  remove(f.rt, f.right, u64{4});
  EXPECT_EQ(f.pairs(j), Pairs{});
  EXPECT_EQ(j.state->version(), 2u);
}

TEST(Join, SelfJoinUsesTwoCursors) {
  Fixture f;
  f.fill(f.left, {1, 2, 3});
  auto j = join<u64>(f.rt, f.left, f.left, parity, parity);
  EXPECT_EQ(f.left.state->log().reader_count(), 2u);
  EXPECT_EQ(contents(j), (Pairs{{1, 1}, {1, 3}, {2, 2}, {3, 1}, {3, 3}}));
  insert(f.rt, f.left, u64{5});
  EXPECT_EQ(f.pairs(j), (Pairs{{1, 1}, {1, 3}, {1, 5}, {2, 2}, {3, 1}, {3, 3}, {3, 5}, {5, 1}, {5, 3}, {5, 5}}));
  remove(f.rt, f.left, u64{1});
  remove(f.rt, f.left, u64{2});
  EXPECT_EQ(f.pairs(j), (Pairs{{3, 3}, {3, 5}, {5, 3}, {5, 5}}));
}

TEST(Join, KeyFunctionsSeeDeletesAndRunBeforeAnythingIsApplied) {
  Fixture f;
  f.fill(f.left, {1});
  f.fill(f.right, {3});
  auto left_calls = std::make_shared<std::vector<u64>>();
  auto poisoned = std::make_shared<bool>(false);
  auto j = join<u64>(
      f.rt, f.left, f.right,
      [left_calls](u64 x) {
        left_calls->push_back(x);
        return x % 2;
      },
      [poisoned](u64 y) {
        if (*poisoned && y == 13) throw CallbackError("thirteen");
        return y % 2;
      });
  remove(f.rt, f.left, u64{1});
  insert(f.rt, f.left, u64{7});
  EXPECT_EQ(f.pairs(j), (Pairs{{7, 3}}));
  EXPECT_EQ(*left_calls, (std::vector<u64>{1, 1, 7}));

  *poisoned = true;
  insert(f.rt, f.left, u64{9});
  insert(f.rt, f.right, u64{13});
  EXPECT_THROW(f.rt.read(j.version_node), CallbackError);
  EXPECT_EQ(contents(j), (Pairs{{7, 3}}));
  EXPECT_EQ(j.state->version(), 3u);
  *poisoned = false;
  insert(f.rt, f.right, u64{5});
  EXPECT_EQ(f.pairs(j), (Pairs{{7, 3}, {7, 5}, {7, 13}, {9, 3}, {9, 5}, {9, 13}}));
}

// A conversion makes each pair into an element for each change and each snapshot; a pair
// that cannot be made stops its run before it takes anything in, and the next run takes the
// same pairs, once.
TEST(Join, MakesEachPairIntoAnElementAndRetriesOneItCouldNotMake) {
  Fixture f;
  f.fill(f.left, {1, 2});
  f.fill(f.right, {3});
  auto made = std::make_shared<u64>(0);
  auto refuse = std::make_shared<bool>(false);  // to make the pair (7, 5)
  auto encoded = convert<u64>(f.rt, join<u64>(f.rt, f.left, f.right, parity, parity), [made, refuse](const Pair& p) {
    if (*refuse && p == Pair{7, 5}) throw CallbackError("no memory");
    ++*made;
    return p.first * 100 + p.second;
  }, u64{0});
  CursorRef reader = keep_log<u64>(*encoded.state);  // so that changes make their elements
  insert(f.rt, f.right, u64{5});  // after 3 under their key, so that (7, 3) is made first
  EXPECT_EQ(f.rt.read(encoded.version_node), 2u);
  EXPECT_EQ(contents(encoded), (std::vector<u64>{103, 105}));
  *made = 0;
  *refuse = true;
  insert(f.rt, f.left, u64{7});
  insert(f.rt, f.right, u64{9});
  EXPECT_THROW(f.rt.read(encoded.version_node), CallbackError);
  EXPECT_EQ(*made, 1u);  // (7, 3), before (7, 5) failed
  EXPECT_EQ(encoded.state->version(), 2u);
  *refuse = false;
  insert(f.rt, f.right, u64{11});  // a failed node is computed again once a source changes
  EXPECT_EQ(f.rt.read(encoded.version_node), 8u);
  EXPECT_EQ(contents(encoded), (std::vector<u64>{103, 105, 109, 111, 703, 705, 709, 711}));
  EXPECT_EQ(failure_text([&] { insert(f.rt, encoded, u64{1}); }).substr(0, 43),
            "weft-core: insert/delete on a derived colle");
}

TEST(Join, AnElementWhoseHashThrowsStopsTheRunWithoutRepeatingTheDeltasBeforeIt) {
  using FPair = std::pair<Fragile, Fragile>;
  Runtime rt;
  auto left = create_collection<Fragile>(rt);
  auto right = create_collection<Fragile>(rt);
  auto tens = [](const Fragile& f) { return f.value / 10; };
  insert(rt, left, Fragile{10});
  auto j = join<u64>(rt, left, right, tens, tens);
  rt.read(j.version_node);
  for (u64 x : {11, 13, 12}) insert(rt, right, Fragile{x});
  Fragile::strict = true;  // from now on the join's own maps cannot take 13
  EXPECT_THROW(rt.read(j.version_node), CallbackError);
  Fragile::strict = false;
  insert(rt, left, Fragile{20});
  rt.read(j.version_node);
  EXPECT_EQ(contents(j), (std::vector<FPair>{{{10}, {11}}, {{10}, {12}}, {{10}, {13}}}));
  remove(rt, right, Fragile{11});
  rt.read(j.version_node);
  EXPECT_EQ(contents(j), (std::vector<FPair>{{{10}, {12}}, {{10}, {13}}}));
}
