#include <algorithm>
#include <map>

#include "test_support.hpp"

namespace weft {
namespace {

using testing::ComputeError;
using testing::state_of;

// Runs the two registrations in the order asked for. No firing order is promised, but the
// registry's, which these tests need both ways, follows the order of registration.
template <class First, class Second>
void register_in_order(bool first_first, First first, Second second) {
  if (first_first) {
    first();
    second();
  } else {
    second();
    first();
  }
}

TEST(Observers, IdsAreIssuedPerRuntimeFromOne) {
  Runtime one;
  Runtime two;
  auto a = one.create_input<u64>(1);
  auto b = two.create_input<u64>(1);
  EXPECT_EQ(one.observe(a, [](u64) {}), 1u);
  EXPECT_EQ(one.observe(a, [](u64) {}), 2u);
  EXPECT_EQ(two.observe(b, [](u64) {}), 1u);
  one.unobserve(2);
  EXPECT_EQ(one.observe(a, [](u64) {}), 3u);  // an id is never issued twice
  EXPECT_EQ(one.observer_count(), 2u);
}

TEST(Observers, NeverReadQueryFiresOnceWithItsFirstValue) {
  Runtime rt;
  auto a = rt.create_input<u64>(4);
  int runs = 0;
  auto q = rt.create_compute<u64>([&, a](Runtime& r) { ++runs; return r.read(a) * 3; });
  std::vector<u64> values;
  rt.observe(q, [&](u64 v) { values.push_back(v); });
  EXPECT_EQ(runs, 0);  // observe neither computes nor reads
  EXPECT_EQ(state_of(rt, q), NodeState::Dirty);
  rt.stabilize();
  EXPECT_EQ(values, std::vector<u64>{12});
  rt.stabilize();
  EXPECT_EQ(values, std::vector<u64>{12});
  EXPECT_EQ(runs, 1);
}

TEST(Observers, ComputedQueryFiresOnlyAfterItChanges) {
  Runtime rt;
  auto a = rt.create_input<u64>(4);
  auto q = rt.create_compute<u64>([a](Runtime& r) { return r.read(a) + 1; });
  rt.read(q);
  std::vector<u64> values;
  rt.observe(q, [&](u64 v) { values.push_back(v); });
  rt.stabilize();
  EXPECT_TRUE(values.empty());
  rt.set(a, u64{5});
  rt.stabilize();
  EXPECT_EQ(values, std::vector<u64>{6});
}

// Registered while its query fails, an observer has seen no value of it: the query's
// recovery, to the very value it held before it failed, is the first it reports.
TEST(Observers, QueryFailingAtRegistrationFiresWithTheValueItRecoversTo) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto q = rt.create_compute<u64>([a](Runtime& r) -> u64 {
    if (r.read(a) == 0) throw ComputeError("zero");
    return 7;
  });
  rt.read(q);
  rt.set(a, u64{0});
  EXPECT_THROW(rt.read(q), ComputeError);
  std::vector<u64> values;
  rt.observe(q, [&](u64 v) { values.push_back(v); });
  rt.set(a, u64{2});
  rt.stabilize();
  rt.stabilize();
  EXPECT_EQ(values, std::vector<u64>{7});
}

TEST(Observers, InputFiresAfterAnEffectiveSetOnly) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  std::vector<u64> values;
  rt.observe(a, [&](u64 v) { values.push_back(v); });
  rt.stabilize();
  EXPECT_TRUE(values.empty());
  rt.set(a, u64{2});
  rt.stabilize();
  EXPECT_EQ(values, std::vector<u64>{2});
  rt.set(a, u64{2});
  rt.stabilize();
  EXPECT_EQ(values, std::vector<u64>{2});
  rt.set(a, u64{3});
  rt.set(a, u64{4});  // two writes between stabilizes: one firing, latest value
  rt.stabilize();
  EXPECT_EQ(values, (std::vector<u64>{2, 4}));
}

TEST(Observers, CutoffFiresNothing) {
  Runtime rt;
  auto a = rt.create_input<u64>(2);
  auto parity = rt.create_compute<u64>([a](Runtime& r) { return r.read(a) % 2; });
  int fired = 0;
  rt.observe(parity, [&](u64) { ++fired; });
  rt.stabilize();
  EXPECT_EQ(fired, 1);
  rt.set(a, u64{4});
  rt.stabilize();
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(state_of(rt, parity), NodeState::Clean);  // brought up to date all the same
}

