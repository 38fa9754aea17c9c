#include <pthread.h>

#include <exception>

#include "test_support.hpp"

namespace weft {
namespace {

using testing::ComputeError;
using testing::read_or;
using testing::Tagged;
using testing::state_of;

std::vector<std::pair<u32, TraceAction>> actions(const std::vector<TraceRecord>& records) {
  std::vector<std::pair<u32, TraceAction>> out;
  for (const TraceRecord& r : records) out.emplace_back(r.slot, r.action);
  return out;
}

std::string cycle_message(u32 slot) {
  return cat("weft-core: dependency cycle detected: node ", slot,
             " was read while its own compute was in progress");
}

std::string failed_message(u32 slot) {
  return cat("weft-core: node ", slot,
             " read but its last compute panicked; it stays Failed until a dependency changes "
             "(set an upstream input to retry)");
}

TEST(Reads, CleanNodeIsReturnedWithoutLookingBelowIt) {
  Runtime rt;
  int b_runs = 0, c_runs = 0;
  auto a = rt.create_input<u64>(1);
  auto b = rt.create_compute<u64>([&, a](Runtime& r) { ++b_runs; return r.read(a) + 1; });
  auto c = rt.create_compute<u64>([&, b](Runtime& r) { ++c_runs; return r.read(b) * 2; });
  EXPECT_EQ(rt.read(c), 4u);
  rt.record_for_testing(b.slot).set_state(NodeState::Dirty);
  EXPECT_EQ(rt.read(c), 4u);
  EXPECT_EQ(b_runs, 1);
  EXPECT_EQ(c_runs, 1);
  EXPECT_EQ(state_of(rt, b), NodeState::Dirty);
}

TEST(Reads, CutoffVerifiesDownstreamWithoutRecomputing) {
  Runtime rt;
  int b_runs = 0, c_runs = 0;
  auto a = rt.create_input<u64>(4);
  auto b = rt.create_compute<u64>([&, a](Runtime& r) { ++b_runs; return r.read(a) % 2; });
  auto c = rt.create_compute<u64>([&, b](Runtime& r) { ++c_runs; return r.read(b) + 10; });
  EXPECT_EQ(rt.read(c), 10u);
  u64 b_changed = rt.record(b.slot).changed_at;

  rt.set(a, u64{6});  // b's result stays 0
  EXPECT_EQ(state_of(rt, b), NodeState::Stale);
  EXPECT_EQ(state_of(rt, c), NodeState::Stale);
  TracedRead<u64> traced = rt.get_traced(c);
  EXPECT_EQ(traced.value, 10u);
  EXPECT_EQ(actions(traced.records),
            (std::vector<std::pair<u32, TraceAction>>{{b.slot, TraceAction::RecomputedCutoff},
                                                      {c.slot, TraceAction::VerifiedClean}}));
  EXPECT_EQ(b_runs, 2);
  EXPECT_EQ(c_runs, 1);
  EXPECT_EQ(rt.record(b.slot).changed_at, b_changed);  // a cut-off node did not change
  EXPECT_EQ(rt.record(b.slot).verified_at, rt.revision());
  EXPECT_EQ(rt.record(c.slot).verified_at, rt.revision());
  EXPECT_EQ(state_of(rt, b), NodeState::Clean);
  EXPECT_EQ(state_of(rt, c), NodeState::Clean);

  rt.set(a, u64{7});  // now b changes and c must run
  traced = rt.get_traced(c);
  EXPECT_EQ(traced.value, 11u);
  EXPECT_EQ(actions(traced.records),
            (std::vector<std::pair<u32, TraceAction>>{{b.slot, TraceAction::RecomputedChanged},
                                                      {c.slot, TraceAction::RecomputedChanged}}));
  EXPECT_EQ(c_runs, 2);
  EXPECT_EQ(rt.record(b.slot).changed_at, rt.revision());
}

TEST(Reads, NewQueryCountsAsChangedAtTheRevisionItStarted) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  rt.set(a, u64{2});
  rt.set(a, u64{3});
  ASSERT_EQ(rt.revision(), 3u);
  auto q = rt.create_compute<u64>([a](Runtime& r) { return r.read(a); });
  EXPECT_EQ(state_of(rt, q), NodeState::Dirty);
  EXPECT_EQ(rt.record(q.slot).verified_at, 0u);
  EXPECT_EQ(rt.record(q.slot).changed_at, 0u);
  TracedRead<u64> traced = rt.get_traced(q);
  EXPECT_EQ(traced.value, 3u);
  EXPECT_EQ(actions(traced.records), (std::vector<std::pair<u32, TraceAction>>{
                                         {q.slot, TraceAction::RecomputedChanged}}));
  EXPECT_EQ(rt.record(q.slot).changed_at, 3u);
  EXPECT_EQ(rt.record(q.slot).verified_at, 3u);
  EXPECT_EQ(state_of(rt, q), NodeState::Clean);
}

TEST(Reads, StaleRecomputeKeepsAnEqualValueDirtyRecomputeAlwaysChanges) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  int runs = 0;
  auto q = rt.create_compute<Tagged>([&, a](Runtime& r) {
    ++runs;
    return Tagged{r.read(a) / 10, runs};
  });
  EXPECT_EQ(rt.read(q).tag, 1);
  u64 changed = rt.record(q.slot).changed_at;

  rt.set(a, u64{2});  // recomputed from Stale to an equal value: the old value stays
  EXPECT_EQ(rt.read(q).tag, 1);
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(rt.record(q.slot).changed_at, changed);

  rt.set(a, u64{3});
  rt.record_for_testing(q.slot).set_state(NodeState::Dirty);  // due to be recomputed outright
  EXPECT_EQ(rt.read(q).tag, 3);                               // stored without comparison
  EXPECT_EQ(rt.record(q.slot).changed_at, rt.revision());
}

TEST(Reads, TraversalBringsDependenciesUpToDateLastRecordedFirst) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto p1 = rt.create_compute<u64>([a](Runtime& r) { return r.read(a) + 1; });
  auto p2 = rt.create_compute<u64>([a](Runtime& r) { return r.read(a) + 2; });
  auto q = rt.create_compute<u64>([p1, p2](Runtime& r) { return r.read(p1) * r.read(p2); });
  EXPECT_EQ(rt.read(q), 6u);
  rt.set(a, u64{2});
  TracedRead<u64> traced = rt.get_traced(q);
  EXPECT_EQ(traced.value, 12u);
  EXPECT_EQ(actions(traced.records),
            (std::vector<std::pair<u32, TraceAction>>{{p2.slot, TraceAction::RecomputedChanged},
                                                      {p1.slot, TraceAction::RecomputedChanged},
                                                      {q.slot, TraceAction::RecomputedChanged}}));
}

