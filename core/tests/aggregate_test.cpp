// aggregate: the segment-tree fold, its leaf layout, growth and rebuild after a failure.
#include <gtest/gtest.h>

#include <string>

#include "collection_test_util.hpp"
#include "weft/aggregate.hpp"

using namespace weft;
using namespace weft::coll_test;

namespace {

// A non-commutative aggregate domain: concatenation shows the leaf order.
struct Word {
  std::string text;
};

}  // namespace

template <>
struct weft::ValueTraits<Word> {
  static constexpr std::string_view name = "Word";
  static bool equal(const Word& a, const Word& b) { return a.text == b.text; }
};

namespace {

struct Calls {
  std::shared_ptr<u64> lift = std::make_shared<u64>(0);
  std::shared_ptr<u64> combine = std::make_shared<u64>(0);
  std::shared_ptr<bool> fail_combine = std::make_shared<bool>(false);
  std::shared_ptr<bool> fail_lift = std::make_shared<bool>(false);
};

Weft<u64> counted_sum(Runtime& rt, const CollectionHandle<u64>& c, const Calls& calls) {
  return aggregate<u64>(
      rt, c, u64{0},
      [calls](u64 x) {
        ++*calls.lift;
        if (*calls.fail_lift) throw CallbackError("lift");
        return x;
      },
      [calls](u64 a, u64 b) {
        ++*calls.combine;
        if (*calls.fail_combine) {
          *calls.fail_combine = false;
          throw CallbackError("combine");
        }
        return a + b;
      });
}

// Element n becomes the letter 'a' + n.
Weft<Word> concatenation(Runtime& rt, const CollectionHandle<u64>& c) {
  return aggregate<Word>(
      rt, c, Word{}, [](u64 x) { return Word{std::string(1, static_cast<char>('a' + x))}; },
      [](const Word& a, const Word& b) { return Word{a.text + b.text}; });
}

}  // namespace

TEST(Aggregate, EmptyIsIdentityAndOneElementIsItsLift) {
  Runtime rt;
  auto c = create_collection<u64>(rt);
  Calls calls;
  auto sum = counted_sum(rt, c, calls);
  EXPECT_EQ(rt.read(sum), 0u);
  insert(rt, c, u64{7});
  EXPECT_EQ(rt.read(sum), 7u);
  EXPECT_EQ(*calls.lift, 1u);
  EXPECT_EQ(*calls.combine, 0u);
  remove(rt, c, u64{7});
  EXPECT_EQ(rt.read(sum), 0u);
  EXPECT_EQ(*calls.lift, 1u);
}

TEST(Aggregate, DeletesResetTheirLeafAndInsertsReuseTheLastFreed) {
  Runtime rt;
  auto c = create_collection<u64>(rt);
  for (u64 x : {1, 2, 3}) insert(rt, c, x);
  Calls calls;
  auto sum = counted_sum(rt, c, calls);
  EXPECT_EQ(rt.read(sum), 6u);
  remove(rt, c, u64{2});
  EXPECT_EQ(rt.read(sum), 4u);
  insert(rt, c, u64{5});
  EXPECT_EQ(rt.read(sum), 9u);
  EXPECT_EQ(*calls.lift, 4u);  // three while building, one for 5; none for the delete

  auto d = create_collection<u64>(rt);
  auto word = concatenation(rt, d);
  for (u64 x : {0, 1, 2}) insert(rt, d, x);
  EXPECT_EQ(rt.read(word).text, "abc");
  remove(rt, d, u64{1});
  EXPECT_EQ(rt.read(word).text, "ac");
  insert(rt, d, u64{4});
  EXPECT_EQ(rt.read(word).text, "aec");
  remove(rt, d, u64{0});
  remove(rt, d, u64{2});
  insert(rt, d, u64{5});  // leaf 2, freed last
  insert(rt, d, u64{6});  // leaf 0
  EXPECT_EQ(rt.read(word).text, "gef");
}

