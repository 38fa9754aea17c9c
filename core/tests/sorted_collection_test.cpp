// sort_by_key and its positional log; window and pairwise over it.
#include <gtest/gtest.h>

#include <random>

#include "collection_test_util.hpp"
#include "weft/collection_ops.hpp"
#include "weft/sorted_collection.hpp"

using namespace weft;
using namespace weft::coll_test;

namespace {

// A key whose comparisons all come out false when either side is poisoned, as a failing
// comparison does.
struct Key {
  u64 value;
  bool poison;
};

}  // namespace

template <>
struct weft::ElementTraits<Key> {
  static bool equal(const Key& a, const Key& b) { return !a.poison && !b.poison && a.value == b.value; }
  static i64 hash(const Key& k) { return static_cast<i64>(k.value); }
  static bool less(const Key& a, const Key& b) { return !a.poison && !b.poison && a.value < b.value; }
};

// A key whose comparisons throw while `strict` is set and either side is 13, as a key type
// that refuses to order some pairs of keys does.
struct Picky {
  u64 value;
  static inline bool strict = false;
};

template <>
struct weft::ElementTraits<Picky> {
  static void check(const Picky& a, const Picky& b) {
    if (Picky::strict && (a.value == 13 || b.value == 13)) throw CallbackError("13 does not order");
  }
  static bool equal(const Picky& a, const Picky& b) { return check(a, b), a.value == b.value; }
  static i64 hash(const Picky& k) { return static_cast<i64>(k.value); }
  static bool less(const Picky& a, const Picky& b) { return check(a, b), a.value < b.value; }
};

namespace {

using Seq = InlineSequence<u64>;
using Pair = std::pair<u64, u64>;

u64 identity(u64 x) { return x; }
u64 tens(u64 x) { return x / 10; }

struct Fixture {
  Runtime rt;
  CollectionHandle<u64> source = create_collection<u64>(rt);

  void fill(std::initializer_list<u64> xs) {
    for (u64 x : xs) insert(rt, source, x);
  }
  template <class K>
  std::vector<u64> order(const SortedHandle<K, u64>& s) {
    rt.read(s.version_node);
    return sorted_snapshot(s);
  }
  template <class E>
  std::vector<E> read(const CollectionHandle<E>& c) {
    rt.read(c.version_node);
    return contents(c);
  }
};

struct Change {
  DeltaKind kind;
  u64 position;
  u64 value;
  friend bool operator==(const Change&, const Change&) = default;
};

template <class K>
std::vector<Change> changes(const SortedHandle<K, u64>& s, u64 from) {
  std::vector<Change> out;
  for (u64 i = from; i < s.state->version(); ++i) {
    const auto& d = s.state->log().at(i);
    out.push_back({d.kind, d.position, d.value});
  }
  return out;
}

template <class E>
std::vector<std::pair<DeltaKind, E>> deltas_since(const CollectionHandle<E>& c, u64 from) {
  std::vector<std::pair<DeltaKind, E>> out;
  for (u64 i = from; i < c.state->version(); ++i) out.push_back({c.state->log().at(i).kind, c.state->log().at(i).element});
  return out;
}

constexpr DeltaKind Ins = DeltaKind::Insert;
constexpr DeltaKind Del = DeltaKind::Delete;

}  // namespace

TEST(SortByKey, OrdersByKeyAndKeepsArrivalOrderForEqualKeys) {
  Fixture f;
  f.fill({3, 1, 2});
  auto s = sort_by_key<u64>(f.rt, f.source, identity);
  EXPECT_EQ(sorted_snapshot(s), (std::vector<u64>{1, 2, 3}));
  EXPECT_EQ(s.state->version(), 3u);

  // Equal keys: arrival order (built on an empty collection, so every element arrives as a
  // delta).
  auto other = create_collection<u64>(f.rt);
  auto by_tens = sort_by_key<u64>(f.rt, other, tens);
  CursorRef reader = keep_log<u64>(*by_tens.state);
  for (u64 x : {15, 11, 13, 4, 27}) insert(f.rt, other, x);
  EXPECT_EQ(f.order(by_tens), (std::vector<u64>{4, 15, 11, 13, 27}));
  EXPECT_EQ(changes(by_tens, 0),
            (std::vector<Change>{{Ins, 0, 15}, {Ins, 1, 11}, {Ins, 2, 13}, {Ins, 0, 4}, {Ins, 4, 27}}));

  // A delete removes the matching entry among equal keys and leaves the others in place.
  remove(f.rt, other, u64{11});
  EXPECT_EQ(f.order(by_tens), (std::vector<u64>{4, 15, 13, 27}));
  EXPECT_EQ(changes(by_tens, 5), (std::vector<Change>{{Del, 2, 11}}));
  EXPECT_EQ(sorted_len(by_tens), 4u);
}