TEST(Observers, TwoObserversOnOneNodeBothFire) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  int first = 0, second = 0;
  rt.observe(a, [&](u64) { ++first; });
  rt.observe(a, [&](u64) { ++second; });
  rt.set(a, u64{2});
  rt.stabilize();
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1);
}

TEST(Observers, UnobserveOfUnknownOrRemovedIdDoesNothing) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  int fired = 0;
  u64 id = rt.observe(a, [&](u64) { ++fired; });
  rt.unobserve(777);
  EXPECT_EQ(rt.observer_count(), 1u);
  rt.unobserve(id);
  rt.unobserve(id);
  EXPECT_EQ(rt.observer_count(), 0u);
  rt.set(a, u64{2});
  rt.stabilize();
  EXPECT_EQ(fired, 0);
}

// Three inputs with an observer each; the observer of `inputs[bad]` throws on its first call.
struct ThreeObserved {
  Runtime rt;
  std::vector<Weft<u64>> inputs;
  std::map<u32, int> calls;  // by observed slot
  bool thrown = false;
  explicit ThreeObserved(std::size_t bad) {
    for (u64 k = 0; k < 3; ++k) inputs.push_back(rt.create_input<u64>(k));
    for (std::size_t k = 0; k < 3; ++k) {
      u32 slot = inputs[k].slot;
      rt.observe(inputs[k], [this, slot, k, bad](u64) {
        ++calls[slot];
        if (k == bad && !thrown) {
          thrown = true;
          throw ComputeError("callback failed");
        }
      });
    }
    for (u64 k = 0; k < 3; ++k) rt.set(inputs[k], u64{10 + k});
  }
};

TEST(Observers, FailingCallbackStopsStabilizeAndIsRetriedNextTime) {
  ThreeObserved g(1);
  EXPECT_THROW(g.rt.stabilize(), ComputeError);
  u32 bad = g.inputs[1].slot;
  EXPECT_EQ(g.calls[bad], 1);
  EXPECT_EQ(g.rt.tables_lock().counter(), 0);

  g.rt.stabilize();
  EXPECT_EQ(g.calls[bad], 2);  // its last_seen was not updated: fires again
  for (auto in : g.inputs) {
    if (in.slot == bad) continue;
    // Fired in the first round and kept its update, or fired now: once in all.
    EXPECT_EQ(g.calls[in.slot], 1) << "slot " << in.slot;
  }
  g.rt.stabilize();
  EXPECT_EQ(g.calls[bad], 2);
}

TEST(Observers, FailedNodeStopsStabilizeWithItsMessage) {
  Runtime rt;
  auto a = rt.create_input<u64>(0);
  auto f = rt.create_compute<u64>([a](Runtime& r) -> u64 {
    if (r.read(a) == 0) throw ComputeError("zero");
    return 1;
  });
  std::vector<u64> values;
  rt.observe(f, [&](u64 v) { values.push_back(v); });
  EXPECT_THROW(rt.stabilize(), ComputeError);
  EXPECT_FAILURE(rt.stabilize(),
                 cat("weft-core: node ", f.slot,
                     " read but its last compute panicked; it stays Failed until a dependency "
                     "changes (set an upstream input to retry)"));
  rt.set(a, u64{1});
  rt.stabilize();
  EXPECT_EQ(values, std::vector<u64>{1});
}

TEST(Observers, ObserverAddedDuringStabilizeWaitsForTheNext) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto q = rt.create_compute<u64>([a](Runtime& r) { return r.read(a) * 2; });
  int q_fired = 0;
  bool added = false;
  rt.observe(a, [&](u64) {
    if (!added) rt.observe(q, [&](u64) { ++q_fired; });
    added = true;
  });
  rt.set(a, u64{2});
  rt.stabilize();
  EXPECT_TRUE(added);
  EXPECT_EQ(q_fired, 0);  // not in this stabilize's snapshot
  EXPECT_EQ(rt.observer_count(), 2u);
  rt.stabilize();
  EXPECT_EQ(q_fired, 1);
}

TEST(Observers, ObserverRemovedDuringStabilizeMayStillFireOnce) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto b = rt.create_input<u64>(1);
  int b_fired = 0;
  u64 b_id = rt.observe(b, [&](u64) { ++b_fired; });
  rt.observe(a, [&](u64) { rt.unobserve(b_id); });
  rt.set(a, u64{2});
  rt.set(b, u64{2});
  rt.stabilize();
  // Ahead in the snapshot it still runs; behind it, it ran before its removal.
  EXPECT_EQ(b_fired, 1);
  EXPECT_EQ(rt.observer_count(), 1u);
  rt.set(b, u64{3});
  rt.stabilize();
  EXPECT_EQ(b_fired, 1);
}

