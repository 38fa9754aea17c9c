#include "test_support.hpp"

namespace weft {
namespace {

using testing::state_of;

// input i -> p -> q, all computed and Clean.
struct Chain {
  Runtime rt;
  Weft<u64> i, p, q;
  Chain() {
    i = rt.create_input<u64>(1);
    p = rt.create_compute<u64>([this](Runtime& r) { return r.read(i) + 1; });
    q = rt.create_compute<u64>([this](Runtime& r) { return r.read(p) + 1; });
    rt.read(q);
  }
  NodeRecord& record(Weft<u64> n) { return rt.record_for_testing(n.slot); }
};

TEST(States, SetMarksCleanAndFailedDependentsStale) {
  Chain g;
  ASSERT_EQ(state_of(g.rt, g.p), NodeState::Clean);
  g.record(g.q).set_state(NodeState::Failed);
  g.rt.set(g.i, u64{2});
  EXPECT_EQ(state_of(g.rt, g.p), NodeState::Stale);
  EXPECT_EQ(state_of(g.rt, g.q), NodeState::Stale);
  EXPECT_EQ(state_of(g.rt, g.i), NodeState::Clean);
  EXPECT_EQ(g.rt.read(g.q), 4u);
}

TEST(States, DirtyNodeStaysDirtyAndPassesTheChangeOn) {
  Chain g;
  g.record(g.p).set_state(NodeState::Dirty);
  g.rt.set(g.i, u64{2});
  EXPECT_EQ(state_of(g.rt, g.p), NodeState::Dirty);
  EXPECT_EQ(state_of(g.rt, g.q), NodeState::Stale);
  EXPECT_EQ(g.rt.read(g.q), 4u);
}

TEST(States, PropagationStopsAtStaleComputingStaleAndDeleted) {
  for (NodeState stop : {NodeState::Stale, NodeState::ComputingStale, NodeState::Deleted}) {
    Chain g;
    g.record(g.p).set_state(stop);
    g.rt.set(g.i, u64{2});
    EXPECT_EQ(state_of(g.rt, g.p), stop);
    EXPECT_EQ(state_of(g.rt, g.q), NodeState::Clean) << "stopped by " << int(stop);
  }
}

TEST(States, NodeIsComputingWhileItsComputeRuns) {
  Runtime rt;
  Weft<u64> q;
  std::vector<NodeState> seen;
  auto a = rt.create_input<u64>(1);
  q = rt.create_compute<u64>([&](Runtime& r) {
    seen.push_back(state_of(r, q));
    return r.read(a);
  });
  rt.read(q);
  rt.set(a, u64{2});
  rt.read(q);  // verified Stale, then recomputed
  EXPECT_EQ(seen, (std::vector<NodeState>{NodeState::Computing, NodeState::Computing}));
  EXPECT_EQ(state_of(rt, q), NodeState::Clean);
}

TEST(States, InputSetDuringItsDependentsComputeEndsItStale) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  Weft<u64> q;
  int runs = 0;
  std::vector<NodeState> after_set;
  q = rt.create_compute<u64>([&](Runtime& r) {
    ++runs;
    u64 v = r.read(a);
    if (v % 2 == 1) {
      r.set(a, v + 1);  // q already depends on a: its compute is now ComputingStale
      after_set.push_back(state_of(r, q));
    }
    return v;
  });
  rt.set(a, u64{2});  // never read yet: nothing to invalidate
  EXPECT_EQ(rt.read(q), 2u);
  rt.set(a, u64{3});
  EXPECT_EQ(state_of(rt, q), NodeState::Stale);

  EXPECT_EQ(rt.read(q), 3u);  // the value of the compute that ran
  EXPECT_EQ(after_set, std::vector<NodeState>{NodeState::ComputingStale});
  EXPECT_EQ(state_of(rt, q), NodeState::Stale);
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(rt.read(a), 4u);

  EXPECT_EQ(rt.read(q), 4u);  // the next read sees the write
  EXPECT_EQ(state_of(rt, q), NodeState::Clean);
  EXPECT_EQ(runs, 3);
}

TEST(States, ComputingStaleWithADeletedReadEndsDirtyAndRunsAgain) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto extra = rt.create_input<u64>(100);
  int runs = 0;
  Weft<u64> q;
  std::vector<NodeState> after_delete;
  q = rt.create_compute<u64>([&](Runtime& r) {
    ++runs;
    u64 v = r.read(a);
    if (runs == 2) {
      v += r.read(extra);
      r.set(a, u64{50});
      r.delete_node(extra);
      after_delete.push_back(state_of(r, q));
    }
    return v;
  });
  EXPECT_EQ(rt.read(q), 1u);
  rt.set(a, u64{2});
  EXPECT_EQ(rt.read(q), 50u);  // run 2 was discarded; run 3 read the new value
  EXPECT_EQ(runs, 3);
  EXPECT_EQ(after_delete, std::vector<NodeState>{NodeState::ComputingStale});
  EXPECT_EQ(state_of(rt, q), NodeState::Clean);
  EXPECT_EQ(rt.dependencies_of(q.slot), std::vector<u32>{a.slot});
}

TEST(States, VerificationWithUnchangedDependenciesEndsClean) {
  Chain g;
  g.record(g.q).set_state(NodeState::Stale);  // nothing below it changed
  TracedRead<u64> traced = g.rt.get_traced(g.q);
  EXPECT_EQ(traced.value, 3u);
  ASSERT_EQ(traced.records.size(), 1u);
  EXPECT_EQ(traced.records[0].slot, g.q.slot);
  EXPECT_EQ(traced.records[0].action, TraceAction::VerifiedClean);
  EXPECT_EQ(state_of(g.rt, g.q), NodeState::Clean);
  EXPECT_EQ(g.rt.record(g.q.slot).verified_at, g.rt.revision());
}

}  // namespace
}  // namespace weft