TEST(Cycles, SelfReadFailsAndEndsFailed) {
  Runtime rt;
  Weft<u64> q;
  q = rt.create_compute<u64>([&q](Runtime& r) { return r.read(q) + 1; });
  EXPECT_FAILURE(rt.read(q), cycle_message(q.slot));
  EXPECT_EQ(state_of(rt, q), NodeState::Failed);
  EXPECT_EQ(rt.dependencies_of(q.slot), std::vector<u32>{});  // never a dependency of itself
  EXPECT_EQ(rt.dependents_of(q.slot), std::vector<u32>{});
  EXPECT_FALSE(rt.dep_stack().in_compute());
  EXPECT_EQ(rt.tables_lock().counter(), 0);
}

TEST(Cycles, MutualReadFailsOnTheReadThatClosesTheLoop) {
  Runtime rt;
  Weft<u64> a, b;
  int a_runs = 0, b_runs = 0;
  a = rt.create_compute<u64>([&](Runtime& r) { ++a_runs; return r.read(b) + 1; });
  b = rt.create_compute<u64>([&](Runtime& r) { ++b_runs; return r.read(a) + 1; });
  EXPECT_FAILURE(rt.read(a), cycle_message(a.slot));
  EXPECT_EQ(a_runs, 1);
  EXPECT_EQ(b_runs, 1);
  EXPECT_EQ(state_of(rt, a), NodeState::Failed);
  EXPECT_EQ(state_of(rt, b), NodeState::Failed);
  EXPECT_EQ(rt.dependencies_of(a.slot), std::vector<u32>{b.slot});
  EXPECT_EQ(rt.dependencies_of(b.slot), std::vector<u32>{a.slot});
}

// A graph of three slots: input `i`, query `b` reading i, and query `a` reading b `width`
// times. Reading a after i changed pushes b once per entry of a's dependency list; only the
// first of those entries finds b not Clean.
struct WideReader {
  Runtime rt;
  Weft<u64> i, b, a;
  int a_runs = 0;
  explicit WideReader(u64 width) {
    i = rt.create_input<u64>(1);
    b = rt.create_compute<u64>([this](Runtime& r) { return r.read(i) + 1; });
    a = rt.create_compute<u64>([this, width](Runtime& r) {
      ++a_runs;
      u64 sum = 0;
      for (u64 k = 0; k < width; ++k) sum += r.read(b);
      return sum;
    });
    rt.read(a);
    rt.set(i, u64{2});
  }
};

TEST(Budget, EntriesFoundCleanCostNothing) {
  // Slot count 3: the budget is 3 * 256 + 1024 = 1792 steps that expand a node. Reading b
  // far more often than that is no cycle: the entries found Clean are not counted.
  WideReader wide(100000);
  ASSERT_EQ(wide.rt.nodes().count(), 3u);
  EXPECT_EQ(wide.rt.read(wide.a), 100000u * 3);
  EXPECT_EQ(wide.a_runs, 2);
}

TEST(Cycles, LoopThatStillHoldsIsReportedAgainAfterAnInputChange) {
  Runtime rt;
  auto i = rt.create_input<u64>(1);
  Weft<u64> a, b;
  int a_runs = 0, b_runs = 0;
  a = rt.create_compute<u64>([&](Runtime& r) { ++a_runs; return r.read(i) + r.read(b); });
  b = rt.create_compute<u64>([&](Runtime& r) { ++b_runs; return r.read(i) + r.read(a); });
  EXPECT_FAILURE(rt.read(a), cycle_message(a.slot));
  EXPECT_FAILURE(rt.read(a), failed_message(a.slot));  // the recorded loop is walked once
  rt.set(i, u64{2});  // both nodes on the recorded loop become Stale
  ASSERT_EQ(state_of(rt, a), NodeState::Stale);
  ASSERT_EQ(state_of(rt, b), NodeState::Stale);
  EXPECT_FAILURE(rt.read(a), cycle_message(a.slot));
  EXPECT_FAILURE(rt.read(b), failed_message(b.slot));
  EXPECT_EQ(a_runs, 2);
  EXPECT_EQ(b_runs, 2);
  EXPECT_EQ(state_of(rt, a), NodeState::Failed);
  EXPECT_EQ(state_of(rt, b), NodeState::Failed);
  EXPECT_EQ(rt.record_for_testing(a.slot).state, encode_state(NodeState::Failed));  // no mark left
}

// `a` reads `b` while the switch is on; `b` always reads `a`, through nothing else. The
// switch reaches `a` through a query, so after it changes every node on the loop is Stale.
TEST(Cycles, RecordedLoopIsLeftOnceAnInputBreaksIt) {
  Runtime rt;
  auto on = rt.create_input<u64>(1);
  auto parsed = rt.create_compute<u64>([on](Runtime& r) { return r.read(on); });
  Weft<u64> a, b;
  a = rt.create_compute<u64>([&](Runtime& r) { return r.read(parsed) ? r.read(b) + 1 : 5; });
  b = rt.create_compute<u64>([&](Runtime& r) { return r.read(a) + 1; });
  EXPECT_FAILURE(rt.read(b), cycle_message(b.slot));
  rt.set(on, u64{0});
  EXPECT_EQ(rt.read(b), 6u);
  EXPECT_EQ(rt.read(a), 5u);
  EXPECT_EQ(rt.dependencies_of(a.slot), std::vector<u32>{parsed.slot});
  rt.set(on, u64{1});
  EXPECT_FAILURE(rt.read(a), cycle_message(a.slot));
  rt.set(on, u64{0});
  EXPECT_EQ(rt.read(a), 5u);
  EXPECT_EQ(rt.read(b), 6u);
}