TEST(Observers, InputSetByACallbackIsSeenByLaterObserversOrTheNextStabilize) {
  Runtime rt;
  auto p = rt.create_input<u64>(0);
  auto i = rt.create_input<u64>(1);
  auto q = rt.create_compute<u64>([i](Runtime& r) { return r.read(i) * 10; });
  rt.read(q);
  std::vector<std::string> log;
  std::vector<u64> q_values;
  rt.observe(p, [&](u64) {
    log.push_back("p");
    rt.set(i, u64{2});
  });
  rt.observe(q, [&](u64 v) {
    log.push_back("q");
    q_values.push_back(v);
  });
  rt.set(p, u64{1});
  rt.stabilize();
  if (log == std::vector<std::string>{"p", "q"}) {
    EXPECT_EQ(q_values, std::vector<u64>{20});  // q's observer ran after the write
  } else {
    EXPECT_EQ(log, std::vector<std::string>{"p"});  // it ran before: sees it next time
    EXPECT_TRUE(q_values.empty());
  }
  rt.stabilize();
  EXPECT_EQ(q_values, std::vector<u64>{20});
}

TEST(Observers, InputSetByAComputeIsSeenByEveryObserverInTheSameStabilize) {
  // A compute that writes an input as it runs (as a grouping routes into its groups) may
  // change a node whose observer already ran; that observer is checked again. Both
  // registration orders, since the firing order is not specified.
  for (bool writer_first : {true, false}) {
    Runtime rt;
    auto p = rt.create_input<u64>(0);
    auto i = rt.create_input<u64>(0);
    auto writer = rt.create_compute<u64>([p, i](Runtime& r) {
      u64 v = r.read(p);
      r.set(i, v);
      return v;
    });
    auto q = rt.create_compute<u64>([i](Runtime& r) { return r.read(i) * 10; });
    std::vector<u64> q_values;
    register_in_order(
        writer_first, [&] { rt.observe(writer, [](u64) {}); },
        [&] { rt.observe(q, [&](u64 v) { q_values.push_back(v); }); });
    rt.stabilize();
    rt.set(p, u64{3});
    rt.stabilize();
    EXPECT_EQ(q_values, (std::vector<u64>{0, 30}));
    rt.stabilize();
    EXPECT_EQ(q_values.size(), 2u);
  }
}

TEST(Observers, WritesMadeWhileCheckingAgainAreFollowedToTheEnd) {
  // c reads x and z and writes y; b reads y and writes z. A write made while an observer is
  // checked again can change one checked after it in an earlier pass.
  for (bool c_first : {true, false}) {
    Runtime rt;
    auto x = rt.create_input<u64>(0);
    auto y = rt.create_input<u64>(0);
    auto z = rt.create_input<u64>(0);
    auto c = rt.create_compute<u64>([x, y, z](Runtime& r) {
      u64 xv = r.read(x);
      u64 zv = r.read(z);
      r.set(y, xv);
      return xv * 10 + zv;
    });
    auto b = rt.create_compute<u64>([y, z](Runtime& r) {
      u64 yv = r.read(y);
      r.set(z, yv);
      return yv;
    });
    std::vector<u64> c_values;
    register_in_order(
        c_first, [&] { rt.observe(c, [&](u64 v) { c_values.push_back(v); }); },
        [&] { rt.observe(b, [](u64) {}); });
    rt.stabilize();
    rt.set(x, u64{1});
    rt.stabilize();
    EXPECT_EQ(c_values.back(), 11u);
    EXPECT_EQ(rt.read(c), 11u);
  }
}

TEST(Observers, AnObserverFiresAtMostOncePerStabilize) {
  // bumper writes the input that ticks reads on every run: each stabilize settles ticks
  // (as far as the passes go) before any callback runs, so its observer fires once, not
  // again after each of bumper's writes.
  for (bool ticks_first : {true, false}) {
    Runtime rt;
    auto tick = rt.create_input<u64>(0);
    auto bumper = rt.create_compute<u64>([tick](Runtime& r) {
      r.set(tick, r.read(tick) + 1);
      return u64{0};
    });
    auto ticks = rt.create_compute<u64>([tick](Runtime& r) { return r.read(tick); });
    u64 fired = 0;
    register_in_order(
        ticks_first, [&] { rt.observe(ticks, [&](u64) { ++fired; }); },
        [&] { rt.observe(bumper, [](u64) {}); });
    rt.stabilize();
    EXPECT_EQ(fired, 1u);
    rt.stabilize();
    EXPECT_EQ(fired, 2u);
  }
}

