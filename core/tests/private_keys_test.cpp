// Stored keys a collection state marks as its own: which keys become private and when, and
// how a snapshot shares them again.
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
    [](const Shared& v, long holders) { return v.use_count() == holders; },
    [](const Shared& key) { made_private().insert(key.get()); },
    [](const Shared& key) { made_private().erase(key.get()); }};

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

TEST(PrivateKeys, WithoutReadersAKeyNothingElseHoldsIsPrivateUntilASnapshotHandsItOut) {
  Runtime rt;
  auto c = private_collection(rt);
  Shared held = fresh(2);
  insert(rt, c, fresh(1));
  insert(rt, c, held);
  ASSERT_EQ(made_private().size(), 1u);
  const u64* key_of_1 = *made_private().begin();
  EXPECT_EQ(*key_of_1, 1u);

  auto snapshot = std::make_unique<std::vector<Shared>>(c.state->snapshot());
  EXPECT_EQ(only(*snapshot, 1).get(), key_of_1);  // the stored key itself, shared again
  EXPECT_EQ(only(*snapshot, 2), held);
  EXPECT_TRUE(made_private().empty());
  // The change after the next compaction finds the key of 1 held by the state alone, once
  // the snapshot is gone; not the key of 2, which the test still holds.
  snapshot.reset();
  for (u64 v = 10; c.state->log().base() == 0; ++v) insert(rt, c, fresh(v));
  EXPECT_EQ(made_private().count(key_of_1), 0u);
  insert(rt, c, fresh(5000));
  EXPECT_EQ(made_private().count(key_of_1), 1u);
  EXPECT_EQ(made_private().count(held.get()), 0u);
  EXPECT_TRUE(remove(rt, c, fresh(1)));
  EXPECT_EQ(snapshot_len(c), 1024u);
}

TEST(PrivateKeys, NewKeysStaySharedWhileAReaderOfElementsIsAlive) {
  Runtime rt;
  auto c = private_collection(rt);
  std::vector<Shared> ignored;
  CursorRef kinds_only = c.state->subscribe(ignored);
  kinds_only->reads_elements = false;  // as a count's
  CursorRef cursor = c.state->subscribe(ignored);
  insert(rt, c, fresh(1));
  EXPECT_TRUE(made_private().empty());  // the reader will see its delta
  cursor.reset();                       // the reader is gone
  insert(rt, c, fresh(2));
  EXPECT_EQ(made_private().size(), 1u);
  EXPECT_EQ(**made_private().begin(), 2u);
}