// The two queries read each other in turn, never both at once: the graph is acyclic for
// every value of the switch, but a's recorded list names b when b's compute reads a.
TEST(Cycles, DependenciesThatChangeDirectionAreNoCycle) {
  Runtime rt;
  auto on = rt.create_input<u64>(1);
  Weft<u64> a, b;
  a = rt.create_compute<u64>([&](Runtime& r) { return r.read(on) ? r.read(b) : 0; });
  b = rt.create_compute<u64>([&](Runtime& r) { return r.read(on) ? 5 : r.read(a) + 1; });
  EXPECT_EQ(rt.read(a), 5u);
  rt.set(on, u64{0});
  EXPECT_EQ(rt.read(b), 1u);
  EXPECT_EQ(rt.read(a), 0u);
  EXPECT_EQ(rt.dependencies_of(a.slot), std::vector<u32>{on.slot});
  EXPECT_EQ(rt.dependencies_of(b.slot), (std::vector<u32>{on.slot, a.slot}));
  rt.set(on, u64{1});
  EXPECT_EQ(rt.read(a), 5u);
  EXPECT_EQ(rt.read(b), 5u);
}

// Acyclic for either value of `i`, though the recorded lists loop: `a` reads `b` (= i + 1),
// and `c` when that is odd; `c` reads `i`, and `d` when `i` is odd; `d` reads `i` and `a`.
// A read brings a node's recorded dependencies up to date before it decides whether the node
// needs them, so it meets computes this graph does not run for the present value of `i`.
TEST(Cycles, RecordedDependencyNamingTheRunningComputeIsLeftToItsDependent) {
  Runtime rt;
  auto i = rt.create_input<u64>(0);
  Weft<u64> a, b, c, d;
  a = rt.create_compute<u64>([&](Runtime& r) { return r.read(b) % 2 ? r.read(c) : 0; });
  b = rt.create_compute<u64>([&](Runtime& r) { return r.read(i) + 1; });
  c = rt.create_compute<u64>([&](Runtime& r) { return r.read(i) % 2 ? r.read(d) : 7; });
  d = rt.create_compute<u64>([&](Runtime& r) { return r.read(i) + r.read(a); });
  auto expect_settled = [&] {
    for (Weft<u64> q : {a, b, c, d}) {
      NodeState state = state_of(rt, q);
      EXPECT_TRUE(state == NodeState::Clean || state == NodeState::Stale) << q.slot;
      EXPECT_EQ(rt.record_for_testing(q.slot).state, encode_state(state)) << q.slot;  // no mark
    }
  };
  EXPECT_EQ(rt.read(a), 7u);
  rt.set(i, u64{1});
  EXPECT_EQ(rt.read(a), 0u);
  EXPECT_EQ(rt.read(c), 1u);
  // `a` reads `c`, whose list names `d`, whose list names `a`, now running: `d` is left for
  // `c` to decide, and c's recompute does not read it.
  rt.set(i, u64{0});
  EXPECT_EQ(rt.read(b), 1u);
  EXPECT_EQ(rt.read(a), 7u);
  expect_settled();
  EXPECT_EQ(rt.read(d), 7u);
  EXPECT_EQ(rt.read(c), 7u);
  expect_settled();
}

// Acyclic for either value of `i`, though the recorded lists loop: `a` reads `b` (= i + 1),
// and `c` when that is odd; `c` reads `i`, and `d` when `i` is odd; `d` reads `i` and `a`.
// Once `i` turns odd, d's compute reads `a`, whose stale list names `c`: refreshed ahead of
// need, c's recompute reads `d`, still running, though a's recompute no longer reads `c`.
TEST(Cycles, ComputeRunAheadOfNeedThatReadsTheRunningOneIsNoCycle) {
  Runtime rt;
  auto i = rt.create_input<u64>(0);
  Weft<u64> a, b, c, d;
  int c_runs = 0;
  a = rt.create_compute<u64>([&](Runtime& r) { return r.read(b) % 2 ? r.read(c) : 0; });
  b = rt.create_compute<u64>([&](Runtime& r) { return r.read(i) + 1; });
  c = rt.create_compute<u64>([&](Runtime& r) {
    ++c_runs;
    return r.read(i) % 2 ? r.read(d) : 7;
  });
  d = rt.create_compute<u64>([&](Runtime& r) { return r.read(i) + r.read(a); });
  EXPECT_EQ(rt.read(a), 7u);
  rt.set(i, u64{1});
  EXPECT_EQ(rt.read(d), 1u);
  EXPECT_FALSE(rt.retreating());
  EXPECT_EQ(state_of(rt, a), NodeState::Clean);
  EXPECT_EQ(state_of(rt, c), NodeState::Stale);  // abandoned, and not read since
  EXPECT_EQ(rt.record_for_testing(c.slot).state, encode_state(NodeState::Stale));  // no mark
  EXPECT_EQ(c_runs, 2);
  EXPECT_EQ(rt.read(c), 1u);
  EXPECT_EQ(rt.read(a), 0u);
  rt.set(i, u64{2});  // and back: a reads c, which no longer reads d
  EXPECT_EQ(rt.read(d), 9u);
  EXPECT_EQ(rt.read(c), 7u);
}

// Acyclic for either parity of `m`, though the recorded lists of the odd shape lead from `p`
// to `s` and the even shape's `s` reads `p`. Once `m` turns even, a read of `r` refreshes `p`
// ahead of need; p's compute reads `q`, whose stale list has `s` refreshed ahead of need in
// turn, and s's compute reads `p`, still running. `s` catches that retreat: the value it
// returns is made from abandoned work, so it is recomputed when it is read.
TEST(Cycles, ComputeRunAheadOfNeedThatCatchesItsRetreatIsRecomputedWhenRead) {
  Runtime rt;
  auto m = rt.create_input<u64>(1);
  auto x = rt.create_input<u64>(10);
  Weft<u64> p, q, s, r;
  p = rt.create_compute<u64>([&](Runtime& rd) { return rd.read(m) + rd.read(rd.read(m) % 2 ? x : q); });
  q = rt.create_compute<u64>([&](Runtime& rd) { return rd.read(m) % 2 ? rd.read(s) : 10 * rd.read(m); });
  s = rt.create_compute<u64>([&](Runtime& rd) { return rd.read(m) % 2 ? rd.read(x) : read_or(rd, p, 999) + 1; });
  r = rt.create_compute<u64>([&](Runtime& rd) { return rd.read(p); });
  EXPECT_EQ(rt.read(r), 11u);
  EXPECT_EQ(rt.read(q), 10u);
  rt.set(m, u64{2});
  EXPECT_EQ(rt.read(r), 22u);
  EXPECT_FALSE(rt.retreating());
  EXPECT_EQ(rt.read(s), 23u);
  EXPECT_EQ(rt.read(q), 20u);
}

