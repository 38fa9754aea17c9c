// What running out of memory leaves behind: each test makes a chosen allocation fail, for
// every allocation its operations make, and checks that the runtime goes on.
#include <algorithm>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "allocation_hook.hpp"
#include "collection_test_util.hpp"
#include "drop_probe.hpp"
#include "test_support.hpp"
#include "weft/aggregate.hpp"
#include "weft/collection_ops.hpp"
#include "weft/group_by.hpp"
#include "weft/join.hpp"
#include "weft/sorted_collection.hpp"

namespace weft {
namespace {

// An observer that could not be registered (memory ran out at any of the allocations that
// takes) is dropped once the tables are released, and leaves the registry as it was.
TEST(OutOfMemory, AnObserverThatCouldNotBeRegisteredIsDroppedAfterTheTablesAreReleased) {
  Runtime rt;
  Probe::watched = &rt.tables_lock();
  auto a = rt.create_input<u64>(1);
  int fired = 0;
  bool registered = false;
  for (long fail_at = 0; !registered; ++fail_at) {
    ASSERT_LT(fail_at, 100);
    Probe::reset();
    test_alloc::fail_allocation(fail_at);
    try {
      rt.observe(a, [&fired, probe = Probe{}](u64) { ++fired; });
      registered = true;
    } catch (const std::bad_alloc&) {
      EXPECT_EQ(Probe::dropped, Probe::made) << "failing allocation " << fail_at;
    }
    test_alloc::fail_allocation(-1);
    EXPECT_EQ(Probe::dropped_under_lock, 0) << "failing allocation " << fail_at;
  }
  rt.set(a, u64{2});
  rt.stabilize();
  EXPECT_EQ(fired, 1);  // the one registration that went through
  Probe::watched = nullptr;
}

// The graph of Cycles.ComputeRunAheadOfNeedThatReadsTheRunningOneIsNoCycle, where `c` also
// reads eight more inputs: once `i` turns odd, c's recompute, run ahead of need, reads `d`,
// still running, and retreats to where it was run. Adding `d` to the dependencies of c's
// failed run makes a new dependency block: when that or any other allocation on the way
// fails, the retreat still ends, so that no later failure is taken for abandoned work.
TEST(OutOfMemory, ARetreatThatRunsOutOfMemoryStillEnds) {
  for (long fail_at = 0;; ++fail_at) {
    ASSERT_LT(fail_at, 200);
    Runtime rt;
    auto i = rt.create_input<u64>(0);
    std::vector<Weft<u64>> more;
    for (int k = 0; k < 8; ++k) more.push_back(rt.create_input<u64>(0));
    Weft<u64> a, b, c, d;
    a = rt.create_compute<u64>([&](Runtime& r) { return r.read(b) % 2 ? r.read(c) : 0; });
    b = rt.create_compute<u64>([&](Runtime& r) { return r.read(i) + 1; });
    c = rt.create_compute<u64>([&](Runtime& r) {
      u64 zero = 0;
      for (Weft<u64> m : more) zero += r.read(m);
      return r.read(i) % 2 ? r.read(d) : 7 + zero;
    });
    d = rt.create_compute<u64>([&](Runtime& r) { return r.read(i) + r.read(a); });
    ASSERT_EQ(rt.read(a), 7u);
    test_alloc::fail_allocation(fail_at);
    try {
      rt.set(i, u64{1});
      EXPECT_EQ(rt.read(d), 1u);
    } catch (const std::bad_alloc&) {
    }
    const bool failed = test_alloc::allocation_failed();
    test_alloc::fail_allocation(-1);
    SCOPED_TRACE("failing allocation " + std::to_string(fail_at));
    EXPECT_FALSE(rt.retreating());
    rt.set(i, u64{3});
    EXPECT_EQ(rt.read(d), 3u);
    EXPECT_EQ(rt.read(c), 3u);
    rt.set(i, u64{0});
    EXPECT_EQ(rt.read(a), 7u);
    if (!failed) break;
  }
}

// While `i` is odd, `y` fails as a cycle inside x's compute, which catches that and ends
// Stale, and `y` is turned from Failed to Stale with it. Once `i` turns even, the write stops
// at Stale `x`, so `y` is retried only if that turn was made: when memory runs out on the
// way, it still is.
TEST(OutOfMemory, ANodeThatFailedOnAComputeEndingStaleIsRetriedWhateverAllocationFails) {
  for (long fail_at = 0;; ++fail_at) {
    ASSERT_LT(fail_at, 200);
    testing::CaughtCycle graph;
    auto& [rt, i, x, y] = graph;
    test_alloc::fail_allocation(fail_at);
    try {
      EXPECT_EQ(rt.read(x), 5u);
    } catch (const std::bad_alloc&) {
    }
    const bool failed = test_alloc::allocation_failed();
    test_alloc::fail_allocation(-1);
    SCOPED_TRACE("failing allocation " + std::to_string(fail_at));
    rt.set(i, u64{2});
    EXPECT_EQ(rt.read(y), 4u);
    EXPECT_EQ(rt.read(x), 3u);
    if (!failed) break;
  }
}

// A graph's life (creating, labelling and adopting nodes, the first node of a new segment
// of the node table among them, observing, reading, a read that changes a dependency list,
// one reading more nodes than a record holds inline, a write, a stabilize, unobserving and
// both kinds of deletion), run once for every allocation it makes, with that allocation
// failing. Whatever the failure interrupted, the runtime goes
// on: the nodes still there compute right from fresh inputs, a stabilize succeeds and fires
// every observer, no node was left half made or half deleted, and everything captured is
// dropped, never under the side-table lock.
struct GraphLife {
  static constexpr int kWide = 9;
  // Inputs made before the life, so that its third node starts the table's second segment.
  static constexpr u32 kFillers = 1022;
  Runtime rt;
  std::vector<Weft<u64>> inputs;  // a, b, then what `wide` sums
  std::optional<Weft<u64>> sum, pick, wide, owned;
  std::vector<u64> observers;
  int fired = 0;

