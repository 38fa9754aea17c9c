#include "allocation_hook.hpp"
#include "drop_probe.hpp"
#include "test_support.hpp"

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

TEST(Leaks, CleanReadAllocatesNothing) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto q = rt.create_compute<u64>([a](Runtime& r) { return r.read(a) + 1; });
  rt.read(q);
  u64 sum = 0;
  test_alloc::count_allocations(true);
  for (int k = 0; k < 100; ++k) sum += rt.read(q) + rt.read(a);
  test_alloc::count_allocations(false);
  EXPECT_EQ(test_alloc::allocations_counted(), 0);
  EXPECT_EQ(sum, 300u);
}

}  // namespace
}  // namespace weft
