#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "test_support.hpp"

#include "../src/engine_internal.hpp"

namespace weft {
namespace {

using testing::ComputeError;
using testing::state_of;

std::string stale_message(u32 slot, u32 handle_generation, u32 slot_generation) {
  return cat("weft-core: stale Weft<u64> handle: the node at slot ", slot,
             " was deleted (handle generation ", handle_generation, ", slot generation ",
             slot_generation, ")");
}

std::string own_compute_message(u32 slot) {
  return cat("weft-core: delete_node called from inside node ", slot, "'s own compute");
}

// The order in which slots were released, read off the free list: creation takes the most
// recently released slot first.
std::vector<u32> release_order(Runtime& rt, std::size_t n) {
  std::vector<u32> taken;
  for (std::size_t k = 0; k < n; ++k) taken.push_back(rt.create_input<u64>(0).slot);
  return {taken.rbegin(), taken.rend()};
}

TEST(DeleteNode, RefusesANodeWithDependents) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto q = rt.create_compute<u64>([a](Runtime& r) { return r.read(a); });
  rt.read(q);
  EXPECT_FAILURE(rt.delete_node(a), cat("weft-core: delete_node on node ", a.slot,
                                        " which still has dependents; delete downstream nodes first"));
  EXPECT_TRUE(rt.is_alive(a.erased()));
  EXPECT_EQ(state_of(rt, a), NodeState::Clean);
  EXPECT_EQ(rt.tables_lock().counter(), 0);

  rt.delete_node(q);
  EXPECT_TRUE(rt.dependents_of(a.slot).empty());
  rt.delete_node(a);
  EXPECT_EQ(rt.live_count(), 0u);
  EXPECT_EQ(state_of(rt, a), NodeState::Deleted);
  EXPECT_EQ(rt.record(a.slot).generation, 1u);
}

TEST(DeleteNode, ReleaseUnlinksTheNodeFromItsDependencies) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto b = rt.create_input<u64>(2);
  auto q = rt.create_compute<u64>([a, b](Runtime& r) { return r.read(a) + r.read(b) + r.read(a); });
  auto other = rt.create_compute<u64>([a](Runtime& r) { return r.read(a); });
  rt.read(q);
  rt.read(other);
  EXPECT_EQ(rt.dependents_of(a.slot), (std::vector<u32>{q.slot, q.slot, other.slot}));
  rt.delete_node(q);
  EXPECT_EQ(rt.dependents_of(a.slot), std::vector<u32>{other.slot});
  EXPECT_TRUE(rt.dependents_of(b.slot).empty());
  EXPECT_FALSE(rt.is_compute(q.slot));
  EXPECT_EQ(rt.record(q.slot).dep_count, 0u);
}

TEST(DeleteWithDependents, DeletesDeepestFirstAndCountsWhatItReleased) {
  Runtime rt;
  auto input = rt.create_input<u64>(1);
  auto a = rt.create_compute<u64>([input](Runtime& r) { return r.read(input) + 1; });
  auto b = rt.create_compute<u64>([a](Runtime& r) { return r.read(a) + 1; });
  auto c = rt.create_compute<u64>([input](Runtime& r) { return r.read(input); });  // never runs
  rt.read(b);
  EXPECT_EQ(rt.delete_with_dependents(input), 3u);
  EXPECT_EQ(rt.live_count(), 1u);
  EXPECT_TRUE(rt.is_alive(c.erased()));
  EXPECT_EQ(release_order(rt, 3), (std::vector<u32>{b.slot, a.slot, input.slot}));

  EXPECT_FAILURE(rt.read(c), stale_message(input.slot, 0, 1));
  EXPECT_EQ(state_of(rt, c), NodeState::Failed);
}

TEST(DeleteWithDependents, SecondCallReturnsZero) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  EXPECT_EQ(rt.delete_with_dependents(a), 1u);
  EXPECT_EQ(rt.delete_with_dependents(a), 0u);
  EXPECT_FAILURE(rt.delete_node(a), stale_message(a.slot, 0, 1));
  Runtime other;
  EXPECT_FAILURE(other.delete_with_dependents(a),
                 cat("weft-core: delete_with_dependents with a handle from a foreign runtime "
                     "(handle was minted by runtime ",
                     rt.id().value, ", used on runtime ", other.id().value, ")"));
}

TEST(DeleteWithDependents, NodeReachedTwiceIsReleasedOnce) {
  Runtime rt;
  auto i = rt.create_input<u64>(1);
  auto left = rt.create_compute<u64>([i](Runtime& r) { return r.read(i); });
  auto right = rt.create_compute<u64>([i](Runtime& r) { return r.read(i); });
  auto join = rt.create_compute<u64>([=](Runtime& r) { return r.read(left) + r.read(right); });
  rt.read(join);
  EXPECT_EQ(rt.delete_with_dependents(i), 4u);
  EXPECT_EQ(rt.live_count(), 0u);
  EXPECT_EQ(rt.free_slot_count(), 4u);
}