TEST(SortByKey, DeleteFindsTheFirstEqualValueAndLogsTheStoredOne) {
  Runtime rt;
  auto c = create_collection<Tagged>(rt);
  auto key_ids = std::make_shared<std::vector<u64>>();
  auto s = sort_by_key<u64>(rt, c, [key_ids](const Tagged& t) {
    key_ids->push_back(t.id);
    return t.value / 10;
  });
  CursorRef reader = keep_log<Tagged>(*s.state);
  insert(rt, c, Tagged{12, 1});
  insert(rt, c, Tagged{14, 2});
  insert(rt, c, Tagged{12, 3});
  rt.read(s.version_node);
  EXPECT_TRUE(remove(rt, c, Tagged{12, 9}));
  rt.read(s.version_node);
  EXPECT_EQ(*key_ids, (std::vector<u64>{1, 2, 3, 9}));  // keys of deletes are computed too
  const auto& last = s.state->log().at(s.state->version() - 1);
  EXPECT_EQ(last.kind, Del);
  EXPECT_EQ(last.position, 0u);
  EXPECT_EQ(last.value.id, 1u);
  std::vector<u64> ids;
  for (const Tagged& t : sorted_snapshot(s)) ids.push_back(t.id);
  EXPECT_EQ(ids, (std::vector<u64>{2, 3}));
}

// Equal values under different keys, many copies of each: a delete takes the first entry
// with an equal value among those with the delete's key, as a scan of that run would.
TEST(SortByKey, DeletesAmongManyEqualKeysAndValuesFollowAScanOfTheKeysRun) {
  Runtime rt;
  auto c = create_collection<Tagged>(rt);
  auto s = sort_by_key<u64>(rt, c, [](const Tagged& t) { return t.id % 3; });
  struct Entry {
    u64 key, value, id;
  };
  std::vector<Entry> model;  // in key order, equal keys by arrival
  std::mt19937_64 rng(11);
  u64 next_id = 0;
  for (int step = 0; step < 3000; ++step) {
    Tagged t{rng() % 4, next_id++};
    u64 key = t.id % 3;
    if (step < 300 || rng() % 2 == 0) {
      insert(rt, c, t);
      auto after = std::find_if(model.begin(), model.end(), [&](const Entry& e) { return e.key > key; });
      model.insert(after, {key, t.value, t.id});
    } else if (remove(rt, c, t)) {
      auto match = std::find_if(model.begin(), model.end(),
                                [&](const Entry& e) { return e.key == key && e.value == t.value; });
      if (match != model.end()) model.erase(match);
    }
    if (step % 100 != 99) continue;
    rt.read(s.version_node);
    std::vector<u64> ids, expected;
    for (const Tagged& x : sorted_snapshot(s)) ids.push_back(x.id);
    for (const Entry& e : model) expected.push_back(e.id);
    ASSERT_EQ(ids, expected) << "step " << step;
  }
}

namespace {

// Equal when the values are, but hashed by the tag too: equal elements that hash apart,
// as values whose equality crosses types can.
struct Split {
  u64 value, tag;
};

}  // namespace

template <>
struct weft::ElementTraits<Split> {
  static bool equal(const Split& a, const Split& b) { return a.value == b.value; }
  static i64 hash(const Split& s) { return static_cast<i64>(s.value * 2 + s.tag); }
  static bool less(const Split& a, const Split& b) { return a.value < b.value; }
};

TEST(SortByKey, AnEqualElementThatHashesApartIsStillFoundAndCanBeDeletedAgain) {
  Runtime rt;
  auto sorted = std::make_shared<SortedState<u64, Split>>();
  ExclusiveGuard borrow(sorted->borrow);
  for (u64 i = 0; i < 4; ++i) sorted->insert(0, Split{i % 2, 0});  // 0, 1, 0, 1
  sorted->remove(0, Split{1, 1});  // hashes apart from the stored ones
  sorted->remove(0, Split{1, 0});
  sorted->remove(0, Split{1, 0});  // none left: nothing happens
  sorted->remove(0, Split{0, 0});
  std::vector<u64> values;
  for (const Split& x : sorted->values()) values.push_back(x.value);
  EXPECT_EQ(values, (std::vector<u64>{0}));
  EXPECT_EQ(sorted->version(), 7u);  // four inserts, three deletes
  sorted->remove(0, Split{0, 0});
  EXPECT_EQ(sorted->size(), 0u);
}