TEST(Observers, AStabilizeRunByACallbackDoesNotMakeTheOuterOneFireAgain) {
  Runtime rt;
  auto trigger = rt.create_input<u64>(0);
  auto a = rt.create_input<u64>(0);
  auto w = rt.create_input<u64>(0);
  auto sink = rt.create_input<u64>(0);
  auto writer = rt.create_compute<u64>([w, sink](Runtime& r) {
    u64 v = r.read(w);
    r.set(sink, v);  // a compute's write: the outer stabilize checks everything again
    return v;
  });
  std::vector<u64> a_values;
  bool inside = false;
  rt.observe(writer, [](u64) {});
  rt.observe(trigger, [&](u64) {
    if (inside) return;
    inside = true;
    rt.set(a, u64{10});
    rt.stabilize();
    rt.set(w, u64{1});
    inside = false;
  });
  rt.observe(a, [&](u64 v) { a_values.push_back(v); });
  rt.stabilize();
  rt.set(trigger, u64{1});
  rt.stabilize();
  EXPECT_EQ(a_values, std::vector<u64>{10});
}

// A stabilize that leaves every observer up to date lets the next one, with nothing written
// or added since, return at once. These are the ways the next one still has work.
TEST(Observers, AStabilizeWithNothingNewAfterAQuietOneFiresNothing) {
  Runtime rt;
  auto a = rt.create_input<u64>(0);
  auto unrelated = rt.create_input<u64>(0);
  int runs = 0;
  auto q = rt.create_compute<u64>([&, a](Runtime& r) {
    ++runs;
    return r.read(a) * 2;
  });
  std::vector<u64> values;
  rt.observe(q, [&](u64 v) { values.push_back(v); });
  rt.stabilize();
  rt.stabilize();
  rt.set(unrelated, u64{1});
  rt.stabilize();
  EXPECT_EQ(values, std::vector<u64>{0});
  EXPECT_EQ(runs, 1);
  rt.set(a, u64{1});
  rt.stabilize();
  rt.stabilize();
  EXPECT_EQ(values, (std::vector<u64>{0, 2}));
  // An observer added after a quiet stabilize, on a node never computed, fires on the next.
  auto fresh = rt.create_compute<u64>([a](Runtime& r) { return r.read(a) + 100; });
  rt.observe(fresh, [&](u64 v) { values.push_back(v); });
  rt.stabilize();
  EXPECT_EQ(values, (std::vector<u64>{0, 2, 101}));
}

TEST(Observers, EveryStabilizeRaisesWhileAnObservedNodeCannotSettle) {
  // `c` catches the failure of `f`, but bringing `c` up to date reaches `f` first.
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto f = rt.create_compute<u64>([a](Runtime& r) -> u64 {
    if (r.read(a) == 0) throw ComputeError("zero");
    return 1;
  });
  auto c = rt.create_compute<u64>([f](Runtime& r) -> u64 {
    try {
      return r.read(f);
    } catch (const ComputeError&) {
      return 1;
    }
  });
  std::vector<u64> values;
  rt.observe(c, [&](u64 v) { values.push_back(v); });
  rt.stabilize();
  rt.set(a, u64{0});
  EXPECT_THROW(rt.stabilize(), ComputeError);
  for (int i = 0; i < 2; ++i) {
    EXPECT_FAILURE(rt.stabilize(),
                   cat("weft-core: node ", f.slot,
                       " read but its last compute panicked; it stays Failed until a dependency "
                       "changes (set an upstream input to retry)"));
  }
  rt.set(a, u64{1});
  rt.stabilize();
  rt.stabilize();
  EXPECT_EQ(values, std::vector<u64>{1});
  EXPECT_EQ(state_of(rt, c), NodeState::Clean);
}