  GraphLife() {
    inputs.reserve(2 + kWide);
    observers.reserve(2);
    for (u32 k = 0; k < kFillers; ++k) rt.create_input<u64>(0);
  }

  void run() {
    inputs.push_back(rt.create_input<u64>(1));
    inputs.push_back(rt.create_input<u64>(2));
    Weft<u64> a = inputs[0], b = inputs[1];
    sum = rt.create_compute<u64>([a, b, p = Probe{}](Runtime& r) { return r.read(a) + r.read(b); });
    observers.push_back(rt.observe(*sum, [this, p = Probe{}](u64) { ++fired; }));
    EXPECT_EQ(rt.read(*sum), 3u);
    pick = rt.create_compute<u64>([a, s = *sum, p = Probe{}](Runtime& r) {
      return r.read(a) > 5 ? r.read(s) : r.read(a);
    });
    observers.push_back(rt.observe(*pick, [this, p = Probe{}](u64) { ++fired; }));
    EXPECT_EQ(rt.read(*pick), 1u);
    rt.set(a, u64{10});
    EXPECT_EQ(rt.read(*pick), 12u);  // now reading sum too
    for (int k = 0; k < kWide; ++k) inputs.push_back(rt.create_input<u64>(k));
    wide = rt.create_compute<u64>([this, p = Probe{}](Runtime& r) {
      u64 total = 0;
      for (int k = 0; k < kWide; ++k) total += r.read(inputs[2 + k]);
      return total;
    });
    rt.set_label(wide->slot, "wide");
    EXPECT_EQ(rt.read(*wide), 36u);
    owned = rt.create_input<u64>(7);
    rt.adopt(pick->erased(), owned->erased());
    rt.stabilize();
    rt.unobserve(observers.front());
    rt.delete_node(*pick);  // and the input it owns
    rt.delete_with_dependents(inputs[2]);  // and `wide`
  }

  bool alive(std::optional<Weft<u64>> node) const { return node && rt.is_alive(node->erased()); }

