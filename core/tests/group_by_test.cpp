// group_by: the router, its groups and their version nodes, the key memo and the run counter.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "collection_test_util.hpp"
#include "weft/collection_ops.hpp"
#include "weft/group_by.hpp"

using namespace weft;
using namespace weft::coll_test;

namespace {

struct Fixture {
  Runtime rt;
  CollectionHandle<u64> source = create_collection<u64>(rt);
  std::shared_ptr<std::vector<u64>> key_calls = std::make_shared<std::vector<u64>>();

  GroupedHandle<u64, u64> by_parity() {
    auto calls = key_calls;
    return group_by<u64>(rt, source, [calls](u64 x) {
      calls->push_back(x);
      return x % 2;
    });
  }

  std::vector<u64> group(const GroupedHandle<u64, u64>& g, u64 key) {
    auto found = get_group(g, key);
    EXPECT_TRUE(found) << "no group " << key;
    return found ? contents(*found) : std::vector<u64>{};
  }
};

}  // namespace

TEST(GroupBy, ParityGroupsAndGroupsThatEmptyStay) {
  Fixture f;
  for (u64 x : {1, 2, 3, 4}) insert(f.rt, f.source, x);
  auto g = f.by_parity();
  EXPECT_EQ(group_count(g), 2u);
  EXPECT_EQ(f.group(g, 0), (std::vector<u64>{2, 4}));
  EXPECT_EQ(f.group(g, 1), (std::vector<u64>{1, 3}));
  EXPECT_EQ(sorted_copy(group_keys(g)), (std::vector<u64>{0, 1}));
  EXPECT_EQ(f.rt.read(g.router), 0u);

  remove(f.rt, f.source, u64{2});
  remove(f.rt, f.source, u64{4});
  EXPECT_EQ(f.rt.read(g.router), 1u);
  EXPECT_EQ(f.group(g, 0), std::vector<u64>{});
  EXPECT_EQ(group_count(g), 2u);
  EXPECT_EQ(sorted_copy(group_keys(g)), (std::vector<u64>{0, 1}));
}

TEST(GroupBy, NewGroupsAppearOnlyWhenTheRouterRuns) {
  Fixture f;
  auto g = group_by<u64>(f.rt, f.source, [](u64 x) { return x % 3; });
  EXPECT_EQ(group_count(g), 0u);
  insert(f.rt, f.source, u64{5});
  EXPECT_FALSE(get_group(g, u64{2}));
  EXPECT_EQ(group_count(g), 0u);
  EXPECT_EQ(f.rt.read(g.router), 1u);
  EXPECT_EQ(f.group(g, 2), (std::vector<u64>{5}));
  // A group made during a run is adopted by the router like the groups made while building.
  auto made = get_group(g, u64{2});
  EXPECT_EQ(f.rt.owner_of(made->version_node.slot), std::optional<u32>(g.router.slot));
  EXPECT_EQ(f.rt.read(made->version_node), 1u);
}

TEST(GroupBy, CopiesInsertedAndDeletedTwiceLeaveTheGroupEmpty) {
  for (bool run_between : {false, true}) {
    Fixture f;
    auto g = f.by_parity();
    insert(f.rt, f.source, u64{7});
    if (run_between) f.rt.read(g.router);
    insert(f.rt, f.source, u64{7});
    if (run_between) {
      f.rt.read(g.router);
      EXPECT_EQ(f.group(g, 1), (std::vector<u64>{7, 7}));
    }
    remove(f.rt, f.source, u64{7});
    if (run_between) f.rt.read(g.router);
    remove(f.rt, f.source, u64{7});
    f.rt.read(g.router);
    EXPECT_EQ(f.group(g, 1), std::vector<u64>{}) << "run_between " << run_between;
  }
}

TEST(GroupBy, CopiesPresentWhenBuildingAreRememberedOncePerCopy) {
  Fixture f;
  for (u64 x : {7, 7, 8}) insert(f.rt, f.source, x);
  auto g = f.by_parity();
  EXPECT_EQ(f.group(g, 1), (std::vector<u64>{7, 7}));
  remove(f.rt, f.source, u64{7});
  f.rt.read(g.router);
  EXPECT_EQ(f.group(g, 1), (std::vector<u64>{7}));
  remove(f.rt, f.source, u64{7});
  f.rt.read(g.router);
  EXPECT_EQ(f.group(g, 1), std::vector<u64>{});
  EXPECT_EQ(f.key_calls->size(), 3u);
}