TEST(Observers, ACallbackFailingAfterItsOwnStabilizeIsConsideredAgain) {
  // The nested stabilize finds everything up to date, but the outer one then fails: the
  // failing observer's change is still to be reported.
  Runtime rt;
  auto a = rt.create_input<u64>(0);
  int calls = 0;
  rt.observe(a, [&](u64) {
    ++calls;
    rt.stabilize();
    if (calls == 1) throw ComputeError("once");
  });
  rt.set(a, u64{1});
  EXPECT_THROW(rt.stabilize(), ComputeError);
  rt.stabilize();
  EXPECT_EQ(calls, 2);
  rt.stabilize();
  EXPECT_EQ(calls, 2);
}

TEST(Observers, AnObserverRemovedDuringStabilizeIsReleasedWhenItEnds) {
  // The stabilize still runs its check, so the registry's reference is not the last one.
  Runtime rt;
  auto a = rt.create_input<u64>(0);
  auto b = rt.create_input<u64>(0);
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> alive = token;
  u64 b_id = rt.observe(b, [token](u64) {});
  auto doomed = rt.create_input<u64>(0);
  rt.observe(doomed, [token](u64) {});
  token.reset();
  long during = -1;
  rt.observe(a, [&](u64) {
    rt.unobserve(b_id);
    rt.delete_node(doomed);
    during = alive.use_count();
  });
  rt.set(a, u64{1});
  rt.set(b, u64{1});
  rt.set(doomed, u64{1});
  rt.stabilize();
  EXPECT_EQ(during, 2);
  EXPECT_TRUE(alive.expired());
  EXPECT_EQ(rt.observer_count(), 1u);
}

TEST(Observers, DeletingANodeRemovesExactlyItsOwnObservers) {
  Runtime rt;
  auto a = rt.create_input<u64>(0);
  auto b = rt.create_input<u64>(0);
  std::vector<std::string> fired;
  u64 first_on_a = rt.observe(a, [&](u64) { fired.push_back("a1"); });
  rt.observe(a, [&](u64) { fired.push_back("a2"); });
  rt.observe(b, [&](u64) { fired.push_back("b"); });
  rt.unobserve(first_on_a);
  rt.delete_node(a);
  EXPECT_EQ(rt.observer_count(), 1u);
  auto c = rt.create_input<u64>(0);  // takes a's slot: no observer comes with it
  rt.set(b, u64{1});
  rt.set(c, u64{1});
  rt.stabilize();
  EXPECT_EQ(fired, std::vector<std::string>{"b"});
  rt.delete_node(b);
  rt.unobserve(first_on_a);  // long gone: nothing happens
  EXPECT_EQ(rt.observer_count(), 0u);
}

TEST(Observers, UnobservingInAnyOrderLeavesEveryOtherObserverInPlace) {
  Runtime rt;
  auto a = rt.create_input<u64>(0);
  constexpr u64 kObservers = 200;
  std::vector<u64> ids;
  std::vector<int> fired(kObservers + 1, 0);
  for (u64 k = 0; k < kObservers; ++k) {
    ids.push_back(rt.observe(a, [&fired, k](u64) { ++fired[k]; }));
  }
  // Every third one, from the middle outwards and then the last: each removal moves
  // another id into its place.
  std::vector<u64> gone;
  for (u64 k = kObservers / 2; k < kObservers; k += 3) gone.push_back(k);
  for (u64 k = kObservers / 2; k-- > 0;) {
    if (k % 3 == 0) gone.push_back(k);
  }
  gone.push_back(kObservers - 1);
  for (u64 k : gone) rt.unobserve(ids[k]);
  rt.set(a, u64{1});
  rt.stabilize();
  for (u64 k = 0; k < kObservers; ++k) {
    bool removed = std::find(gone.begin(), gone.end(), k) != gone.end();
    EXPECT_EQ(fired[k], removed ? 0 : 1) << "observer " << k;
  }
  rt.delete_node(a);  // finds each remaining observer through the slot's list
  EXPECT_EQ(rt.observer_count(), 0u);
}

TEST(Observers, CallbackMayReenterTheRuntime) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto q = rt.create_compute<u64>([a](Runtime& r) { return r.read(a) + 1; });
  std::vector<u64> seen;
  rt.observe(q, [&](u64 v) {
    seen.push_back(rt.read(q) + v);
    rt.set_label(q.slot, "observed");
    rt.unobserve(12345);
  });
  rt.stabilize();
  EXPECT_EQ(seen, std::vector<u64>{4});
  EXPECT_EQ(rt.collect_snapshot()[1].label, "observed");
}

}  // namespace
}  // namespace weft