  void check_goes_on() {
    // A node left computing would have every later read wait for it for good.
    for (u32 slot = 0; slot < rt.nodes().count(); ++slot) {
      NodeState state = rt.record(slot).node_state();
      ASSERT_TRUE(state != NodeState::Computing && state != NodeState::ComputingStale) << "node " << slot;
    }
    u64 held = kFillers;
    for (Weft<u64> input : inputs) held += rt.is_alive(input.erased());
    held += alive(sum) + alive(pick) + alive(wide) + alive(owned);
    EXPECT_EQ(rt.live_count(), held);
    if (inputs.size() < 2) return;
    for (std::size_t k = 0; k < inputs.size(); ++k) {
      if (rt.is_alive(inputs[k].erased())) rt.set(inputs[k], k == 0 ? u64{20} : k == 1 ? u64{30} : u64{1});
    }
    if (alive(sum)) {
      EXPECT_EQ(rt.read(*sum), 50u);
    }
    if (alive(pick)) {
      EXPECT_EQ(rt.read(*pick), 50u);
    }
    if (alive(wide)) {
      EXPECT_EQ(rt.read(*wide), u64{kWide});
    }
    rt.stabilize();
    rt.set(inputs[1], u64{31});
    int before = fired;
    rt.stabilize();
    EXPECT_EQ(fired - before, static_cast<int>(rt.observer_count()));
  }
};

// Runs a Life once for every allocation it makes, with that allocation failing, and checks
// that it goes on; some failures are absorbed, and the run completes. Ends with a run whose
// chosen allocation never came.
template <class Life>
void fail_each_allocation(long most) {
  for (long fail_at = 0;; ++fail_at) {
    ASSERT_LT(fail_at, most);
    Probe::reset();
    bool failed;
    {
      Life life;
      Probe::watched = &life.rt.tables_lock();
      test_alloc::fail_allocation(fail_at);
      try {
        life.run();
      } catch (const std::bad_alloc&) {
      }
      failed = test_alloc::allocation_failed();
      test_alloc::fail_allocation(-1);
      SCOPED_TRACE("failing allocation " + std::to_string(fail_at));
      life.check_goes_on();
      Probe::watched = nullptr;
    }
    EXPECT_EQ(Probe::dropped, Probe::made) << "failing allocation " << fail_at;
    EXPECT_EQ(Probe::dropped_under_lock, 0) << "failing allocation " << fail_at;
    if (!failed) return;
  }
}

TEST(OutOfMemory, EveryAllocationThatFailsLeavesARuntimeThatGoesOn) {
  fail_each_allocation<GraphLife>(1000);
}

// Random graphs of four inputs and ten queries. What a query reads, and how often, turns on
// the parity of an input: earlier nodes only while it is even; while it is odd, earlier
// nodes too, or (`loops`) any node but itself, so that reads can loop (a cycle, or a compute
// run ahead of need meeting a running one). Some queries catch the failure of a read, and
// some read more nodes than a record holds inline. A random script of writes, reads and
// stabilizes runs once for every allocation it makes, with that allocation failing: until
// then each step does what it did in a run where nothing failed. Afterwards, once every
// input is written afresh with an even value, so that nothing loops, every query reads
// right, and nothing is left computing.
struct RandomGraph {
  static constexpr u32 kInputs = 4, kQueries = 10, kNodes = kInputs + kQueries;
  static constexpr long kMostRuns = 300000;  // ten times what the longest script runs
  struct Reads {
    u32 switch_input;
    bool catches;  // a failed read counts 7 instead of failing the query
    std::vector<u32> when_even, when_odd;  // node numbers: inputs first, then queries
  };
  std::vector<Reads> reads;

  RandomGraph(std::mt19937& rng, bool loops) {
    for (u32 q = 0; q < kQueries; ++q) {
      const u32 node = kInputs + q;
      auto some = [&](bool any) {
        std::vector<u32> picked(rng() % 4 == 0 ? 9 + rng() % 3 : 1 + rng() % 4);
        for (u32& p : picked) {
          do p = rng() % (any ? kNodes : node);  // repeats allowed
          while (p == node);
        }
        return picked;
      };
      const u32 switch_input = rng() % kInputs;
      const bool catches = rng() % 3 == 0;
      std::vector<u32> when_even = some(false);
      reads.push_back({switch_input, catches, std::move(when_even), some(loops)});
    }
  }