// While `turn` is 2, `top` and `side` read each other, and each counts 1 for a read that
// fails as the cycle. Once `turn` is 0, `top` no longer reads `side` and comes back to the
// value it had: `side` must read it, not keep what it made of the cycle.
TEST(Cycles, ComputeThatCaughtACycleSeesTheLoopBreak) {
  Runtime rt;
  auto base = rt.create_input<u64>(2);
  auto turn = rt.create_input<u64>(0);
  Weft<u64> top, side;
  top = rt.create_compute<u64>([&](Runtime& r) {
    u64 t = r.read(turn);
    if (t == 2) t += r.read(base) + read_or(r, side, 1);
    return t % 4;
  });
  side = rt.create_compute<u64>([&](Runtime& r) { return (r.read(base) + 1 + read_or(r, top, 1)) % 4; });
  rt.set(turn, u64{2});
  rt.read(side);
  rt.read(top);
  rt.set(turn, u64{0});
  EXPECT_EQ(rt.read(top), 0u);
  EXPECT_EQ(rt.read(side), 3u);
}

// `c` reads only `b` and `p`. While `a` is 2, `p` fails as a cycle and `c` counts 1 for
// it; once `a` is 0 again, `p` comes back to the value it held before it failed, and `c`
// must read that rather than keep what it made of the failure.
TEST(Failures, ComputeThatCaughtAFailureSeesTheNodeRecoverToItsOldValue) {
  Runtime rt;
  auto a = rt.create_input<u64>(0);
  auto b = rt.create_input<u64>(0);
  Weft<u64> p, r, s, t, c;
  p = rt.create_compute<u64>([&](Runtime& rd) { return (rd.read(a) + rd.read(r)) % 4; });
  r = rt.create_compute<u64>([&](Runtime& rd) { return (rd.read(b) + rd.read(s)) % 4; });
  s = rt.create_compute<u64>([&](Runtime& rd) { return rd.read(a) + (rd.read(a) == 2 ? rd.read(t) : 0); });
  t = rt.create_compute<u64>([&](Runtime& rd) { return rd.read(p) % 4; });
  c = rt.create_compute<u64>([&](Runtime& rd) { return rd.read(b) + read_or(rd, p, 1); });
  EXPECT_EQ(rt.read(p), 0u);
  EXPECT_EQ(rt.read(c), 0u);
  rt.set(a, u64{2});
  for (int k = 0; k < 2; ++k) EXPECT_THROW(rt.read(p), InvariantFailure);
  EXPECT_EQ(rt.read(c), 1u);
  rt.set(a, u64{0});
  EXPECT_EQ(rt.read(p), 0u);
  EXPECT_EQ(rt.read(c), 0u);
}

TEST(Failures, FailedComputeStaysFailedUntilAnInputItReadChanges) {
  Runtime rt;
  auto a = rt.create_input<u64>(0);
  auto other = rt.create_input<u64>(0);
  int runs = 0;
  auto f = rt.create_compute<u64>([&, a](Runtime& r) -> u64 {
    ++runs;
    u64 v = r.read(a);
    if (v == 0) throw ComputeError("a is zero");
    return 100 / v;
  });
  try {
    rt.read(f);
    ADD_FAILURE() << "the compute's own failure should reach the reader";
  } catch (const ComputeError& error) {
    EXPECT_STREQ(error.what(), "a is zero");
  }
  EXPECT_EQ(state_of(rt, f), NodeState::Failed);
  EXPECT_EQ(rt.dependencies_of(f.slot), std::vector<u32>{a.slot});
  EXPECT_EQ(rt.dependents_of(a.slot), std::vector<u32>{f.slot});

  EXPECT_FAILURE(rt.read(f), failed_message(f.slot));
  rt.set(other, u64{1});
  EXPECT_FAILURE(rt.read(f), failed_message(f.slot));
  EXPECT_EQ(runs, 1);

  rt.set(a, u64{4});
  EXPECT_EQ(state_of(rt, f), NodeState::Stale);
  EXPECT_EQ(rt.read(f), 25u);
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(state_of(rt, f), NodeState::Clean);
}

// While `a` is odd, `q` reads `loop`, which reads itself, and `g` reads `boom`, which fails
// on even values. Back at an even `a`, their recorded lists still name those nodes, whose
// refresh fails again: neither reads them now, so no read of theirs may fail, after this
// write or any later one.
TEST(Failures, DependencyFailingAsItIsRefreshedFailsNoReadThatNoLongerNeedsIt) {
  Runtime rt;
  auto a = rt.create_input<u64>(0);
  Weft<u64> loop, q;
  loop = rt.create_compute<u64>([&](Runtime& r) { return r.read(a) + r.read(loop); });
  q = rt.create_compute<u64>([&](Runtime& r) { return r.read(a) % 2 ? r.read(loop) : r.read(a); });
  auto boom = rt.create_compute<u64>([a](Runtime& r) -> u64 {
    if (r.read(a) % 2 == 0) throw ComputeError("even");
    return 1;
  });
  auto g = rt.create_compute<u64>([a, boom](Runtime& r) { return r.read(a) % 2 ? r.read(boom) : 7; });
  EXPECT_EQ(rt.read(q), 0u);
  EXPECT_EQ(rt.read(g), 7u);
  rt.set(a, u64{1});
  EXPECT_FAILURE(rt.read(q), cycle_message(loop.slot));
  EXPECT_EQ(rt.read(g), 1u);
  rt.set(a, u64{2});
  EXPECT_EQ(rt.read(q), 2u);
  EXPECT_EQ(rt.read(g), 7u);
  EXPECT_EQ(state_of(rt, loop), NodeState::Failed);
  EXPECT_EQ(state_of(rt, boom), NodeState::Failed);
  EXPECT_EQ(rt.dependencies_of(q.slot), (std::vector<u32>{a.slot, a.slot}));
  rt.set(a, u64{4});
  EXPECT_EQ(rt.read(q), 4u);
  EXPECT_EQ(rt.read(g), 7u);
}