TEST(GroupBy, DeletesUseTheRememberedKeyWithoutCallingKeyFn) {
  Fixture f;
  auto flip = std::make_shared<u64>(0);
  auto calls = f.key_calls;
  auto g = group_by<u64>(f.rt, f.source, [flip, calls](u64 x) {
    calls->push_back(x);
    return (x + *flip) % 2;
  });
  insert(f.rt, f.source, u64{3});
  f.rt.read(g.router);
  *flip = 1;  // a key function that would now route 3 elsewhere
  insert(f.rt, f.source, u64{5});
  remove(f.rt, f.source, u64{3});
  f.rt.read(g.router);
  EXPECT_EQ(*f.key_calls, (std::vector<u64>{3, 5}));
  EXPECT_EQ(f.group(g, 1), std::vector<u64>{});
  EXPECT_EQ(f.group(g, 0), (std::vector<u64>{5}));
}

TEST(GroupBy, DeleteOfAbsentElementCausesNoRouterWork) {
  Fixture f;
  insert(f.rt, f.source, u64{1});
  auto g = f.by_parity();
  EXPECT_EQ(f.rt.read(g.router), 0u);
  EXPECT_FALSE(remove(f.rt, f.source, u64{8}));
  EXPECT_EQ(node_state(f.rt, g.router), NodeState::Clean);
  EXPECT_EQ(f.rt.read(g.router), 0u);
  EXPECT_EQ(f.key_calls->size(), 1u);
}

TEST(GroupBy, EveryRunWithDeltasRaisesTheRouterValue) {
  Fixture f;
  insert(f.rt, f.source, u64{2});
  auto g = f.by_parity();
  auto even = *get_group(g, u64{0});
  EXPECT_EQ(f.rt.read(even.version_node), 1u);
  Probe on_even(f.rt, even.version_node);
  Probe on_router(f.rt, g.router);
  EXPECT_EQ(f.rt.read(on_router.node), 0u);
  EXPECT_EQ(f.rt.read(on_even.node), 1u);

  // An insert and a delete that cancel out: both reach the group, whose node is set.
  insert(f.rt, f.source, u64{4});
  remove(f.rt, f.source, u64{4});
  EXPECT_EQ(f.rt.read(on_router.node), 1u);
  EXPECT_EQ(*on_router.calls, 2u);
  EXPECT_EQ(f.group(g, 0), (std::vector<u64>{2}));
  EXPECT_EQ(f.rt.read(on_even.node), 3u);
  EXPECT_EQ(*on_even.calls, 2u);

  // No deltas: the value stays and nothing downstream recomputes.
  EXPECT_EQ(f.rt.read(on_router.node), 1u);
  insert(f.rt, f.source, u64{1});
  EXPECT_EQ(f.rt.read(on_router.node), 2u);
  EXPECT_EQ(f.rt.read(on_even.node), 3u);
  EXPECT_EQ(*on_even.calls, 2u);
}

TEST(GroupBy, OperatorsOnAGroupFollowOnlyThatGroup) {
  Fixture f;
  for (u64 x : {1, 2}) insert(f.rt, f.source, x);
  auto g = f.by_parity();
  auto odd = *get_group(g, u64{1});
  auto odd_count = count(f.rt, odd);
  EXPECT_EQ(f.rt.read(odd_count), 1u);

  insert(f.rt, f.source, u64{4});
  insert(f.rt, f.source, u64{3});
  // Reading the group's operator does not run the router.
  EXPECT_EQ(f.rt.read(odd_count), 1u);
  f.rt.read(g.router);
  EXPECT_EQ(f.rt.read(odd_count), 2u);

  insert(f.rt, f.source, u64{6});
  f.rt.read(g.router);
  EXPECT_EQ(node_state(f.rt, odd_count), NodeState::Clean);
}

TEST(GroupBy, ThrowingKeyFnInARunAppliesNothing) {
  Fixture f;
  auto poisoned = std::make_shared<bool>(true);
  auto g = group_by<u64>(f.rt, f.source, [poisoned](u64 x) {
    if (x == 13 && *poisoned) throw CallbackError("thirteen");
    return x % 2;
  });
  insert(f.rt, f.source, u64{2});
  insert(f.rt, f.source, u64{13});
  EXPECT_THROW(f.rt.read(g.router), CallbackError);
  EXPECT_EQ(group_count(g), 0u);
  EXPECT_EQ(node_state(f.rt, g.router), NodeState::Failed);
  *poisoned = false;
  insert(f.rt, f.source, u64{4});
  EXPECT_EQ(f.rt.read(g.router), 1u);
  EXPECT_EQ(f.group(g, 0), (std::vector<u64>{2, 4}));
  EXPECT_EQ(f.group(g, 1), (std::vector<u64>{13}));
}