TEST(DeleteWithDependents, TerminatesOnSelfReadingAndMutuallyReadingFailedQueries) {
  Runtime rt;
  Weft<u64> self, x, y;
  self = rt.create_compute<u64>([&](Runtime& r) { return r.read(self); });
  x = rt.create_compute<u64>([&](Runtime& r) { return r.read(y); });
  y = rt.create_compute<u64>([&](Runtime& r) { return r.read(x); });
  EXPECT_THROW(rt.read(self), InvariantFailure);
  EXPECT_THROW(rt.read(x), InvariantFailure);
  // A read of its own node is no dependency; a loop of two is recorded both ways.
  ASSERT_EQ(rt.dependents_of(self.slot), std::vector<u32>{});
  ASSERT_EQ(rt.dependents_of(x.slot), std::vector<u32>{y.slot});
  ASSERT_EQ(rt.dependents_of(y.slot), std::vector<u32>{x.slot});
  EXPECT_EQ(rt.delete_with_dependents(self), 1u);
  EXPECT_EQ(rt.delete_with_dependents(x), 2u);
  EXPECT_EQ(rt.live_count(), 0u);
}

TEST(DeleteWithDependents, NotPermittedDuringACompute) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto q = rt.create_compute<u64>([a](Runtime& r) { return r.delete_with_dependents(a); });
  EXPECT_FAILURE(rt.read(q), "weft-core: delete_with_dependents called during compute; not permitted");
  EXPECT_TRUE(rt.is_alive(a.erased()));
}

TEST(DeleteWithDependents, DeletesOwnedNodesAndTheirDependents) {
  Runtime rt;
  auto owner = rt.create_input<u64>(0);
  auto owned = rt.create_input<u64>(1);
  rt.adopt(owner.erased(), owned.erased());
  auto reader = rt.create_compute<u64>([owned](Runtime& r) { return r.read(owned); });
  rt.read(reader);
  EXPECT_EQ(rt.delete_with_dependents(owner), 3u);
  EXPECT_EQ(release_order(rt, 3), (std::vector<u32>{reader.slot, owned.slot, owner.slot}));
  EXPECT_EQ(rt.owner_of(owned.slot), std::nullopt);
  EXPECT_TRUE(rt.owned_by(owner.slot).empty());
}

TEST(Ownership, OwnedNodesAreReleasedBeforeTheirOwnerInAdoptionOrder) {
  Runtime rt;
  auto owner = rt.create_compute<u64>([](Runtime&) { return u64{0}; });
  auto o1 = rt.create_input<u64>(1);
  auto o2 = rt.create_input<u64>(2);
  auto o3 = rt.create_input<u64>(3);  // owned by o1: deleted with it
  rt.adopt(owner.erased(), o1.erased());
  rt.adopt(owner.erased(), o2.erased());
  rt.adopt(o1.erased(), o3.erased());
  EXPECT_EQ(rt.owner_of(o1.slot), owner.slot);
  EXPECT_EQ(rt.owned_by(owner.slot), (std::vector<u32>{o1.slot, o2.slot}));

  rt.delete_node(owner);
  EXPECT_EQ(rt.live_count(), 0u);
  EXPECT_EQ(release_order(rt, 4), (std::vector<u32>{o3.slot, o1.slot, o2.slot, owner.slot}));
  EXPECT_EQ(rt.owner_of(o1.slot), std::nullopt);
  EXPECT_TRUE(rt.owned_by(owner.slot).empty());
  EXPECT_TRUE(rt.owned_by(o1.slot).empty());
}

TEST(Ownership, OwnedNodeWithDependentsBlocksItsOwnersDeletion) {
  Runtime rt;
  auto owner = rt.create_input<u64>(0);
  auto o1 = rt.create_input<u64>(1);
  auto o2 = rt.create_input<u64>(2);
  rt.adopt(owner.erased(), o1.erased());
  rt.adopt(owner.erased(), o2.erased());
  auto reader = rt.create_compute<u64>([o2](Runtime& r) { return r.read(o2); });
  rt.read(reader);
  EXPECT_FAILURE(rt.delete_node(owner),
                 cat("weft-core: delete_node on node ", owner.slot, " whose owned node ", o2.slot,
                     " still has dependents; delete downstream nodes first"));
  EXPECT_EQ(rt.live_count(), 4u);
  for (auto n : {owner, o1, o2}) EXPECT_EQ(state_of(rt, n), NodeState::Clean);

  rt.delete_node(reader);
  rt.delete_node(owner);
  EXPECT_EQ(rt.live_count(), 0u);
}

