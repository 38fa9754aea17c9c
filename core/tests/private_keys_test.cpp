// Stored keys a collection state keeps to itself: which keys become private, when, and what
// a snapshot hands out for them.
#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "weft/collection.hpp"

namespace weft {

namespace {
// A value with an identity and a count of its holders, as a Python object has.
using Shared = std::shared_ptr<const u64>;
}  // namespace

template <>
struct ValueTraits<Shared> {
  static bool equal(const Shared& a, const Shared& b) { return *a == *b; }
  static i64 hash(const Shared& a) { return static_cast<i64>(*a); }
  static bool identical(const Shared& a, const Shared& b) { return a == b; }
};

}  // namespace weft

using namespace weft;

namespace {

std::set<const u64*>& made_private() {
  static std::set<const u64*> keys;
  return keys;
}

const PrivateKeys<Shared> kTestKeys{
    [](const Shared& e) { return e.use_count() == 2; },
    [](const Shared& key) { made_private().insert(key.get()); },
    [](const Shared& key) { return made_private().count(key.get()) ? std::make_shared<const u64>(*key) : key; }};

Shared fresh(u64 v) { return std::make_shared<const u64>(v); }

CollectionHandle<Shared> private_collection(Runtime& rt) {
  made_private().clear();
  auto c = create_collection<Shared>(rt);
  c.state->keep_keys_private(kTestKeys);
  return c;
}

const Shared& only(const std::vector<Shared>& values, u64 v) {
  for (const Shared& s : values) {
    if (*s == v) return s;
  }
  ADD_FAILURE() << "no " << v;
  return values.front();
}

}  // namespace

TEST(PrivateKeys, WithoutReadersAKeyNothingElseHoldsIsPrivateAndHandedOutAsACopy) {
  Runtime rt;
  auto c = private_collection(rt);
  Shared held = fresh(2);
  insert(rt, c, fresh(1));
  insert(rt, c, held);
  ASSERT_EQ(made_private().size(), 1u);
  const u64* key_of_1 = *made_private().begin();
  EXPECT_EQ(*key_of_1, 1u);

  std::vector<Shared> snapshot = c.state->snapshot();
  EXPECT_NE(only(snapshot, 1).get(), key_of_1);
  EXPECT_EQ(only(snapshot, 2), held);  // a key others hold is handed out itself
  EXPECT_TRUE(remove(rt, c, fresh(1)));
  EXPECT_EQ(snapshot_len(c), 1u);
}

TEST(PrivateKeys, WithAReaderAKeyBecomesPrivateWhenCompactionSetsItsInsertAside) {
  Runtime rt;
  auto c = private_collection(rt);
  std::vector<Shared> ignored;
  CursorRef cursor = c.state->subscribe(ignored);
  Shared held = fresh(2);
  insert(rt, c, fresh(1));
  insert(rt, c, held);
  insert(rt, c, fresh(3));
  insert(rt, c, fresh(3));  // an equal copy: its delta carries another object than the key
  EXPECT_TRUE(made_private().empty());  // the reader will see these deltas

  cursor->index = c.state->version();
  const u64* key_of_3 = only(c.state->snapshot(), 3).get();
  for (u64 v = 10; c.state->log().base() == 0; ++v) insert(rt, c, fresh(v));
  // Only the four deltas the reader had passed were set aside: of their keys, those of 1
  // and the first 3, which nothing else holds, became private.
  EXPECT_EQ(c.state->log().base(), 4u);
  ASSERT_EQ(made_private().size(), 2u);
  EXPECT_EQ(made_private().count(key_of_3), 1u);
  EXPECT_EQ(made_private().count(held.get()), 0u);
  EXPECT_EQ(*only(c.state->snapshot(), 3), 3u);
  EXPECT_EQ(c.state->element_count(), 1024u);
}