TEST(SortByKey, ADeleteTakesNothingOutsideTheRunOfItsKey) {
  SortedState<u64, Tagged> sorted;
  ExclusiveGuard borrow(sorted.borrow);
  sorted.insert(0, Tagged{3, 1});
  sorted.insert(1, Tagged{5, 2});  // the first entry after the run of key 0
  sorted.remove(0, Tagged{5, 9});
  EXPECT_EQ(sorted.size(), 2u);
  EXPECT_EQ(sorted.version(), 2u);
  sorted.remove(1, Tagged{5, 9});
  ASSERT_EQ(sorted.values().size(), 1u);
  EXPECT_EQ(sorted.values()[0].id, 1u);
}

TEST(SortByKey, AnElementWhoseKeyChangedIsNotFoundOnDelete) {
  Fixture f;
  auto shift = std::make_shared<u64>(0);
  auto s = sort_by_key<u64>(f.rt, f.source, [shift](u64 x) { return x + *shift; });
  f.fill({1, 2});
  EXPECT_EQ(f.order(s), (std::vector<u64>{1, 2}));
  *shift = 100;
  const u64 version = s.state->version();
  remove(f.rt, f.source, u64{1});
  EXPECT_EQ(f.order(s), (std::vector<u64>{1, 2}));
  EXPECT_EQ(s.state->version(), version);
}

TEST(SortByKey, FailedComparisonsCountAsFalse) {
  Fixture f;
  auto s = sort_by_key<Key>(f.rt, f.source, [](u64 x) { return Key{x, x >= 90}; });
  f.fill({10, 20, 30});
  // Every comparison with the poisoned key is false: the existing keys sort after it.
  insert(f.rt, f.source, u64{99});
  EXPECT_EQ(f.order(s), (std::vector<u64>{99, 10, 20, 30}));
  // A new key meets the poisoned entry during bisection and treats it as sorting after.
  insert(f.rt, f.source, u64{5});
  insert(f.rt, f.source, u64{25});
  EXPECT_EQ(f.order(s), (std::vector<u64>{5, 99, 10, 20, 25, 30}));
  // Ordinary keys are still found; the poisoned one never equals anything, so it stays.
  remove(f.rt, f.source, u64{20});
  remove(f.rt, f.source, u64{99});
  EXPECT_EQ(f.order(s), (std::vector<u64>{5, 99, 10, 25, 30}));
}

TEST(SortByKey, ThrowingKeyFnAppliesNothing) {
  Fixture f;
  auto poisoned = std::make_shared<bool>(true);
  auto s = sort_by_key<u64>(f.rt, f.source, [poisoned](u64 x) {
    if (*poisoned && x == 13) throw CallbackError("thirteen");
    return x;
  });
  f.fill({20, 13});
  EXPECT_THROW(f.rt.read(s.version_node), CallbackError);
  EXPECT_EQ(sorted_len(s), 0u);
  EXPECT_EQ(s.state->version(), 0u);
  *poisoned = false;
  insert(f.rt, f.source, u64{1});
  EXPECT_EQ(f.order(s), (std::vector<u64>{1, 13, 20}));
}

// The run applies 10, then fails comparing 13 with it; the next run goes on from 13.
TEST(SortByKey, AComparisonThatThrowsWhileApplyingNeitherLosesNorRepeatsDeltas) {
  Fixture f;
  auto s = sort_by_key<Picky>(f.rt, f.source, [](u64 x) { return Picky{x}; });
  CursorRef reader = keep_log<u64>(*s.state);
  f.fill({10, 13, 20});
  Picky::strict = true;
  EXPECT_THROW(f.rt.read(s.version_node), CallbackError);
  Picky::strict = false;
  EXPECT_EQ(sorted_snapshot(s), (std::vector<u64>{10}));
  insert(f.rt, f.source, u64{5});
  EXPECT_EQ(f.order(s), (std::vector<u64>{5, 10, 13, 20}));
  EXPECT_EQ(changes(s, 0), (std::vector<Change>{{DeltaKind::Insert, 0, 10},
                                                {DeltaKind::Insert, 1, 13},
                                                {DeltaKind::Insert, 2, 20},
                                                {DeltaKind::Insert, 0, 5}}));
}