TEST(GroupBy, TheRouterOwnsTheGroupsVersionNodes) {
  Fixture f;
  for (u64 x : {1, 2}) insert(f.rt, f.source, x);
  auto g = f.by_parity();
  insert(f.rt, f.source, u64{5});
  f.rt.read(g.router);
  auto tripled = group_by<u64>(f.rt, f.source, [](u64 x) { return x % 3; });
  insert(f.rt, f.source, u64{3});  // a key that only `tripled` creates, during a run
  f.rt.read(tripled.router);
  ASSERT_EQ(group_count(tripled), 3u);

  std::vector<u32> groups;
  for (u64 key : {0, 1}) groups.push_back(get_group(g, key)->version_node.slot);
  EXPECT_EQ(sorted_copy(f.rt.owned_by(g.router.slot)), sorted_copy(groups));
  std::vector<Weft<u64>> tripled_nodes;
  for (u64 key : group_keys(tripled)) tripled_nodes.push_back(get_group(tripled, key)->version_node);
  EXPECT_EQ(f.rt.owned_by(tripled.router.slot).size(), 3u);

  auto even = *get_group(g, u64{0});
  auto even_count = count(f.rt, even);
  EXPECT_EQ(f.rt.read(even_count), 1u);
  const u64 live = f.rt.live_count();
  // The router, its two groups and the count on one group.
  EXPECT_EQ(f.rt.delete_with_dependents(g.router), 4u);
  EXPECT_EQ(f.rt.live_count(), live - 4);
  EXPECT_FALSE(f.rt.is_alive(g.router.erased()));
  for (u64 key : {0, 1}) EXPECT_FALSE(f.rt.is_alive(get_group(g, key)->version_node.erased()));
  EXPECT_FALSE(f.rt.is_alive(even_count.erased()));
  for (auto node : tripled_nodes) EXPECT_TRUE(f.rt.is_alive(node.erased()));

  EXPECT_EQ(f.rt.delete_with_dependents(tripled.router), 4u);
  for (auto node : tripled_nodes) EXPECT_FALSE(f.rt.is_alive(node.erased()));
}

TEST(GroupBy, InternalFailureMessages) {
  EXPECT_EQ(failure_text([] { fail_staged_without_key(); }), "insert delta staged without key");
  EXPECT_EQ(failure_text([] { fail_router_unrecorded(); }), "group_by router ran before its handle was recorded");
  EXPECT_EQ(failure_text([] { fail_router_recorded_twice(); }), "group_by router recorded twice");
}

TEST(GroupBy, ABatchWithManyKeysRoutesLikeSmallOnes) {
  // One router run over 40 deltas on 13 keys: more keys than a run groups by scanning.
  Fixture f;
  auto g = group_by<u64>(f.rt, f.source, [](u64 x) { return x % 13; });
  std::map<u64, std::vector<u64>> model;
  for (u64 x = 0; x < 30; ++x) {
    insert(f.rt, f.source, x);
    model[x % 13].push_back(x);
  }
  for (u64 x : {0, 14, 27, 3, 29, 12, 25, 5, 18, 9}) {
    remove(f.rt, f.source, x);
    auto& members = model[x % 13];
    members.erase(std::find(members.begin(), members.end(), x));
  }
  EXPECT_EQ(f.rt.read(g.router), 1u);
  EXPECT_EQ(group_count(g), 13u);
  for (const auto& [key, members] : model) EXPECT_EQ(f.group(g, key), sorted_copy(members)) << "key " << key;
}

TEST(GroupBy, AGroupWhoseNodeWasDeletedLeavesTheOtherGroupsIntact) {
  Fixture f;
  for (u64 x : {1, 2}) insert(f.rt, f.source, x);
  auto g = f.by_parity();
  auto odd = *get_group(g, u64{1});
  f.rt.delete_node(odd.version_node);
  // Each run routes into both groups; a failed run would be retried with the next one.
  for (u64 x : {3, 5}) {
    insert(f.rt, f.source, x);
    insert(f.rt, f.source, x + 1);
    EXPECT_EQ(failure_text([&] { f.rt.read(g.router); }), "<no failure>");
  }
  EXPECT_EQ(f.group(g, 0), (std::vector<u64>{2, 4, 6}));
  EXPECT_EQ(f.group(g, 1), (std::vector<u64>{1, 3, 5}));
  remove(f.rt, f.source, u64{4});
  f.rt.read(g.router);
  EXPECT_EQ(f.group(g, 0), (std::vector<u64>{2, 6}));
}
