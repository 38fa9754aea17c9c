#include <atomic>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>

#include "test_support.hpp"

// Counts heap allocations while `counting` is set, for the allocation-free read path, and
// fails the one that `allocations_before_failure` (when not negative) counts down to.
namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
std::atomic<long> allocations_before_failure{-1};
}  // namespace

void* operator new(std::size_t size) {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
  if (allocations_before_failure.load(std::memory_order_relaxed) >= 0 &&
      allocations_before_failure.fetch_sub(1, std::memory_order_relaxed) == 0) {
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// The nothrow form too (temporary buffers of the standard algorithms use it), so that every
// allocation pairs with the deletes below.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size ? size : 1);
}
[[gnu::noinline]] void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
// Kept out of line: inlined into a caller, the free() would look mismatched with `new`.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace weft {
namespace {

// Counts the live values it makes and drops, and notes a drop made while `watched` (a
// runtime's side-table lock) is held. A moved-from object holds no value.
struct Counted {
  u64 v = 0;
  bool live = true;

  static inline int made = 0;
  static inline int dropped = 0;
  static inline int dropped_under_lock = 0;
  static inline const AccessLock* watched = nullptr;

  explicit Counted(u64 value) : v(value) { ++made; }
  Counted(const Counted& o) : v(o.v), live(o.live) { made += live; }
  Counted(Counted&& o) noexcept : v(o.v), live(o.live) { o.live = false; }
  Counted& operator=(const Counted& o) {
    drop();
    v = o.v;
    live = o.live;
    made += live;
    return *this;
  }
  Counted& operator=(Counted&& o) noexcept {
    drop();
    v = o.v;
    live = o.live;
    o.live = false;
    return *this;
  }
  ~Counted() { drop(); }

  void drop() {
    if (!live) return;
    live = false;
    ++dropped;
    if (watched && watched->counter() != 0) ++dropped_under_lock;
  }
  static void reset() { made = dropped = dropped_under_lock = 0; }
};

// The same bookkeeping for what compute functions and observer callbacks capture.
struct Probe {
  bool live = true;
  static inline int made = 0;
  static inline int dropped = 0;
  static inline int dropped_under_lock = 0;
  static inline const AccessLock* watched = nullptr;

  Probe() { ++made; }
  Probe(const Probe& o) : live(o.live) { made += live; }
  Probe(Probe&& o) noexcept : live(o.live) { o.live = false; }
  Probe& operator=(const Probe&) = delete;
  ~Probe() {
    if (!live) return;
    ++dropped;
    if (watched && watched->counter() != 0) ++dropped_under_lock;
  }
  static void reset() { made = dropped = dropped_under_lock = 0; }
};

}  // namespace

template <>
struct ValueTraits<Counted> {
  static constexpr std::string_view name = "Counted";
  static bool equal(const Counted& a, const Counted& b) { return a.v == b.v; }
};

namespace {

using testing::ComputeError;

TEST(Leaks, EveryValueIsDroppedByDeletionOrTeardown) {
  Counted::reset();
  {
    Runtime rt;
    Counted::watched = &rt.tables_lock();
    auto a = rt.create_input<Counted>(Counted{1});
    auto b = rt.create_input<Counted>(Counted{2});
    auto q = rt.create_compute<Counted>(
        [a, b](Runtime& r) { return Counted{r.read(a).v + r.read(b).v}; });
    auto p = rt.create_compute<Counted>([q](Runtime& r) { return Counted{r.read(q).v % 2}; });
    auto f = rt.create_compute<Counted>([a](Runtime& r) -> Counted {
      Counted seen = r.read(a);
      if (seen.v > 2) throw ComputeError("too big");
      return seen;
    });
    std::vector<u64> observed;
    rt.observe(p, [&](Counted c) { observed.push_back(c.v); });
    rt.stabilize();
    EXPECT_EQ(rt.read(p).v, 1u);
    EXPECT_EQ(rt.read(f).v, 1u);

    rt.set(a, Counted{1});  // equal: the new value is dropped
    rt.set(a, Counted{3});  // replaces and drops the old one
    EXPECT_EQ(rt.read(p).v, 1u);  // p recomputed to an equal value: cut off, new one dropped
    EXPECT_THROW(rt.read(f), ComputeError);
    rt.stabilize();
    EXPECT_EQ(observed, std::vector<u64>{1});

    int before = Counted::dropped;
    EXPECT_EQ(rt.delete_with_dependents(b), 3u);  // b, q, p
    EXPECT_EQ(Counted::dropped, before + 3);
    rt.delete_node(f);
    EXPECT_EQ(Counted::dropped, before + 4);
    auto c = rt.create_input<Counted>(Counted{7});  // reuses a released cell
    EXPECT_EQ(rt.read(c).v, 7u);
    EXPECT_EQ(Counted::made - Counted::dropped, 2);  // a and c are held; teardown drops them
  }
  Counted::watched = nullptr;
  EXPECT_GT(Counted::made, 10);
  EXPECT_EQ(Counted::made, Counted::dropped);
  EXPECT_EQ(Counted::dropped_under_lock, 0);
}

TEST(Leaks, ComputeFunctionsAndObserversAreDroppedAfterTheTablesAreReleased) {
  Probe::reset();
  {
    Runtime rt;
    Probe::watched = &rt.tables_lock();
    auto a = rt.create_input<u64>(1);
    auto q = rt.create_compute<u64>([a, probe = Probe{}](Runtime& r) { return r.read(a); });
    rt.read(q);
    u64 on_q = rt.observe(q, [probe = Probe{}](u64) {});
    rt.observe(q, [probe = Probe{}](u64) {});
    u64 self_removing = 0;
    self_removing = rt.observe(a, [&rt, &self_removing, probe = Probe{}](u64) {
      rt.unobserve(self_removing);  // the stabilize snapshot holds the last reference
    });
    rt.observe(a, [probe = Probe{}](u64) {});
    rt.set(a, u64{2});
    EXPECT_EQ(Probe::made, 5);

    rt.stabilize();
    EXPECT_EQ(Probe::dropped, 1);
    rt.unobserve(on_q);
    EXPECT_EQ(Probe::dropped, 2);
    rt.delete_node(q);  // its compute function and its remaining observer
    EXPECT_EQ(Probe::dropped, 4);
  }
  Probe::watched = nullptr;
  EXPECT_EQ(Probe::dropped, 5);  // the last observer went with the runtime
  EXPECT_EQ(Probe::dropped_under_lock, 0);
}

// An observer that could not be registered (memory ran out at any of the allocations that
// takes) is dropped once the tables are released, and leaves the registry as it was.
TEST(Leaks, AnObserverThatCouldNotBeRegisteredIsDroppedAfterTheTablesAreReleased) {
  Runtime rt;
  Probe::watched = &rt.tables_lock();
  auto a = rt.create_input<u64>(1);
  int fired = 0;
  bool registered = false;
  for (long fail_at = 0; !registered; ++fail_at) {
    ASSERT_LT(fail_at, 100);
    Probe::reset();
    allocations_before_failure = fail_at;
    try {
      rt.observe(a, [&fired, probe = Probe{}](u64) { ++fired; });
      registered = true;
    } catch (const std::bad_alloc&) {
      EXPECT_EQ(Probe::dropped, Probe::made) << "failing allocation " << fail_at;
    }
    allocations_before_failure = -1;
    EXPECT_EQ(Probe::dropped_under_lock, 0) << "failing allocation " << fail_at;
  }
  rt.set(a, u64{2});
  rt.stabilize();
  EXPECT_EQ(fired, 1);  // the one registration that went through
  Probe::watched = nullptr;
}

// A graph's life (creating, labelling and adopting nodes, observing, reading, a read that
// changes a dependency list, one reading more nodes than a record holds inline, a write, a
// stabilize, unobserving and both kinds of deletion), run once for every allocation it
// makes, with that allocation failing. Whatever the failure interrupted, the runtime goes
// on: the nodes still there compute right from fresh inputs, a stabilize succeeds and fires
// every observer, no node was left half made or half deleted, and everything captured is
// dropped, never under the side-table lock.
struct GraphLife {
  static constexpr int kWide = 9;
  Runtime rt;
  std::vector<Weft<u64>> inputs;  // a, b, then what `wide` sums
  std::optional<Weft<u64>> sum, pick, wide, owned;
  std::vector<u64> observers;
  int fired = 0;

  GraphLife() {
    inputs.reserve(2 + kWide);
    observers.reserve(2);
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
    u64 held = 0;
    for (Weft<u64> input : inputs) held += rt.is_alive(input.erased());
    held += alive(sum) + alive(pick) + alive(wide) + alive(owned);
    EXPECT_EQ(rt.live_count(), held);
    if (inputs.size() < 2) return;
    for (std::size_t k = 0; k < inputs.size(); ++k) {
      if (rt.is_alive(inputs[k].erased())) rt.set(inputs[k], k == 0 ? u64{20} : k == 1 ? u64{30} : u64{1});
    }
    if (alive(sum)) EXPECT_EQ(rt.read(*sum), 50u);
    if (alive(pick)) EXPECT_EQ(rt.read(*pick), 50u);
    if (alive(wide)) EXPECT_EQ(rt.read(*wide), u64{kWide});
    rt.stabilize();
    rt.set(inputs[1], u64{31});
    int before = fired;
    rt.stabilize();
    EXPECT_EQ(fired - before, static_cast<int>(rt.observer_count()));
  }
};

TEST(Leaks, EveryAllocationThatFailsLeavesARuntimeThatGoesOn) {
  bool completed = false;
  for (long fail_at = 0; !completed; ++fail_at) {
    ASSERT_LT(fail_at, 1000);
    Probe::reset();
    {
      GraphLife life;
      Probe::watched = &life.rt.tables_lock();
      allocations_before_failure = fail_at;
      try {
        life.run();
        completed = true;
      } catch (const std::bad_alloc&) {
      }
      allocations_before_failure = -1;
      SCOPED_TRACE("failing allocation " + std::to_string(fail_at));
      life.check_goes_on();
      Probe::watched = nullptr;
    }
    EXPECT_EQ(Probe::dropped, Probe::made) << "failing allocation " << fail_at;
    EXPECT_EQ(Probe::dropped_under_lock, 0) << "failing allocation " << fail_at;
  }
}

TEST(Leaks, CleanReadAllocatesNothing) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto q = rt.create_compute<u64>([a](Runtime& r) { return r.read(a) + 1; });
  rt.read(q);
  u64 sum = 0;
  long before = allocations.load();
  counting = true;
  for (int k = 0; k < 100; ++k) sum += rt.read(q) + rt.read(a);
  counting = false;
  EXPECT_EQ(allocations.load() - before, 0);
  EXPECT_EQ(sum, 300u);
}

}  // namespace
}  // namespace weft