// Windows and pairs hash nothing, so they take every delta at once; mapped elements the
// own collection cannot take while 13 does not hash are taken on the next run, and nothing
// is derived twice.
TEST(ApplyFailure, DerivedDeltasThatCannotBeAppliedYetAreAppliedOnTheNextRun) {
  using FSeq = InlineSequence<Fragile>;
  using FPair = std::pair<Fragile, Fragile>;
  Runtime rt;
  auto source = create_collection<Fragile>(rt);
  auto s = sort_by_key<u64>(rt, source, [](const Fragile& f) { return f.value; });
  auto w = window(rt, s, 2);
  auto p = pairwise(rt, s);
  auto calls = std::make_shared<u64>(0);
  auto m = map(rt, source, [calls](const Fragile& f) {
    ++*calls;
    return f;
  });
  for (u64 x : {10, 13, 20}) insert(rt, source, Fragile{x});
  rt.read(s.version_node);
  Fragile::strict = true;
  rt.read(w.version_node);
  rt.read(p.version_node);
  EXPECT_THROW(rt.read(m.version_node), CallbackError);
  EXPECT_EQ(contents(w), (std::vector<FSeq>{{{10}, {13}}, {{13}, {20}}}));
  Fragile::strict = false;
  for (u64 x : {10, 20}) remove(rt, source, Fragile{x});
  insert(rt, source, Fragile{30});
  rt.read(w.version_node);
  rt.read(p.version_node);
  rt.read(m.version_node);
  EXPECT_EQ(*calls, 6u);
  EXPECT_EQ(contents(w), (std::vector<FSeq>{{{13}, {30}}}));
  EXPECT_EQ(contents(p), (std::vector<FPair>{{{13}, {30}}}));
  EXPECT_EQ(contents(m), (std::vector<Fragile>{{13}, {30}}));
}

TEST(SortByKey, ThePositionalLogCompactsLikeACollectionLog) {
  Fixture f;
  auto s = sort_by_key<u64>(f.rt, f.source, identity);
  for (u64 i = 0; i < 1023; ++i) insert(f.rt, f.source, i);
  f.rt.read(s.version_node);
  EXPECT_EQ(s.state->log().size(), 0u);  // nobody reads it
  EXPECT_EQ(s.state->version(), 1023u);

  auto pairs = pairwise(f.rt, s);  // never read: keeps everything after its cursor
  for (u64 i = 0; i < 1100; ++i) insert(f.rt, f.source, 3000 + i);
  f.rt.read(s.version_node);
  EXPECT_EQ(s.state->log().base(), 1023u);
  EXPECT_EQ(s.state->log().size(), 1100u);
  EXPECT_EQ(f.read(pairs).size(), 2122u);
  // Once read, the next change drops what it consumed.
  insert(f.rt, f.source, u64{2000});
  f.rt.read(s.version_node);
  EXPECT_EQ(s.state->log().size(), 1u);
}

TEST(Window, SizeTwoFollowsAnInsertInTheMiddle) {
  Fixture f;
  f.fill({10, 20, 30});
  auto s = sort_by_key<u64>(f.rt, f.source, identity);
  auto w = window(f.rt, s, 2);
  CursorRef reader = keep_log<Seq>(*w.state);
  EXPECT_TRUE(w.derived);
  EXPECT_EQ(contents(w), (std::vector<Seq>{{10, 20}, {20, 30}}));
  const u64 start = w.state->version();
  insert(f.rt, f.source, u64{25});
  EXPECT_EQ(f.read(w), (std::vector<Seq>{{10, 20}, {20, 25}, {25, 30}}));
  EXPECT_EQ(deltas_since(w, start),
            (std::vector<std::pair<DeltaKind, Seq>>{{Del, {20, 30}}, {Ins, {20, 25}}, {Ins, {25, 30}}}));

  const u64 mid = w.state->version();
  remove(f.rt, f.source, u64{20});
  EXPECT_EQ(f.read(w), (std::vector<Seq>{{10, 25}, {25, 30}}));
  EXPECT_EQ(deltas_since(w, mid),
            (std::vector<std::pair<DeltaKind, Seq>>{{Del, {10, 20}}, {Del, {20, 25}}, {Ins, {10, 25}}}));
  remove(f.rt, f.source, u64{10});
  insert(f.rt, f.source, u64{40});
  EXPECT_EQ(f.read(w), (std::vector<Seq>{{25, 30}, {30, 40}}));
}

