// convert: a derived collection of elements made from an inner collection's, as a node of its
// own, holding what the inner collection holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "collection_test_util.hpp"
#include "weft/collection_ops.hpp"

using namespace weft;
using namespace weft::coll_test;

namespace {

// The values of a collection of Tagged, in order, from a new snapshot.
std::vector<u64> values_of(const CollectionHandle<Tagged>& c) {
  std::vector<u64> values;
  SharedGuard borrow(c.state->borrow);
  for (const Tagged& t : c.state->snapshot()) values.push_back(t.value);
  std::sort(values.begin(), values.end());
  return values;
}

}  // namespace

// Each element made carries a new id: every snapshot makes its elements again. A run whose
// element cannot be made (memory ran out) takes nothing in; until the next one does, the
// collection shows what it took in, not what the inner collection holds by then.
TEST(Convert, MakesElementsAfreshAndShowsOnlyWhatItTookIn) {
  Runtime rt;
  auto inner = create_collection<u64>(rt);
  for (u64 x : {1, 2, 2}) insert(rt, inner, x);
  auto made = std::make_shared<u64>(0);
  auto refuse = std::make_shared<bool>(false);
  auto tagged = convert<Tagged>(rt, inner, [made, refuse](u64 x) {
    if (*refuse) throw CallbackError("no memory");
    return Tagged{x, ++*made};
  }, Tagged{});
  CursorRef reader = keep_log<Tagged>(*tagged.state);  // so that changes make their elements
  EXPECT_EQ(values_of(tagged), (std::vector<u64>{1, 2, 2}));
  const u64 before = *made;
  EXPECT_EQ(values_of(tagged), (std::vector<u64>{1, 2, 2}));
  EXPECT_EQ(*made, before + 3);

  *refuse = true;
  remove(rt, inner, u64{2});
  insert(rt, inner, u64{7});
  insert(rt, inner, u64{7});
  EXPECT_THROW(rt.read(tagged.version_node), CallbackError);
  *refuse = false;
  EXPECT_EQ(values_of(tagged), (std::vector<u64>{1, 2, 2}));
  EXPECT_EQ(snapshot_len(tagged), 3u);
  EXPECT_EQ(tagged.state->version(), 3u);

  insert(rt, inner, u64{8});  // a failed node is computed again once its source changes
  rt.read(tagged.version_node);
  EXPECT_EQ(values_of(tagged), (std::vector<u64>{1, 2, 7, 7, 8}));
  EXPECT_EQ(snapshot_len(tagged), 5u);
  EXPECT_EQ(tagged.state->version(), 7u);
  EXPECT_EQ(tagged.state->log().at(3).kind, DeltaKind::Delete);
  EXPECT_EQ(tagged.state->log().at(3).element.value, 2u);
}

// While nothing reads the converted collection's changes, none of its elements is made.
TEST(Convert, ChangesNobodyReadsMakeNoElements) {
  Runtime rt;
  auto inner = create_collection<u64>(rt);
  auto made = std::make_shared<u64>(0);
  auto tagged = convert<Tagged>(rt, inner, [made](u64 x) { return Tagged{x, ++*made}; }, Tagged{});
  for (u64 x : {4, 5}) insert(rt, inner, x);
  rt.read(tagged.version_node);
  EXPECT_EQ(*made, 0u);
  EXPECT_EQ(tagged.state->version(), 2u);
  EXPECT_EQ(values_of(tagged), (std::vector<u64>{4, 5}));
}

// While its changes are read by counts alone, a converted collection makes no element for
// them: stand-ins take their places, and the counts stay right. A reader of elements that
// comes later gets made elements from its cursor on; once it is gone, stand-ins are back.
TEST(Convert, ChangesOnlyCountsReadMakeNoElements) {
  Runtime rt;
  auto inner = create_collection<u64>(rt);
  insert(rt, inner, u64{1});
  auto made = std::make_shared<u64>(0);
  auto tagged = convert<Tagged>(rt, inner, [made](u64 x) { return Tagged{x, ++*made}; }, Tagged{0, 0});
  Weft<u64> n = count(rt, tagged);
  insert(rt, inner, u64{2});
  insert(rt, inner, u64{3});
  remove(rt, inner, u64{1});
  EXPECT_EQ(rt.read(n), 2u);
  EXPECT_EQ(*made, 0u);

  u64 from = tagged.state->version();
  {
    CursorRef reader = keep_log<Tagged>(*tagged.state);
    *made = 0;
    insert(rt, inner, u64{4});
    EXPECT_EQ(rt.read(n), 3u);
    EXPECT_EQ(*made, 1u);
    EXPECT_EQ(tagged.state->log().at(from).element.value, 4u);
  }
  remove(rt, inner, u64{2});
  EXPECT_EQ(rt.read(n), 2u);
  EXPECT_EQ(*made, 1u);
  EXPECT_EQ(values_of(tagged), (std::vector<u64>{3, 4}));
}