  // What every node holds for these input values, all of them even.
  std::vector<u64> values(const std::vector<u64>& inputs) const {
    std::vector<u64> v(inputs);
    for (u32 q = 0; q < kQueries; ++q) {
      u64 total = q;
      for (u32 n : reads[q].when_even) total += v[n];
      v.push_back(total % 1000003);
    }
    return v;
  }

  std::vector<Weft<u64>> build(Runtime& rt, const std::vector<u64>& inputs, long& runs) const {
    std::vector<Weft<u64>> nodes(kNodes);
    for (u32 k = 0; k < kInputs; ++k) nodes[k] = rt.create_input<u64>(inputs[k]);
    for (u32 q = 0; q < kQueries; ++q) {
      nodes[kInputs + q] = rt.create_compute<u64>([this, q, nodes = &nodes, &runs](Runtime& r) {
        // A read that loops through catching queries must end in a cycle report, and soon.
        if (++runs > kMostRuns) throw std::runtime_error("the script ran more computes than any should");
        const Reads& rd = reads[q];
        u64 total = q;
        for (u32 n : r.read((*nodes)[rd.switch_input]) % 2 ? rd.when_odd : rd.when_even) {
          total += rd.catches ? testing::read_or(r, (*nodes)[n], 7) : r.read((*nodes)[n]);
        }
        return total % 1000003;
      });
    }
    return nodes;
  }

  // Runs the script of `seed` on a fresh runtime and returns what each step gave, up to the
  // step where the chosen allocation failed; then checks that the runtime goes on.
  std::vector<std::string> run(u32 seed, long fail_at, bool& failed) const {
    std::mt19937 rng(seed + 100);
    std::vector<u64> inputs(kInputs);
    for (u64& v : inputs) v = rng() % 10;
    Runtime rt;
    long runs = 0;
    std::vector<Weft<u64>> nodes = build(rt, inputs, runs);
    int fired = 0;
    for (int k = 0; k < 2; ++k) rt.observe(nodes[kInputs + rng() % kQueries], [&fired](u64) { ++fired; });
    std::vector<std::string> outcomes;
    test_alloc::fail_allocation(fail_at);
    for (int step = 0; step < 40; ++step) {
      const u32 pick = rng() % 8;
      std::optional<u64> value;
      try {
        if (pick < 3) {
          const u32 input = rng() % kInputs;
          rt.set(nodes[input], inputs[input] = rng() % 10);
        } else if (pick < 7) {
          value = rt.read(nodes[kInputs + rng() % kQueries]);
        } else {
          rt.stabilize();
          value = fired;
        }
      } catch (const std::bad_alloc&) {
        break;  // the chosen allocation, or one of a failure's own
      } catch (const InvariantFailure& failure) {
        if (test_alloc::allocation_failed()) break;
        test_alloc::NothingFails bookkeeping;
        outcomes.push_back(failure.message());
        continue;
      }
      if (test_alloc::allocation_failed()) break;
      test_alloc::NothingFails bookkeeping;
      outcomes.push_back(value ? std::to_string(*value) : "");
    }
    failed = test_alloc::allocation_failed();
    test_alloc::fail_allocation(-1);
    for (u32 input = 0; input < kInputs; ++input) rt.set(nodes[input], inputs[input] = 2 * (inputs[input] + 10));
    const std::vector<u64> expected = values(inputs);
    try {
      for (u32 node = kInputs; node < kNodes; ++node) EXPECT_EQ(rt.read(nodes[node]), expected[node]) << "node " << node;
      rt.stabilize();
    } catch (const InvariantFailure& failure) {
      ADD_FAILURE() << failure.message();
    }
    for (u32 slot = 0; slot < rt.nodes().count(); ++slot) {
      const NodeState state = rt.record(slot).node_state();
      EXPECT_TRUE(state != NodeState::Computing && state != NodeState::ComputingStale) << "node " << slot;
    }
    return outcomes;
  }
};

// Runs the scripts of 200 random graphs, each once for every allocation it makes; a looping
// script makes many more, and runs once for every one in a stride that gives it about 30
// runs, from a point that varies with the seed.
void fail_each_allocation_of_random_graphs(bool loops) {
  int scripts = 0;
  for (u32 seed = 0; seed < 200; ++seed) {
    std::mt19937 shape_rng(seed);
    const RandomGraph graph(shape_rng, loops);
    bool failed = false;
    test_alloc::count_allocations(true);
    const std::vector<std::string> unfailed = graph.run(seed, -1, failed);
    test_alloc::count_allocations(false);
    // Some loops with queries catching their failed reads take a great many recomputes to
    // end in the traversal budget's cycle report; failing each of their allocations would
    // take too long.
    if (test_alloc::allocations_counted() > 3000) continue;
    ++scripts;
    const long stride = loops ? std::max(1L, test_alloc::allocations_counted() / 30) : 1;
    for (long fail_at = seed % stride;; fail_at += stride) {
      ASSERT_LT(fail_at, 5000);
      SCOPED_TRACE("seed " + std::to_string(seed) + ", failing allocation " + std::to_string(fail_at));
      const std::vector<std::string> outcomes = graph.run(seed, fail_at, failed);
      ASSERT_LE(outcomes.size(), unfailed.size());
      EXPECT_TRUE(std::equal(outcomes.begin(), outcomes.end(), unfailed.begin()));
      if (!failed) break;
    }
  }
  EXPECT_GT(scripts, 100);
}

TEST(OutOfMemory, RandomGraphsGoOnAfterAnyAllocationFails) { fail_each_allocation_of_random_graphs(false); }

TEST(OutOfMemory, RandomGraphsWithLoopingReadsGoOnAfterAnyAllocationFails) {
  fail_each_allocation_of_random_graphs(true);
}

// A collection's life with map, filter, count, aggregate, join, sort_by_key, window,
// pairwise and a conversion built on it, and changes made before and after, run once for every allocation it makes, with that allocation failing. A change
// that failed changed nothing, and afterwards, once the collection changes again, every
// operator shows what its source holds.
struct CollectionLife {
  Runtime rt;
  std::optional<CollectionHandle<u64>> source, right;
  std::vector<u64> in_source, in_right;  // what the changes that went through put there
  std::optional<Weft<u64>> multiples_of_three, total, pair_count, window_count, neighbour_count;
  std::optional<SortedHandle<u64, u64>> ordered;