// Making a window's element can fail (memory runs out): the conversion takes nothing in, and
// the next run takes the same windows, once.
TEST(Window, AnElementThatCannotBeMadeIsMadeOnTheNextRun) {
  Fixture f;
  f.fill({10, 20, 30});
  auto s = sort_by_key<u64>(f.rt, f.source, identity);
  auto refuse = std::make_shared<bool>(false);
  auto w = convert<Seq>(f.rt, window(f.rt, s, 2), [refuse](const Seq& run) {
    if (*refuse) throw CallbackError("no memory");
    return run;
  }, Seq{});
  CursorRef reader = keep_log<Seq>(*w.state);
  const u64 start = w.state->version();
  *refuse = true;
  insert(f.rt, f.source, u64{25});
  EXPECT_THROW(f.rt.read(w.version_node), CallbackError);
  *refuse = false;
  EXPECT_EQ(contents(w), (std::vector<Seq>{{10, 20}, {20, 30}}));
  remove(f.rt, f.source, u64{10});
  EXPECT_EQ(f.read(w), (std::vector<Seq>{{20, 25}, {25, 30}}));
  EXPECT_EQ(deltas_since(w, start), (std::vector<std::pair<DeltaKind, Seq>>{
                                        {Del, {20, 30}}, {Ins, {20, 25}}, {Ins, {25, 30}}, {Del, {10, 20}}}));
}

// While nothing reads a converted window collection's changes, none of its elements is made;
// a snapshot makes them all, and once a reader comes, each change makes its own. The windows
// there at the start count as the first inserts.
TEST(Window, ChangesNobodyReadsMakeNoElements) {
  Fixture f;
  f.fill({10, 20, 30});
  auto s = sort_by_key<u64>(f.rt, f.source, identity);
  auto made = std::make_shared<u64>(0);
  auto w = convert<Seq>(f.rt, window(f.rt, s, 2), [made](const Seq& run) {
    ++*made;
    return run;
  }, Seq{});
  insert(f.rt, f.source, u64{25});
  f.rt.read(w.version_node);
  EXPECT_EQ(*made, 0u);
  EXPECT_EQ(w.state->version(), 5u);
  EXPECT_EQ(snapshot_len(w), 3u);
  EXPECT_EQ(contents(w), (std::vector<Seq>{{10, 20}, {20, 25}, {25, 30}}));
  EXPECT_EQ(*made, 3u);
  CursorRef reader = keep_log<Seq>(*w.state);  // its snapshot makes three more
  remove(f.rt, f.source, u64{10});
  f.rt.read(w.version_node);
  EXPECT_EQ(*made, 7u);
  EXPECT_EQ(deltas_since(w, 5), (std::vector<std::pair<DeltaKind, Seq>>{{Del, {10, 20}}}));
}

TEST(Window, NeedsAsManyElementsAsItsSize) {
  Fixture f;
  f.fill({1, 2});
  auto s = sort_by_key<u64>(f.rt, f.source, identity);
  auto w = window(f.rt, s, 3);
  EXPECT_EQ(snapshot_len(w), 0u);
  insert(f.rt, f.source, u64{3});
  EXPECT_EQ(f.read(w), (std::vector<Seq>{{1, 2, 3}}));
  insert(f.rt, f.source, u64{0});
  insert(f.rt, f.source, u64{5});
  EXPECT_EQ(f.read(w), (std::vector<Seq>{{0, 1, 2}, {1, 2, 3}, {2, 3, 5}}));
  remove(f.rt, f.source, u64{2});
  EXPECT_EQ(f.read(w), (std::vector<Seq>{{0, 1, 3}, {1, 3, 5}}));
  remove(f.rt, f.source, u64{0});
  remove(f.rt, f.source, u64{5});
  EXPECT_EQ(f.read(w), std::vector<Seq>{});
  auto single = window(f.rt, s, 1);
  EXPECT_EQ(contents(single), (std::vector<Seq>{{1}, {3}}));
}

TEST(Window, SizeZeroIsRefused) {
  Fixture f;
  f.fill({1});
  auto s = sort_by_key<u64>(f.rt, f.source, identity);
  EXPECT_EQ(failure_text([&] { window(f.rt, s, 0); }), "window size must be positive");
  EXPECT_EQ(s.state->log().reader_count(), 0u);
}

