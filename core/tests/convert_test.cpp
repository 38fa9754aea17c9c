// convert: a derived collection counted under the elements its own were made from.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "collection_test_util.hpp"
#include "weft/collection_ops.hpp"

using namespace weft;
using namespace weft::coll_test;

namespace {

// A key that notes, as it goes, whether the collection it is counted in was borrowed.
struct Watched {
  u64 value;
  static inline const AccessLock* watched = nullptr;
  static inline int released_while_borrowed = 0;
  static inline int released = 0;
};
using WatchedRef = std::shared_ptr<Watched>;

WatchedRef watched(u64 value) {
  return WatchedRef(new Watched{value}, [](Watched* w) {
    ++Watched::released;
    if (Watched::watched && Watched::watched->counter() != 0) ++Watched::released_while_borrowed;
    delete w;
  });
}

// The values of a collection of Tagged, in order, from a new snapshot.
std::vector<u64> values_of(const CollectionHandle<Tagged>& c) {
  std::vector<u64> values;
  SharedGuard borrow(c.state->borrow);
  for (const Tagged& t : c.state->snapshot()) values.push_back(t.value);
  std::sort(values.begin(), values.end());
  return values;
}

}  // namespace

template <>
struct weft::ElementTraits<WatchedRef> {
  static bool equal(const WatchedRef& a, const WatchedRef& b) { return a->value == b->value; }
  static i64 hash(const WatchedRef& w) { return static_cast<i64>(w->value); }
};

// Each element made carries a new id: a snapshot makes every element again, and a delete
// finds its element by the key it was made from, whatever the made element looks like.
TEST(Convert, CountsUnderTheKeysAndMakesElementsAfreshForSnapshots) {
  Runtime rt;
  auto made = std::make_shared<u64>(0);
  auto inner = create_collection<u64>(rt);
  for (u64 x : {1, 2, 2}) insert(rt, inner, x);
  auto tagged = convert<Tagged>(rt, inner, [made](u64 x) { return Tagged{x, ++*made}; });
  CursorRef reader = keep_log<Tagged>(*tagged.state);
  EXPECT_EQ(snapshot_len(tagged), 3u);
  const u64 after_build = *made;
  EXPECT_EQ(values_of(tagged), (std::vector<u64>{1, 2, 2}));
  EXPECT_EQ(*made, after_build + 3);  // made again

  remove(rt, inner, u64{2});
  insert(rt, inner, u64{7});
  remove(rt, inner, u64{9});  // absent: no delta
  rt.read(tagged.version_node);
  EXPECT_EQ(tagged.state->log().at(3).kind, DeltaKind::Delete);
  EXPECT_EQ(tagged.state->log().at(3).element.value, 2u);
  EXPECT_EQ(tagged.state->version(), 5u);
  EXPECT_EQ(values_of(tagged), (std::vector<u64>{1, 2, 7}));
}

// A key whose hash throws leaves its delta to the next run: applied once, not lost.
TEST(Convert, ADeltaWhoseKeyCannotBeHashedYetIsAppliedOnTheNextRun) {
  Runtime rt;
  auto inner = create_collection<Fragile>(rt);
  auto values = convert<u64>(rt, inner, [](const Fragile& f) { return f.value; }, InnerReaders::OnlyThisOne);
  Fragile::strict = true;
  insert(rt, inner, Fragile{5});
  insert(rt, inner, Fragile{13});
  insert(rt, inner, Fragile{6});
  EXPECT_THROW(rt.read(values.version_node), CallbackError);
  EXPECT_EQ(contents(values), (std::vector<u64>{5}));
  Fragile::strict = false;
  remove(rt, inner, Fragile{5});
  rt.read(values.version_node);
  EXPECT_EQ(contents(values), (std::vector<u64>{6, 13}));
  EXPECT_EQ(values.state->version(), 4u);
}

// The key of an element whose last copy went is let go once the change is over, so that
// what its release runs finds the collection free.
TEST(Convert, AKeyIsLetGoOnlyOnceTheBorrowIsGivenUp) {
  Runtime rt;
  auto inner = create_collection<WatchedRef>(rt);
  auto values = convert<u64>(rt, inner, [](const WatchedRef& w) { return w->value; }, InnerReaders::OnlyThisOne);
  Watched::watched = &values.state->borrow;
  Watched::released = Watched::released_while_borrowed = 0;
  // Compaction drops the inner inserts once read: their keys are held by the counts alone.
  for (u64 i = 0; i < 1500; ++i) {
    insert(rt, inner, watched(i));
    rt.read(values.version_node);
  }
  for (u64 i = 0; i < 1500; ++i) {
    remove(rt, inner, watched(i));
    rt.read(values.version_node);
  }
  EXPECT_EQ(snapshot_len(values), 0u);
  EXPECT_GT(Watched::released, 1500);
  EXPECT_EQ(Watched::released_while_borrowed, 0);
  Watched::watched = nullptr;
}