// `g` reads `f` first, so a refresh of `f` that fails is a failure `g` would meet: it
// reaches the reader as f's own, and `g` stays Stale, as when it fails on the way.
TEST(Failures, DependencyFailingAsItIsRefreshedFailsTheReadThatStillNeedsIt) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto b = rt.create_input<u64>(1);
  int g_runs = 0;
  auto f = rt.create_compute<u64>([a](Runtime& r) -> u64 {
    if (r.read(a) == 0) throw ComputeError("zero");
    return r.read(a);
  });
  auto g = rt.create_compute<u64>([&, b, f](Runtime& r) {
    ++g_runs;
    return r.read(b) + r.read(f);
  });
  EXPECT_EQ(rt.read(g), 2u);
  rt.set(a, u64{0});
  for (int k = 0; k < 2; ++k) {
    try {
      rt.read(g);
      ADD_FAILURE() << "the refresh of f fails";
    } catch (const ComputeError& error) {
      EXPECT_STREQ(error.what(), "zero");
    } catch (const InvariantFailure& failure) {
      EXPECT_EQ(k, 1);  // once f is Failed, the read meets f's state
      EXPECT_EQ(std::string(failure.what()), failed_message(f.slot));
    }
    EXPECT_EQ(g_runs, 1);
    EXPECT_EQ(state_of(rt, g), NodeState::Stale);
  }
}

// One level further down: `f` fails as it is refreshed for `d`, which reads it first. `r`
// no longer reads `d`, and `s` does, first.
TEST(Failures, DependencyFailingFurtherDownFailsOnlyTheReadsThatNeedIt) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto f = rt.create_compute<u64>([a](Runtime& r) -> u64 {
    if (r.read(a) == 0) throw ComputeError("zero");
    return r.read(a);
  });
  auto d = rt.create_compute<u64>([f](Runtime& r) { return r.read(f) + 1; });
  auto r = rt.create_compute<u64>([a, d](Runtime& rd) { return rd.read(a) ? rd.read(d) : 9; });
  auto s = rt.create_compute<u64>([d](Runtime& rd) { return rd.read(d) * 2; });
  EXPECT_EQ(rt.read(r), 2u);
  EXPECT_EQ(rt.read(s), 4u);
  rt.set(a, u64{0});
  EXPECT_THROW(rt.read(s), ComputeError);
  EXPECT_EQ(state_of(rt, d), NodeState::Stale);
  EXPECT_EQ(state_of(rt, s), NodeState::Stale);
  rt.set(a, u64{2});
  rt.set(a, u64{0});
  EXPECT_EQ(rt.read(r), 9u);
  EXPECT_EQ(state_of(rt, f), NodeState::Failed);
}

// `bottom` reads `a`, then `x`, which fails while `a` is even (a failure `bottom` catches,
// counting 0, when it `catches`); each of twelve levels above reads the one below twice.
struct DoublingChain {
  Runtime rt;
  Weft<u64> a = rt.create_input<u64>(1);
  Weft<u64> top;
  int runs = 0;

  explicit DoublingChain(bool catches) {
    auto x = rt.create_compute<u64>([a = a](Runtime& r) -> u64 {
      if (r.read(a) % 2 == 0) throw ComputeError("even");
      return 1;
    });
    top = rt.create_compute<u64>([this, x, catches](Runtime& r) -> u64 {
      ++runs;
      u64 v = r.read(a);
      try {
        return v + r.read(x);
      } catch (const std::exception&) {  // x's own failure, or its Failed state's
        if (!catches) throw;
        return v;
      }
    });
    for (int k = 0; k < 12; ++k) {
      top = rt.create_compute<u64>([this, below = top](Runtime& r) {
        ++runs;
        return r.read(below) + r.read(below);
      });
    }
  }
};

// What a node made of a caught failure serves the rest of the read, so one read runs each
// node once; the next read runs them again, since their values came from a failure.
TEST(Failures, NodeThatCaughtAFailureRunsOncePerRead) {
  DoublingChain chain(true);
  EXPECT_EQ(chain.rt.read(chain.top), 2u << 12);
  chain.rt.set(chain.a, u64{2});
  for (int read = 0; read < 2; ++read) {
    chain.runs = 0;
    EXPECT_EQ(chain.rt.read(chain.top), 2u << 12);
    EXPECT_EQ(chain.runs, 13);
    EXPECT_EQ(state_of(chain.rt, chain.top), NodeState::Stale);
  }
}

// Without the catch, the read meets x's failure, running each node once at most.
TEST(Failures, FailureMetThroughNodesReadTwiceRunsEachOnce) {
  DoublingChain chain(false);
  EXPECT_EQ(chain.rt.read(chain.top), 2u << 12);
  chain.rt.set(chain.a, u64{2});
  chain.runs = 0;
  EXPECT_THROW(chain.rt.read(chain.top), ComputeError);
  EXPECT_LE(chain.runs, 1);
}

// Parks a number where a binding would park a callback's exception, and counts what the
// engine does with it.
struct ParkingHost final : FailureHost {
  int parked = 0, resumed = 0, dropped = 0;
  bool set_aside(std::shared_ptr<void>& kept) noexcept override {
    if (parked == 0) return true;
    kept = std::shared_ptr<void>(new int(parked), [this](void* p) {
      ++dropped;
      delete static_cast<int*>(p);
    });
    parked = 0;
    return true;
  }
  void resume(const std::shared_ptr<void>& kept) noexcept override {
    parked = *static_cast<int*>(kept.get());
    ++resumed;
  }
};

// What the host keeps of a failure set aside goes back to it when the failure is raised
// again, and is dropped with the failure when the read ends without it.
TEST(Failures, HostKeepsWhatItParkedWithAFailureSetAside) {
  ParkingHost host;
  Runtime rt;
  rt.set_failure_host(&host);
  auto a = rt.create_input<u64>(1);
  auto b = rt.create_input<u64>(0);
  auto f = rt.create_compute<u64>([&](Runtime& r) -> u64 {
    if (r.read(a) == 0) {
      host.parked = 42;  // what a failing callback leaves the host
      throw ComputeError("zero");
    }
    return 1;
  });
  auto g = rt.create_compute<u64>([&, f](Runtime& r) { return r.read(b) + r.read(f); });
  auto h = rt.create_compute<u64>([=](Runtime& r) { return r.read(a) ? r.read(f) : 5; });
  EXPECT_EQ(rt.read(g), 1u);
  EXPECT_EQ(rt.read(h), 1u);
  rt.set(a, u64{0});
  EXPECT_EQ(rt.read(h), 5u);  // f's failure was set aside and not met again
  EXPECT_EQ((std::pair{host.parked, host.dropped}), (std::pair{0, 1}));
  rt.set(a, u64{1});
  EXPECT_EQ(rt.read(g), 1u);
  rt.set(a, u64{0});
  EXPECT_THROW(rt.read(g), ComputeError);  // g reads f first among what changed
  EXPECT_EQ((std::pair{host.parked, host.resumed}), (std::pair{42, 1}));
}