TEST(Ownership, OwnedNodeDeletedAloneLeavesItsOwnersList) {
  Runtime rt;
  auto owner = rt.create_input<u64>(0);
  auto o1 = rt.create_input<u64>(1);
  auto o2 = rt.create_input<u64>(2);
  rt.adopt(owner.erased(), o1.erased());
  rt.adopt(owner.erased(), o2.erased());
  rt.delete_node(o1);
  EXPECT_EQ(rt.owned_by(owner.slot), std::vector<u32>{o2.slot});
  rt.delete_node(o2);
  EXPECT_TRUE(rt.owned_by(owner.slot).empty());
  rt.delete_node(owner);
  EXPECT_EQ(rt.live_count(), 0u);
}

// A long list of owned nodes keeps its order as they leave it from the front, the end and
// the middle, and its owner's deletion releases the rest in adoption order.
TEST(Ownership, ALongOwnedListKeepsItsOrderAsNodesLeave) {
  Runtime rt;
  auto owner = rt.create_input<u64>(0);
  std::vector<Weft<u64>> owned;
  std::vector<u32> expected;
  for (u64 i = 0; i < 50; ++i) {
    owned.push_back(rt.create_input<u64>(i));
    rt.adopt(owner.erased(), owned.back().erased());
    expected.push_back(owned.back().slot);
  }
  for (std::size_t k : {0u, 49u, 25u, 1u}) {
    rt.delete_node(owned[k]);
    expected.erase(std::find(expected.begin(), expected.end(), owned[k].slot));
    EXPECT_EQ(rt.owned_by(owner.slot), expected) << k;
  }
  EXPECT_EQ(rt.delete_with_dependents(owner), 47u);
  EXPECT_EQ(rt.live_count(), 0u);
}

TEST(Ownership, AdoptChecksAndChangesNothingOnFailure) {
  Runtime rt;
  auto owner = rt.create_input<u64>(0);
  auto input = rt.create_input<u64>(1);
  auto query = rt.create_compute<u64>([](Runtime&) { return u64{0}; });
  auto gone = rt.create_input<u64>(2);
  rt.delete_node(gone);
  auto second_owner = rt.create_input<u64>(3);  // reuses gone's slot

  EXPECT_FAILURE(rt.adopt(gone.erased(), input.erased()),
                 cat("weft-core: adopt of deleted node ", gone.slot));
  EXPECT_FAILURE(rt.adopt(owner.erased(), gone.erased()),
                 cat("weft-core: adopt of deleted node ", gone.slot));
  Runtime other;
  auto foreign = other.create_input<u64>(0);
  EXPECT_FAILURE(rt.adopt(foreign.erased(), input.erased()),
                 cat("weft-core: adopt of deleted node ", foreign.slot));
  EXPECT_FAILURE(rt.adopt(owner.erased(), query.erased()),
                 cat("weft-core: adopt of node ", query.slot, ", which is not an input"));
  EXPECT_EQ(rt.owner_of(input.slot), std::nullopt);

  rt.adopt(query.erased(), input.erased());  // owners may be of any kind
  EXPECT_FAILURE(rt.adopt(second_owner.erased(), input.erased()),
                 cat("weft-core: node ", input.slot, " adopted twice"));
  EXPECT_EQ(rt.owner_of(input.slot), query.slot);
  EXPECT_TRUE(rt.owned_by(second_owner.slot).empty());
  EXPECT_EQ(rt.tables_lock().counter(), 0);
}

// A loop of owners would leave deleting any of its nodes walking the loop for good.
TEST(Ownership, AdoptRefusesAnOwnershipLoop) {
  Runtime rt;
  auto a = rt.create_input<u64>(0);
  auto b = rt.create_input<u64>(1);
  auto c = rt.create_input<u64>(2);
  EXPECT_FAILURE(rt.adopt(a.erased(), a.erased()),
                 cat("weft-core: adopt of node ", a.slot, " by node ", a.slot, ", which it owns"));
  rt.adopt(a.erased(), b.erased());
  rt.adopt(b.erased(), c.erased());
  EXPECT_FAILURE(rt.adopt(c.erased(), a.erased()),
                 cat("weft-core: adopt of node ", a.slot, " by node ", c.slot, ", which it owns"));
  EXPECT_EQ(rt.owner_of(a.slot), std::nullopt);
  rt.delete_node(a);
  EXPECT_FALSE(rt.is_alive(b.erased()) || rt.is_alive(c.erased()));
}

