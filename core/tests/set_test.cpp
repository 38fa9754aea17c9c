#include "test_support.hpp"

namespace weft {
namespace {

using testing::state_of;

TEST(Set, EqualValueChangesNothing) {
  Runtime rt;
  auto a = rt.create_input<u64>(5);
  int runs = 0;
  auto q = rt.create_compute<u64>([&, a](Runtime& r) { ++runs; return r.read(a) + 1; });
  rt.read(q);
  int fired = 0;
  rt.observe(q, [&](u64) { ++fired; });
  u64 changed = rt.record(a.slot).changed_at;

  rt.set(a, u64{5});
  EXPECT_EQ(rt.revision(), 1u);
  EXPECT_EQ(rt.record(a.slot).changed_at, changed);
  EXPECT_EQ(state_of(rt, q), NodeState::Clean);  // nothing was invalidated
  rt.stabilize();
  EXPECT_EQ(fired, 0);
  EXPECT_EQ(runs, 1);
}

TEST(Set, NewValueAdvancesTheRevisionAndStampsTheInput) {
  Runtime rt;
  auto a = rt.create_input<u64>(5);
  auto b = rt.create_input<u64>(6);
  EXPECT_EQ(rt.record(a.slot).changed_at, 1u);
  EXPECT_EQ(rt.record(a.slot).verified_at, 1u);
  rt.set(a, u64{7});
  rt.set(b, u64{8});
  rt.set(a, u64{9});
  EXPECT_EQ(rt.revision(), 4u);
  EXPECT_EQ(rt.record(a.slot).changed_at, 4u);
  EXPECT_EQ(rt.record(a.slot).verified_at, 4u);
  EXPECT_EQ(rt.record(b.slot).changed_at, 3u);
  EXPECT_EQ(state_of(rt, a), NodeState::Clean);  // an input stays Clean for life
  EXPECT_EQ(rt.read(a), 9u);

  auto late = rt.create_input<u64>(1);  // stamped with the revision current at creation
  EXPECT_EQ(rt.record(late.slot).changed_at, 4u);
  EXPECT_EQ(rt.record(late.slot).verified_at, 4u);
}

TEST(Set, ComputeNodesCannotBeSet) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto q = rt.create_compute<u64>([a](Runtime& r) { return r.read(a); });
  EXPECT_FAILURE(rt.set(q, u64{3}),
                 cat("Runtime::set called on a query (compute) node at slot ", q.slot,
                     "; only input nodes can be set"));
  EXPECT_EQ(rt.revision(), 1u);
  EXPECT_EQ(rt.read(q), 1u);
}

TEST(Set, HandleOfAnotherValueTypeFindsNoArena) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  Weft<std::string> wrong{a.slot, a.generation, rt.id()};
  EXPECT_FAILURE(rt.set(wrong, std::string("x")), "weft-core: arena missing for input handle's type");
  EXPECT_FAILURE(rt.read(wrong), "weft-core: arena missing for handle's type; this should be impossible");
  EXPECT_EQ(rt.read(a), 1u);
  EXPECT_EQ(rt.revision(), 1u);
}

TEST(Creation, NotPermittedInsideACompute) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto makes_input = rt.create_compute<u64>([](Runtime& r) { return r.create_input<u64>(1).slot; });
  auto makes_query = rt.create_compute<u64>([](Runtime& r) {
    return r.create_compute<u64>([](Runtime&) { return u64{0}; }).slot;
  });
  EXPECT_FAILURE(rt.read(makes_input), "create_input called during compute; not permitted");
  EXPECT_FAILURE(rt.read(makes_query), "create_query called during compute; not permitted");
  EXPECT_EQ(rt.live_count(), 3u);
  EXPECT_EQ(state_of(rt, makes_input), NodeState::Failed);
  EXPECT_EQ(state_of(rt, makes_query), NodeState::Failed);
  EXPECT_EQ(rt.tables_lock().counter(), 0);

  // An operator's own inputs may be made during its compute.
  auto makes_own = rt.create_compute<u64>([a](Runtime& r) {
    auto own = r.create_input_unguarded<u64>(r.read(a) + 40);
    return r.read(own);
  });
  EXPECT_EQ(rt.read(makes_own), 41u);
  EXPECT_EQ(rt.live_count(), 5u);
}

TEST(Creation, NewComputeNodeIsDirtyWithZeroStampsUntilRead) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  rt.set(a, u64{2});
  int runs = 0;
  auto q = rt.create_compute<u64>([&, a](Runtime& r) { ++runs; return r.read(a); });
  EXPECT_EQ(state_of(rt, q), NodeState::Dirty);
  EXPECT_EQ(rt.record(q.slot).verified_at, 0u);
  EXPECT_EQ(rt.record(q.slot).changed_at, 0u);
  EXPECT_EQ(rt.record(q.slot).dep_count, 0u);
  EXPECT_TRUE(rt.is_compute(q.slot));
  EXPECT_FALSE(rt.is_compute(a.slot));
  EXPECT_EQ(runs, 0);  // creation computes nothing
  EXPECT_TRUE(rt.dependents_of(a.slot).empty());
}

TEST(Creation, ReusedSlotGetsFreshStampsAndState) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto q = rt.create_compute<u64>([a](Runtime& r) { return r.read(a); });
  rt.read(q);
  rt.delete_node(q);
  rt.set(a, u64{2});
  auto input = rt.create_input<u64>(9);  // takes q's slot
  ASSERT_EQ(input.slot, q.slot);
  EXPECT_EQ(input.generation, 1u);
  EXPECT_EQ(state_of(rt, input), NodeState::Clean);
  EXPECT_EQ(rt.record(input.slot).changed_at, 2u);
  EXPECT_EQ(rt.record(input.slot).dep_count, 0u);
  EXPECT_FALSE(rt.is_compute(input.slot));
  EXPECT_FAILURE(rt.set(q, u64{1}),
                 cat("weft-core: stale Weft<u64> handle: the node at slot ", q.slot,
                     " was deleted (handle generation 0, slot generation 1)"));
  rt.set(input, u64{10});
  EXPECT_EQ(rt.read(input), 10u);
}

}  // namespace
}  // namespace weft