  CollectionLife() {
    in_source.reserve(16);
    in_right.reserve(4);
  }

  void add(CollectionHandle<u64>& c, std::vector<u64>& contents, u64 x) {
    insert(rt, c, x);
    contents.push_back(x);
  }

  void run() {
    source = create_collection<u64>(rt);
    right = create_collection<u64>(rt);
    for (u64 k : {0, 1, 2}) add(*right, in_right, k);
    for (u64 x : {5, 1, 4, 1}) add(*source, in_source, x);
    auto doubled = map(rt, *source, [](u64 x) { return 2 * x; });
    multiples_of_three = count(rt, filter(rt, doubled, [](u64 x) { return x % 3 == 0; }));
    total = aggregate<u64>(rt, *source, u64{0}, [](u64 x) { return x; }, [](u64 a, u64 b) { return a + b; });
    pair_count = count(rt, join<u64>(rt, *source, *right, [](u64 x) { return x % 3; }, [](u64 y) { return y; }));
    ordered = sort_by_key<u64>(rt, *source, [](u64 x) { return x; });
    window_count = count(rt, window(rt, *ordered, 3));
    auto encoded = convert<u64>(rt, pairwise(rt, *ordered), [](const std::pair<u64, u64>& p) { return p.first * 100 + p.second; }, u64{0});
    neighbour_count = count(rt, encoded);
    read_all();
    for (u64 x : {9, 2, 6}) add(*source, in_source, x);
    remove(rt, *source, u64{1});
    in_source.erase(std::find(in_source.begin(), in_source.end(), u64{1}));
    read_all();
  }