TEST(Aggregate, CopiesTakeTheirOwnLeavesAndTheLastAssignedGoesFirst) {
  Runtime rt;
  auto c = create_collection<u64>(rt);
  auto word = concatenation(rt, c);
  for (u64 x : {0, 1, 0}) insert(rt, c, x);
  EXPECT_EQ(rt.read(word).text, "aba");
  remove(rt, c, u64{0});
  EXPECT_EQ(rt.read(word).text, "ab");
  insert(rt, c, u64{2});
  EXPECT_EQ(rt.read(word).text, "abc");
  remove(rt, c, u64{0});
  EXPECT_EQ(rt.read(word).text, "bc");
}

TEST(Aggregate, InsertsAloneFoldInArrivalOrder) {
  Runtime rt;
  auto c = create_collection<u64>(rt);
  auto word = concatenation(rt, c);
  std::string expected;
  for (u64 x : {7, 3, 3, 0, 12, 5, 9, 1, 4, 4, 8}) {
    insert(rt, c, x);
    expected += static_cast<char>('a' + x);
    if (x % 3 == 0) {
      EXPECT_EQ(rt.read(word).text, expected);
    }
  }
  EXPECT_EQ(rt.read(word).text, expected);
}

TEST(Aggregate, GrowthRecombinesEveryInternalNodeOnce) {
  Runtime rt;
  auto c = create_collection<u64>(rt);
  Calls calls;
  auto sum = counted_sum(rt, c, calls);
  rt.read(sum);
  // Capacity 1 -> 2 -> 4 -> 8: growth costs the new tree's internal nodes, then the path.
  const std::vector<u64> expected_combines{0, 1 + 1, 3 + 2, 0 + 2, 7 + 3, 0 + 3};
  for (u64 i = 0; i < expected_combines.size(); ++i) {
    *calls.combine = 0;
    insert(rt, c, i + 1);
    EXPECT_EQ(rt.read(sum), (i + 1) * (i + 2) / 2);
    EXPECT_EQ(*calls.combine, expected_combines[i]) << "insert " << i + 1;
  }
  // Deletes walk the path of the current capacity and never shrink it.
  *calls.combine = 0;
  *calls.lift = 0;
  for (u64 x = 1; x <= 6; ++x) remove(rt, c, x);
  EXPECT_EQ(rt.read(sum), 0u);
  EXPECT_EQ(*calls.combine, 6u * 3);
  EXPECT_EQ(*calls.lift, 0u);
}

TEST(Aggregate, AFailureWhileApplyingRebuildsOnTheNextRunWithDeltas) {
  for (bool lift_fails : {false, true}) {
    SCOPED_TRACE(lift_fails ? "lift fails" : "combine fails");
    Runtime rt;
    auto c = create_collection<u64>(rt);
    for (u64 x : {1, 2}) insert(rt, c, x);
    Calls calls;
    auto sum = counted_sum(rt, c, calls);
    EXPECT_EQ(rt.read(sum), 3u);

    if (lift_fails) {
      *calls.fail_lift = true;
    } else {
      *calls.fail_combine = true;
    }
    insert(rt, c, u64{10});
    insert(rt, c, u64{20});
    EXPECT_THROW(rt.read(sum), CallbackError);
    EXPECT_EQ(node_state(rt, sum), NodeState::Failed);
    *calls.fail_lift = false;

    remove(rt, c, u64{1});
    *calls.lift = 0;
    EXPECT_EQ(rt.read(sum), 32u);
    EXPECT_EQ(*calls.lift, 3u);  // rebuilt from the three elements, not from the deltas
    *calls.lift = 0;
    insert(rt, c, u64{100});
    EXPECT_EQ(rt.read(sum), 132u);
    EXPECT_EQ(*calls.lift, 1u);  // back to applying deltas from the snapshot's version
  }
}

TEST(Aggregate, AnEqualRootIsCutOff) {
  Runtime rt;
  auto c = create_collection<u64>(rt);
  insert(rt, c, u64{4});
  Calls calls;
  auto sum = counted_sum(rt, c, calls);
  Probe probe(rt, sum);
  EXPECT_EQ(rt.read(probe.node), 4u);
  insert(rt, c, u64{0});
  EXPECT_EQ(rt.read(probe.node), 4u);
  EXPECT_EQ(*probe.calls, 1u);
}