TEST(Failures, FailureMetOnTwoPathsGivesBackWhatTheHostKeptEachTime) {
  ParkingHost host;
  Runtime rt;
  rt.set_failure_host(&host);
  auto a = rt.create_input<u64>(1);
  auto f = rt.create_compute<u64>([&](Runtime& r) -> u64 {
    if (r.read(a) == 0) {
      host.parked = 42;
      throw ComputeError("zero");
    }
    return 1;
  });
  auto g = rt.create_compute<u64>([f](Runtime& r) { return r.read(f) + 1; });
  auto h = rt.create_compute<u64>([f, g](Runtime& r) { return r.read(f) + r.read(g); });
  EXPECT_EQ(rt.read(h), 3u);
  rt.set(a, u64{0});
  // g's refresh meets f's failure, and then h meets it directly: both get what f parked.
  EXPECT_THROW(rt.read(h), ComputeError);
  EXPECT_EQ((std::pair{host.parked, host.resumed}), (std::pair{42, 2}));
}

TEST(Failures, FailureTravelsThroughEveryComputeOnTheReadChain) {
  Runtime rt;
  auto a = rt.create_input<u64>(0);
  auto b = rt.create_input<u64>(5);
  auto f = rt.create_compute<u64>([a](Runtime& r) -> u64 {
    if (r.read(a) == 0) throw ComputeError("zero");
    return r.read(a);
  });
  auto g = rt.create_compute<u64>([b, f](Runtime& r) { return r.read(b) + r.read(f); });
  EXPECT_THROW(rt.read(g), ComputeError);
  EXPECT_EQ(state_of(rt, f), NodeState::Failed);
  EXPECT_EQ(state_of(rt, g), NodeState::Failed);
  EXPECT_EQ(rt.dependencies_of(g.slot), (std::vector<u32>{b.slot, f.slot}));
  EXPECT_FALSE(rt.dep_stack().in_compute());

  rt.set(a, u64{1});
  EXPECT_EQ(rt.read(g), 6u);
  EXPECT_EQ(rt.dependencies_of(g.slot), (std::vector<u32>{b.slot, f.slot}));
}

TEST(Failures, FailedRecomputeKeepsEarlierDependencies) {
  Runtime rt;
  auto mode = rt.create_input<u64>(0);
  auto x = rt.create_input<u64>(7);
  auto y = rt.create_input<u64>(8);
  auto q = rt.create_compute<u64>([=](Runtime& r) -> u64 {
    if (r.read(mode) == 0) return r.read(x);
    r.read(y);
    r.read(y);
    throw ComputeError("mode 1");
  });
  EXPECT_EQ(rt.read(q), 7u);
  rt.set(mode, u64{1});
  EXPECT_THROW(rt.read(q), ComputeError);
  // The old list, then each newly reached node once.
  EXPECT_EQ(rt.dependencies_of(q.slot), (std::vector<u32>{mode.slot, x.slot, y.slot}));
  EXPECT_EQ(rt.dependents_of(y.slot), std::vector<u32>{q.slot});
  EXPECT_EQ(state_of(rt, q), NodeState::Failed);
  rt.set(x, u64{9});  // still a dependency: setting it retries the node
  EXPECT_EQ(state_of(rt, q), NodeState::Stale);
}

TEST(Failures, ComputeThatCatchesAFailingReadEndsStale) {
  Runtime rt;
  auto a = rt.create_input<u64>(0);
  int runs = 0;
  auto f = rt.create_compute<u64>([a](Runtime& r) -> u64 {
    if (r.read(a) == 0) throw ComputeError("zero");
    return 1;
  });
  auto c = rt.create_compute<u64>([&, f](Runtime& r) -> u64 {
    ++runs;
    try {
      return r.read(f);
    } catch (const ComputeError&) {
      return 42;
    }
  });
  EXPECT_EQ(rt.read(c), 42u);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(state_of(rt, c), NodeState::Stale);
  EXPECT_EQ(state_of(rt, f), NodeState::Failed);
  EXPECT_EQ(rt.dependencies_of(c.slot), std::vector<u32>{f.slot});
  EXPECT_EQ(rt.dependents_of(f.slot), std::vector<u32>{c.slot});

  rt.set(a, u64{1});
  EXPECT_EQ(rt.read(c), 1u);
  EXPECT_EQ(state_of(rt, c), NodeState::Clean);
}

// `a` reads `c` while `j` is even (and `c` reads `a`), else `e`, which reads `s`; `s` reads
// itself while `i` is even. Once `j` turns, a read of `c` fails on `s`, which `e` and so `a`
// and `c` now read: `c` must not stay Failed past the write of `i` that breaks the
// self-loop.
TEST(Failures, NodeWhoseFailedReadLeftADependencyStaleIsRetried) {
  Runtime rt;
  auto i = rt.create_input<u64>(0);
  auto j = rt.create_input<u64>(0);
  Weft<u64> a, c, s, e;
  a = rt.create_compute<u64>([&](Runtime& r) { return r.read(j) % 2 ? r.read(e) : r.read(c); });
  c = rt.create_compute<u64>([&](Runtime& r) { return r.read(a); });
  s = rt.create_compute<u64>([&](Runtime& r) { return r.read(i) % 2 ? 1 : r.read(s); });
  e = rt.create_compute<u64>([&](Runtime& r) { return r.read(j) + r.read(s); });
  EXPECT_FAILURE(rt.read(a), cycle_message(a.slot));
  EXPECT_FAILURE(rt.read(e), cycle_message(s.slot));
  rt.set(j, u64{1});
  EXPECT_FAILURE(rt.read(c), failed_message(s.slot));
  EXPECT_EQ(state_of(rt, c), NodeState::Failed);
  rt.set(i, u64{1});
  EXPECT_EQ(rt.read(a), 2u);
  EXPECT_EQ(rt.read(c), 2u);
}