  void read_all() {
    for (auto node : {multiples_of_three, total, pair_count, window_count, neighbour_count}) {
      if (node) rt.read(*node);
    }
  }

  static std::vector<u64> sorted(std::vector<u64> v) {
    std::sort(v.begin(), v.end());
    return v;
  }

  void check_goes_on() {
    if (!source || !right) return;
    ASSERT_EQ(coll_test::contents(*source), sorted(in_source));
    ASSERT_EQ(coll_test::contents(*right), sorted(in_right));
    add(*source, in_source, 7);
    auto with = [&](auto pred) { return static_cast<u64>(std::count_if(in_source.begin(), in_source.end(), pred)); };
    if (multiples_of_three) {
      EXPECT_EQ(rt.read(*multiples_of_three), with([](u64 x) { return x % 3 == 0; }));
    }
    if (total) {
      u64 sum = 0;
      for (u64 x : in_source) sum += x;
      EXPECT_EQ(rt.read(*total), sum);
    }
    const u64 n = in_source.size();
    if (ordered) {
      rt.read(ordered->version_node);
      EXPECT_EQ(sorted_snapshot(*ordered), sorted(in_source));
    }
    if (window_count) {
      EXPECT_EQ(rt.read(*window_count), n - 2);
    }
    if (neighbour_count) {
      EXPECT_EQ(rt.read(*neighbour_count), n - 1);
    }
    if (pair_count) {
      EXPECT_EQ(rt.read(*pair_count), with([&](u64 x) {
        return std::find(in_right.begin(), in_right.end(), x % 3) != in_right.end();
      }));
    }
  }
};

TEST(OutOfMemory, EveryAllocationThatFailsLeavesCollectionsThatGoOn) {
  fail_each_allocation<CollectionLife>(5000);
}

// A grouping's life: changes made before and after its router runs, one of them making a
// group, run once for every allocation it makes, with that allocation failing. Once the
// source changes again, every group holds exactly the source's elements of its key, each
// once, and its version node says so.
struct GroupedLife {
  Runtime rt;
  std::optional<CollectionHandle<u64>> source;
  std::optional<GroupedHandle<u64, u64>> by_residue;
  std::vector<u64> in_source;  // what the changes that went through put there

  GroupedLife() { in_source.reserve(16); }

  void add(u64 x) {
    insert(rt, *source, x);
    in_source.push_back(x);
  }

  void run() {
    source = create_collection<u64>(rt);
    for (u64 x : {5, 1, 4, 1}) add(x);
    by_residue = group_by<u64>(rt, *source, [](u64 x) { return x % 3; });
    rt.read(by_residue->router);
    for (u64 x : {9, 2, 6, 8}) add(x);
    remove(rt, *source, u64{1});
    in_source.erase(std::find(in_source.begin(), in_source.end(), u64{1}));
    rt.read(by_residue->router);
  }

  void check_goes_on() {
    if (!source) return;
    add(7);
    // No group node outlives a grouping that failed to build, or is made twice.
    EXPECT_EQ(rt.live_count(), by_residue ? 2 + group_count(*by_residue) : 1);
    if (!by_residue) return;
    rt.read(by_residue->router);
    for (u64 key : {0, 1, 2}) {
      u64 expected = static_cast<u64>(
          std::count_if(in_source.begin(), in_source.end(), [key](u64 x) { return x % 3 == key; }));
      std::optional<CollectionHandle<u64>> group = get_group(*by_residue, key);
      if (!group) {
        EXPECT_EQ(expected, 0u) << "no group " << key;
        continue;
      }
      EXPECT_EQ(snapshot_len(*group), expected) << "group " << key;
      EXPECT_EQ(rt.read(group->version_node), group->state->version()) << "group " << key;
    }
    EXPECT_EQ(rt.owned_by(by_residue->router.slot).size(), group_count(*by_residue));
  }
};

TEST(OutOfMemory, EveryAllocationThatFailsLeavesGroupsThatGoOn) {
  fail_each_allocation<GroupedLife>(5000);
}

}  // namespace
}  // namespace weft