TEST(Pairwise, FollowsInsertsAndDeletesBetweenNeighbours) {
  Fixture f;
  f.fill({1, 3});
  auto s = sort_by_key<u64>(f.rt, f.source, identity);
  auto p = pairwise(f.rt, s);
  CursorRef reader = keep_log<Pair>(*p.state);
  EXPECT_EQ(contents(p), (std::vector<Pair>{{1, 3}}));
  insert(f.rt, f.source, u64{2});
  EXPECT_EQ(f.read(p), (std::vector<Pair>{{1, 2}, {2, 3}}));
  remove(f.rt, f.source, u64{2});
  EXPECT_EQ(f.read(p), (std::vector<Pair>{{1, 3}}));

  // The ends: a new first or last element adds one pair, and deleting the first element
  // removes only the pair it starts.
  insert(f.rt, f.source, u64{0});
  insert(f.rt, f.source, u64{9});
  EXPECT_EQ(f.read(p), (std::vector<Pair>{{0, 1}, {1, 3}, {3, 9}}));
  const u64 start = p.state->version();
  remove(f.rt, f.source, u64{0});
  EXPECT_EQ(f.read(p), (std::vector<Pair>{{1, 3}, {3, 9}}));
  EXPECT_EQ(deltas_since(p, start), (std::vector<std::pair<DeltaKind, Pair>>{{Del, {0, 1}}}));
}

TEST(Pairwise, BuiltOnASortedCollectionThatHasNotCaughtUp) {
  Fixture f;
  f.fill({5, 1});
  auto s = sort_by_key<u64>(f.rt, f.source, identity);
  insert(f.rt, f.source, u64{3});  // not yet in the sorted state
  auto p = pairwise(f.rt, s);
  EXPECT_EQ(contents(p), (std::vector<Pair>{{1, 5}}));
  EXPECT_EQ(f.read(p), (std::vector<Pair>{{1, 3}, {3, 5}}));
}

TEST(Pairwise, OneElementHasNoPairs) {
  Fixture f;
  f.fill({4});
  auto s = sort_by_key<u64>(f.rt, f.source, identity);
  auto p = pairwise(f.rt, s);
  EXPECT_EQ(snapshot_len(p), 0u);
  insert(f.rt, f.source, u64{4});
  EXPECT_EQ(f.read(p), (std::vector<Pair>{{4, 4}}));
  remove(f.rt, f.source, u64{4});
  remove(f.rt, f.source, u64{4});
  EXPECT_EQ(f.read(p), std::vector<Pair>{});
}

// Enough entries to spread the sorted state and the ordered copies over many chunks, with
// changes landing anywhere in them.
TEST(SortedAgreement, LargeCollectionsFollowTheModelEverywhere) {
  Fixture f;
  auto halves = [](u64 x) { return x / 2; };
  auto s = sort_by_key<u64>(f.rt, f.source, halves);
  auto w = window(f.rt, s, 4);
  auto p = pairwise(f.rt, s);
  // Longer windows, kept out of line.
  auto longer = window(f.rt, s, 6);
  std::vector<u64> model;  // values in key order, equal keys by arrival
  auto by_key = [&](u64 a, u64 b) { return halves(a) < halves(b); };
  std::mt19937_64 rng(7);
  for (int step = 0; step < 4000; ++step) {
    if (model.empty() || rng() % 3 != 0) {
      u64 x = rng() % 1000;
      insert(f.rt, f.source, x);
      model.insert(std::upper_bound(model.begin(), model.end(), x, by_key), x);
    } else {
      u64 x = model[rng() % model.size()];
      remove(f.rt, f.source, x);
      auto run = std::lower_bound(model.begin(), model.end(), x, by_key);
      model.erase(std::find(run, model.end(), x));
    }
    if (step % 500 != 499) continue;
    f.rt.read(w.version_node);
    f.rt.read(p.version_node);
    ASSERT_EQ(sorted_snapshot(s), model) << "step " << step;
    auto windows_of = [&](std::size_t size) {
      std::vector<Seq> windows;
      for (std::size_t i = 0; i + size <= model.size(); ++i) windows.push_back(Seq(model.begin() + i, model.begin() + i + size));
      return sorted_copy(windows);
    };
    ASSERT_EQ(contents(w), windows_of(4)) << "step " << step;
    f.rt.read(longer.version_node);
    ASSERT_EQ(contents(longer), windows_of(6)) << "step " << step;
    std::vector<Pair> pairs;
    for (std::size_t i = 0; i + 1 < model.size(); ++i) pairs.push_back({model[i], model[i + 1]});
    ASSERT_EQ(contents(p), sorted_copy(pairs)) << "step " << step;
  }
  EXPECT_GT(model.size(), 1000u);
}