// While `i` is odd, `x` and `y` read each other: `y` fails as a cycle inside x's compute,
// which catches that and ends Stale. Once `i` turns even, the write stops at Stale `x`: `y`
// must be retried rather than left Failed.
TEST(Failures, NodeThatFailedOnAComputeEndingStaleIsRetried) {
  testing::CaughtCycle graph;
  auto& [rt, i, x, y] = graph;
  EXPECT_EQ(rt.read(x), 5u);
  EXPECT_EQ(state_of(rt, x), NodeState::Stale);
  EXPECT_EQ(state_of(rt, y), NodeState::Stale);
  // x's value came from a failure it caught, so reading y recomputes x too: the loop fails
  // inside x again, x catches it, and y reads its 5.
  EXPECT_EQ(rt.read(y), 6u);
  rt.set(i, u64{2});
  EXPECT_EQ(rt.read(y), 4u);
}

// Once `x` is 1, a's recorded list still names `s`, which reads itself now. The read of `a`
// inside b's compute meets `a` again through `l` and recomputes it: the refresh of `s`,
// which `a` no longer reads, is not run.
TEST(Cycles, TraversalEndsOnceItsNodeIsUpToDate) {
  Runtime rt;
  auto x = rt.create_input<u64>(0);
  Weft<u64> a, b, l, s;
  s = rt.create_compute<u64>([&](Runtime& r) { return r.read(x) % 2 ? r.read(s) : 0; });
  a = rt.create_compute<u64>([&](Runtime& r) -> u64 {
    u64 v = r.read(x);
    return v == 0 ? r.read(s) : v == 2 ? r.read(l) : 1;
  });
  l = rt.create_compute<u64>([&](Runtime& r) { return r.read(a); });
  b = rt.create_compute<u64>([&](Runtime& r) { return r.read(x) % 2 ? r.read(a) + 1 : 0; });
  EXPECT_EQ(rt.read(a), 0u);
  rt.set(x, u64{2});
  EXPECT_FAILURE(rt.read(a), cycle_message(a.slot));
  rt.set(x, u64{1});
  EXPECT_EQ(rt.read(b), 2u);
  EXPECT_EQ(state_of(rt, s), NodeState::Stale);
  EXPECT_EQ(rt.record_for_testing(s.slot).state, encode_state(NodeState::Stale));  // no mark
}

// Once `x` is 1, the read of `a` inside b's compute refreshes a's recorded dependencies: the
// refresh of `s` (a self-loop now) fails, and y's recompute reads `a`, which is recomputed
// then and no longer reads `s`. The read of `b` does not fail on work no node needs.
TEST(Failures, ReadDoesNotFailOnWorkNoNodeNeeds) {
  Runtime rt;
  auto x = rt.create_input<u64>(0);
  Weft<u64> a, b, y, s;
  s = rt.create_compute<u64>([&](Runtime& r) { return r.read(x) % 2 ? r.read(s) : 0; });
  a = rt.create_compute<u64>([&](Runtime& r) { return r.read(x) == 0 ? r.read(s) + r.read(y) : 1; });
  y = rt.create_compute<u64>([&](Runtime& r) { return r.read(x) % 2 ? r.read(a) : 0; });
  b = rt.create_compute<u64>([&](Runtime& r) { return r.read(x) % 2 ? r.read(a) + 1 : 0; });
  EXPECT_EQ(rt.read(a), 0u);
  rt.set(x, u64{1});
  EXPECT_EQ(rt.read(b), 2u);
  EXPECT_EQ(state_of(rt, s), NodeState::Failed);
  EXPECT_EQ(state_of(rt, a), NodeState::Clean);
  EXPECT_EQ(state_of(rt, b), NodeState::Clean);
}

TEST(Failures, DeletedDependencyIsMetAsDeleted) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto q = rt.create_compute<u64>([a](Runtime& r) { return r.read(a); });
  rt.read(q);
  // What a deleter on another thread leaves between its claim and the release.
  rt.record_for_testing(a.slot).set_state(NodeState::Deleted);
  rt.record_for_testing(q.slot).set_state(NodeState::Stale);
  EXPECT_FAILURE(rt.read(q),
                 cat("weft-core: node ", a.slot,
                     " was deleted while a read was reaching it (a compute raced delete_node on one "
                     "of its recorded dependencies)"));
  EXPECT_EQ(state_of(rt, q), NodeState::Stale);
}

// A compute brought up to date on the way to `r` deletes `r`, and a new node takes its slot:
// the read must not return that node's value through r's handle.
TEST(Failures, NodeDeletedOnTheWayToItsOwnReadIsMetAsDeleted) {
  Runtime rt;
  auto in = rt.create_input<u64>(1);
  Weft<u64> r;
  bool armed = false;
  auto p = rt.create_compute<u64>([&](Runtime& x) {
    u64 v = x.read(in);
    if (armed) {
      armed = false;
      x.delete_node(r);
      EXPECT_EQ(x.create_input_unguarded<u64>(4242).slot, r.slot);
    }
    return v;
  });
  r = rt.create_compute<u64>([&](Runtime& x) { return x.read(p) + 100; });
  EXPECT_EQ(rt.read(r), 101u);
  rt.set(in, u64{2});
  armed = true;
  EXPECT_FAILURE(rt.read(r),
                 cat("weft-core: node ", r.slot,
                     " was deleted while a read was reaching it (a compute raced delete_node on one "
                     "of its recorded dependencies)"));
}

TEST(Commit, ReadNodeDeletedDuringTheComputeMakesItRunAgain) {
  Runtime rt;
  auto x = rt.create_input<u64>(1);
  auto y = rt.create_input<u64>(2);
  int runs = 0;
  auto q = rt.create_compute<u64>([&](Runtime& r) -> u64 {
    if (++runs == 1) {
      u64 v = r.read(x);
      r.delete_node(x);  // the read node is gone before the compute ends
      return v;
    }
    return r.read(y) * 10;
  });
  TracedRead<u64> traced = rt.get_traced(q);
  EXPECT_EQ(traced.value, 20u);
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(actions(traced.records), (std::vector<std::pair<u32, TraceAction>>{
                                         {q.slot, TraceAction::RecomputedChanged}}));
  EXPECT_EQ(rt.dependencies_of(q.slot), std::vector<u32>{y.slot});
  EXPECT_EQ(state_of(rt, q), NodeState::Clean);
}