TEST(OwnComputeGuard, RefusesDeletingANodeWhoseComputeIsInProgress) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  Weft<u64> outer, inner;
  bool delete_outer = false;
  inner = rt.create_compute<u64>([&](Runtime& r) {
    if (delete_outer) r.delete_node(outer);
    return r.read(a);
  });
  outer = rt.create_compute<u64>([&](Runtime& r) {
    if (!delete_outer) r.delete_node(outer);
    return r.read(inner) + 1;
  });
  EXPECT_FAILURE(rt.read(outer), own_compute_message(outer.slot));  // its own node
  delete_outer = true;
  rt.set(a, u64{2});
  rt.record_for_testing(outer.slot).set_state(NodeState::Dirty);  // retry outright
  EXPECT_FAILURE(rt.read(outer), own_compute_message(outer.slot));  // one frame further out
  EXPECT_TRUE(rt.is_alive(outer.erased()));
  EXPECT_TRUE(rt.is_alive(inner.erased()));
}

TEST(OwnComputeGuard, DeletingAnUnrelatedNodeFromAComputeWorks) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto doomed = rt.create_input<u64>(9);
  auto q = rt.create_compute<u64>([&](Runtime& r) {
    r.delete_node(doomed);
    return r.read(a);
  });
  EXPECT_EQ(rt.read(q), 1u);
  EXPECT_FALSE(rt.is_alive(doomed.erased()));
  EXPECT_EQ(state_of(rt, q), NodeState::Clean);
}

TEST(DeleteNode, ObserversAndLabelGoWithTheNode) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto keep = rt.create_input<u64>(1);
  int fired = 0;
  u64 id = rt.observe(a, [&](u64) { ++fired; });
  rt.observe(keep, [](u64) {});
  rt.set_label(a.slot, "a");
  rt.set(a, u64{2});
  rt.delete_node(a);
  EXPECT_EQ(rt.observer_count(), 1u);
  rt.stabilize();
  EXPECT_EQ(fired, 0);
  rt.unobserve(id);  // already gone: nothing
  EXPECT_EQ(rt.observer_count(), 1u);
  std::vector<NodeSnapshot> snap = rt.collect_snapshot();
  ASSERT_EQ(snap.size(), 1u);
  EXPECT_EQ(snap[0].slot, keep.slot);
  auto reused = rt.create_input<u64>(3);
  EXPECT_EQ(reused.slot, a.slot);
  EXPECT_EQ(rt.collect_snapshot()[0].label, std::nullopt);
}

TEST(DeleteNode, WaitsForAComputeInProgressElsewhere) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  NodeRecord& record = rt.record_for_testing(a.slot);
  record.set_state(NodeState::Computing);  // as if another thread were computing it
  std::thread other([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::atomic_ref<u8>(record.state).store(encode_state(NodeState::Clean));
  });
  rt.delete_node(a);
  other.join();
  EXPECT_FALSE(rt.is_alive(a.erased()));
  EXPECT_EQ(rt.live_count(), 0u);
}

// The wait of a deleter (and of a read meeting a compute in progress elsewhere): 63 spins,
// then a yield of the thread on the 64th round and every later one.
TEST(Backoff, SpinsSixtyThreeRoundsThenYields) {
  internal::Backoff backoff;
  for (int round = 1; round <= 63; ++round) EXPECT_FALSE(backoff.wait()) << "round " << round;
  EXPECT_TRUE(backoff.wait());
  EXPECT_TRUE(backoff.wait());
}

TEST(DeleteNode, LosingTheClaimToAnotherDeleterFails) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  NodeRecord& record = rt.record_for_testing(a.slot);
  record.set_state(NodeState::Deleted);  // another deleter's claim; it releases shortly
  std::thread other([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::atomic_ref<u32>(record.generation).store(1);
  });
  EXPECT_FAILURE(rt.delete_node(a), cat("weft-core: node ", a.slot, " deleted twice concurrently"));
  other.join();
  EXPECT_EQ(rt.tables_lock().counter(), 0);
}

TEST(DeleteNode, FailedAndNeverComputedNodesCanBeDeleted) {
  Runtime rt;
  auto a = rt.create_input<u64>(0);
  auto f = rt.create_compute<u64>([a](Runtime& r) -> u64 {
    r.read(a);
    throw ComputeError("always");
  });
  auto dirty = rt.create_compute<u64>([a](Runtime& r) { return r.read(a); });
  EXPECT_THROW(rt.read(f), ComputeError);
  rt.delete_node(f);
  rt.delete_node(dirty);
  EXPECT_TRUE(rt.dependents_of(a.slot).empty());
  rt.delete_node(a);
  EXPECT_EQ(rt.live_count(), 0u);
}

}  // namespace
}  // namespace weft