TEST(Commit, DependencyChangedDuringTheComputeLeavesItStale) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto b = rt.create_input<u64>(1);
  int runs = 0;
  auto q = rt.create_compute<u64>([&](Runtime& r) {
    ++runs;
    u64 v = r.read(b);
    r.set(a, u64{5});  // a is newer than the compute's start when it is read below
    return v + r.read(a);
  });
  EXPECT_EQ(rt.read(q), 6u);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(state_of(rt, q), NodeState::Stale);
  EXPECT_EQ(rt.read(q), 6u);  // verified against a's new stamp: runs again, now clean
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(state_of(rt, q), NodeState::Clean);
}

TEST(Commit, UnchangedDependencyListIsNotRewritten) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  std::vector<Weft<u64>> more;
  for (int k = 0; k < 8; ++k) more.push_back(rt.create_input<u64>(1));
  auto q = rt.create_compute<u64>([&](Runtime& r) {
    u64 sum = r.read(a);
    for (auto m : more) sum += r.read(m);
    return sum;
  });
  rt.read(q);
  DepBlock* block = rt.record(q.slot).overflow_deps.load();
  ASSERT_NE(block, nullptr);
  std::size_t waiting = reclamation::retired_waiting();
  rt.set(a, u64{2});
  EXPECT_EQ(rt.read(q), 10u);
  EXPECT_EQ(rt.record(q.slot).overflow_deps.load(), block);  // same list: same block
  EXPECT_EQ(reclamation::retired_waiting(), waiting);
  EXPECT_EQ(rt.dependents_of(a.slot), std::vector<u32>{q.slot});
}

// Runs `f` on a thread whose stack is far too small for one frame per node of a long chain.
template <class F>
void run_on_small_stack(F& f) {
  struct Context {
    F* f;
    std::exception_ptr error;
  } context{&f, nullptr};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 256 * 1024);
  pthread_t thread;
  auto entry = [](void* p) -> void* {
    auto* c = static_cast<Context*>(p);
    try {
      (*c->f)();
    } catch (...) {
      c->error = std::current_exception();
    }
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, entry, &context), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  if (context.error) std::rethrow_exception(context.error);
}

TEST(Depth, LongChainIsVerifiedAndRecomputedWithoutRecursion) {
  constexpr u64 kLength = 100000;
  Runtime rt;
  u64 runs = 0;
  auto input = rt.create_input<u64>(0);
  std::vector<Weft<u64>> chain{input};
  for (u64 k = 0; k < kLength; ++k) {
    Weft<u64> below = chain.back();
    chain.push_back(rt.create_compute<u64>([&runs, below](Runtime& r) {
      ++runs;
      return r.read(below) + 1;
    }));
  }
  for (u64 k = 1; k <= kLength; ++k) ASSERT_EQ(rt.read(chain[k]), k);  // bottom-up: shallow
  ASSERT_EQ(runs, kLength);

  rt.set(input, u64{1000});
  EXPECT_EQ(state_of(rt, chain.back()), NodeState::Stale);
  u64 tail = 0;
  auto read_tail = [&] { tail = rt.read(chain.back()); };
  run_on_small_stack(read_tail);
  EXPECT_EQ(tail, 1000 + kLength);
  EXPECT_EQ(runs, 2 * kLength);
  EXPECT_EQ(state_of(rt, chain[1]), NodeState::Clean);
  EXPECT_EQ(state_of(rt, chain.back()), NodeState::Clean);
}

TEST(Depth, NeverComputedChainReadFromItsTailStopsBeforeTheStackEnds) {
  // Each link of a never-computed chain nests one compute inside the read below it.
  constexpr u64 kLength = 20000;
  Runtime rt;
  std::vector<Weft<u64>> chain{rt.create_input<u64>(0)};
  for (u64 k = 0; k < kLength; ++k) {
    Weft<u64> below = chain.back();
    chain.push_back(rt.create_compute<u64>([below](Runtime& r) { return r.read(below) + 1; }));
  }
  u64 tail = 0;
  auto read_tail = [&] { tail = rt.read(chain.back()); };
  try {
    run_on_small_stack(read_tail);
    FAIL() << "the first read did not stop";
  } catch (const StackExhausted& failure) {
    EXPECT_EQ(failure.message().rfind("weft-core: reads nested too deeply: ", 0), 0u);
  }
  // The reached nodes kept the read that stopped as a dependency: Stale, not Failed, so
  // every further read walks them without nesting and gets further down the chain.
  EXPECT_EQ(state_of(rt, chain.back()), NodeState::Stale);
  int reads = 1;
  for (;; ++reads) {
    ASSERT_LT(reads, 1000);
    try {
      run_on_small_stack(read_tail);
      break;
    } catch (const StackExhausted&) {
    }
  }
  EXPECT_GT(reads, 1);
  EXPECT_EQ(tail, kLength);
}


// How many computes are running below the current read, for a host check that allows 50.
thread_local int computes_running = 0;
bool more_than_fifty_running() noexcept { return computes_running > 50; }

TEST(Depth, HostNestingBudgetStopsReadsAsTheStackDoes) {
  constexpr u64 kLength = 500;
  Runtime rt;
  std::vector<Weft<u64>> chain{rt.create_input<u64>(0)};
  for (u64 k = 0; k < kLength; ++k) {
    Weft<u64> below = chain.back();
    chain.push_back(rt.create_compute<u64>([below](Runtime& r) {
      struct Running {
        Running() { ++computes_running; }
        ~Running() { --computes_running; }
      } running;
      return r.read(below) + 1;
    }));
  }
  set_host_nesting_check(&more_than_fifty_running);
  struct Uninstall {
    ~Uninstall() { set_host_nesting_check(nullptr); }
  } uninstall;
  int reads = 1;
  u64 tail = 0;
  for (;; ++reads) {
    ASSERT_LT(reads, 100);
    try {
      tail = rt.read(chain.back());
      break;
    } catch (const StackExhausted& failure) {
      EXPECT_EQ(failure.message().rfind("weft-core: reads nested too deeply: ", 0), 0u);
      EXPECT_EQ(state_of(rt, chain.back()), NodeState::Stale);
    }
  }
  // Each read but the last gets about 50 links further down.
  EXPECT_EQ(tail, kLength);
  EXPECT_GE(reads, 10);
  EXPECT_LE(reads, 11);
  EXPECT_EQ(computes_running, 0);
}

}  // namespace
}  // namespace weft
