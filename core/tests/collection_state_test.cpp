// The collection state: multiset counts, the delta log and its versions, the version node,
// compaction, subscription, and the rules shared by every derived collection.
#include <gtest/gtest.h>

#include "collection_test_util.hpp"
#include "weft/aggregate.hpp"
#include "weft/collection_ops.hpp"
#include "weft/group_by.hpp"
#include "weft/join.hpp"
#include "weft/sorted_collection.hpp"

using namespace weft;
using namespace weft::coll_test;

namespace {

std::vector<DeltaKind> kinds(const CollectionState<u64>& s) {
  std::vector<DeltaKind> out;
  for (u64 i = s.log().base(); i < s.version(); ++i) out.push_back(s.log().at(i).kind);
  return out;
}

auto identity_map(Runtime& rt, const CollectionHandle<u64>& c) {
  return map(rt, c, [](u64 x) { return x; });
}

void insert_range(Runtime& rt, const CollectionHandle<u64>& c, u64 n) {
  for (u64 i = 0; i < n; ++i) insert(rt, c, i);
}

}  // namespace

TEST(CollectionState, CopiesAreCountedAndEveryChangeIsADelta) {
  Runtime rt;
  auto c = create_collection<u64>(rt);
  CursorRef reader = keep_log<u64>(*c.state);
  EXPECT_FALSE(c.derived);
  EXPECT_EQ(rt.read(c.version_node), 0u);

  insert(rt, c, u64{7});
  EXPECT_EQ(snapshot_len(c), 1u);
  EXPECT_EQ(rt.read(c.version_node), 1u);
  insert(rt, c, u64{7});
  EXPECT_EQ(snapshot_len(c), 2u);
  EXPECT_EQ(rt.read(c.version_node), 2u);
  EXPECT_TRUE(remove(rt, c, u64{7}));
  EXPECT_EQ(snapshot_len(c), 1u);
  EXPECT_EQ(rt.read(c.version_node), 3u);

  EXPECT_EQ(kinds(*c.state), (std::vector<DeltaKind>{DeltaKind::Insert, DeltaKind::Insert, DeltaKind::Delete}));
  EXPECT_EQ(contents(c), (std::vector<u64>{7}));
  EXPECT_TRUE(remove(rt, c, u64{7}));
  EXPECT_EQ(snapshot_len(c), 0u);
  EXPECT_FALSE(remove(rt, c, u64{7}));
  EXPECT_EQ(c.state->version(), 4u);
}

TEST(CollectionState, SnapshotKeepsCopiesTogether) {
  Runtime rt;
  auto c = create_collection<u64>(rt);
  for (u64 x : {1, 2, 1, 3, 2, 1, 4}) insert(rt, c, x);
  std::vector<u64> snap = c.state->snapshot();
  ASSERT_EQ(sorted_copy(snap), (std::vector<u64>{1, 1, 1, 2, 2, 3, 4}));
  // Each distinct element forms one run.
  std::vector<u64> seen;
  for (std::size_t i = 0; i < snap.size(); ++i) {
    if (i == 0 || snap[i] != snap[i - 1]) {
      EXPECT_EQ(std::count(seen.begin(), seen.end(), snap[i]), 0) << "copies of " << snap[i] << " split";
      seen.push_back(snap[i]);
    }
  }
}

TEST(CollectionState, DeleteOfAbsentElementRecordsNothing) {
  Runtime rt;
  auto c = create_collection<u64>(rt);
  CursorRef reader = keep_log<u64>(*c.state);
  insert(rt, c, u64{1});
  Probe probe(rt, c.version_node);
  EXPECT_EQ(rt.read(probe.node), 1u);
  EXPECT_EQ(*probe.calls, 1u);
  const u64 revision = rt.revision();
  const u64 changed_at = rt.record(c.version_node.slot).changed_at;

  EXPECT_FALSE(remove(rt, c, u64{5}));
  EXPECT_EQ(c.state->version(), 1u);
  EXPECT_EQ(c.state->log().size(), 1u);
  EXPECT_EQ(rt.revision(), revision);
  EXPECT_EQ(rt.record(c.version_node.slot).changed_at, changed_at);
  EXPECT_EQ(node_state(rt, probe.node), NodeState::Clean);
  auto traced = rt.get_traced(probe.node);
  EXPECT_EQ(traced.value, 1u);
  EXPECT_TRUE(traced.records.empty());
  EXPECT_EQ(*probe.calls, 1u);
}

TEST(CollectionState, StoredKeyIsTheFirstInsertAndDeleteCarriesTheCallersObject) {
  Runtime rt;
  auto c = create_collection<Tagged>(rt);
  CursorRef reader = keep_log<Tagged>(*c.state);
  insert(rt, c, Tagged{3, 1});
  insert(rt, c, Tagged{3, 2});
  for (const Tagged& t : c.state->snapshot()) EXPECT_EQ(t.id, 1u);
  EXPECT_EQ(c.state->log().at(1).element.id, 2u);

  auto seen = std::make_shared<std::vector<u64>>();
  auto m = map(rt, c, [seen](const Tagged& t) {
    seen->push_back(t.id);
    return t;
  });
  CursorRef mapped_reader = keep_log<Tagged>(*m.state);
  EXPECT_EQ(*seen, (std::vector<u64>{1, 1}));
  rt.read(m.version_node);

  EXPECT_TRUE(remove(rt, c, Tagged{3, 9}));
  EXPECT_EQ(c.state->log().at(2).kind, DeltaKind::Delete);
  EXPECT_EQ(c.state->log().at(2).element.id, 9u);
  rt.read(m.version_node);
  EXPECT_EQ(*seen, (std::vector<u64>{1, 1, 9}));
  // The mapped delete removed one equal element; the stored key stays the first insert's.
  ASSERT_EQ(snapshot_len(m), 1u);
  EXPECT_EQ(m.state->snapshot()[0].id, 1u);
  EXPECT_EQ(m.state->log().at(m.state->version() - 1).element.id, 9u);
}

TEST(CollectionState, ChangesThroughADeletedVersionNodeAreRefusedBeforeAnythingChanges) {
  Runtime rt;
  auto c = create_collection<u64>(rt);
  insert(rt, c, u64{1});
  rt.delete_node(c.version_node);
  const std::string stale = "weft-core: stale Weft<u64> handle: the node at slot " +
                            std::to_string(c.version_node.slot) + " was deleted (handle generation " +
                            std::to_string(c.version_node.generation) + ", slot generation " +
                            std::to_string(rt.record(c.version_node.slot).generation) + ")";
  EXPECT_EQ(failure_text([&] { insert(rt, c, u64{2}); }), stale);
  EXPECT_EQ(failure_text([&] { remove(rt, c, u64{1}); }), stale);
  EXPECT_EQ(snapshot_len(c), 1u);
  EXPECT_EQ(c.state->version(), 1u);
  EXPECT_EQ(c.state->borrow.counter(), 0);
}

TEST(CollectionCompaction, WithoutReadersNoDeltaIsKept) {
  Runtime rt;
  auto c = create_collection<u64>(rt);
  insert_range(rt, c, 1023);
  EXPECT_EQ(c.state->log().size(), 0u);
  EXPECT_EQ(c.state->log().base(), 1023u);
  EXPECT_TRUE(remove(rt, c, u64{5}));
  EXPECT_EQ(c.state->log().size(), 0u);
  EXPECT_EQ(c.state->version(), 1024u);
  EXPECT_EQ(snapshot_len(c), 1022u);
  EXPECT_EQ(rt.read(c.version_node), 1024u);
  // A reader that comes later starts at the version it finds.
  auto m = identity_map(rt, c);
  insert(rt, c, u64{5});
  rt.read(m.version_node);
  EXPECT_EQ(snapshot_len(m), 1023u);
}

TEST(CollectionCompaction, ALaggingReaderKeepsEveryDeltaAfterItsCursor) {
  Runtime rt;
  auto c = create_collection<u64>(rt);
  insert(rt, c, u64{100000});
  auto m = identity_map(rt, c);  // cursor at 1, never read below
  insert_range(rt, c, 3000);
  EXPECT_EQ(c.state->log().base(), 1u);
  EXPECT_EQ(c.state->log().size(), 3000u);
  EXPECT_EQ(c.state->log().reader_count(), 1u);

  rt.read(m.version_node);
  EXPECT_EQ(snapshot_len(m), 3001u);
  EXPECT_EQ(contents(m), contents(c));
  // The reader has passed everything: the next push frees the prefix.
  insert(rt, c, u64{7});
  EXPECT_EQ(c.state->log().base(), 3001u);
  EXPECT_EQ(c.state->log().size(), 1u);
  rt.read(m.version_node);
  EXPECT_EQ(snapshot_len(m), 3002u);
}

TEST(CollectionCompaction, DiscardsThePrefixUpToTheSlowestLiveReader) {
  Runtime rt;
  auto c = create_collection<u64>(rt);
  auto fast = identity_map(rt, c);
  auto slow = identity_map(rt, c);
  insert_range(rt, c, 600);
  rt.read(slow.version_node);  // slow reader at 600
  for (u64 i = 600; i < 1000; ++i) insert(rt, c, i);
  rt.read(fast.version_node);  // fast reader at 1000
  for (u64 i = 1000; i < 1023; ++i) insert(rt, c, i);
  EXPECT_EQ(c.state->log().size(), 1023u);
  insert(rt, c, u64{1023});
  EXPECT_EQ(c.state->log().base(), 600u);
  EXPECT_EQ(c.state->log().size(), 424u);
  insert(rt, c, u64{1024});  // below the threshold again: nothing is attempted
  EXPECT_EQ(c.state->log().base(), 600u);
  EXPECT_EQ(c.state->log().size(), 425u);

  rt.read(slow.version_node);
  rt.read(fast.version_node);
  EXPECT_EQ(snapshot_len(slow), 1025u);
  EXPECT_EQ(contents(slow), contents(c));
  EXPECT_EQ(contents(fast), contents(c));
}

TEST(CollectionCompaction, CursorsOfDeletedOperatorsAreDropped) {
  Runtime rt;
  auto c = create_collection<u64>(rt);
  auto dropped = identity_map(rt, c);
  auto kept = identity_map(rt, c);
  auto counted = count(rt, c);
  EXPECT_EQ(c.state->log().reader_count(), 3u);
  insert(rt, c, u64{1});
  rt.delete_node(dropped.version_node);
  rt.delete_node(counted);
  // Dead cursors linger until the log reaches the threshold.
  EXPECT_EQ(c.state->log().reader_count(), 3u);
  insert_range(rt, c, 1022);
  EXPECT_EQ(c.state->log().reader_count(), 3u);
  insert(rt, c, u64{9});
  EXPECT_EQ(c.state->log().reader_count(), 1u);
  // The live reader never read: it still holds everything.
  EXPECT_EQ(c.state->log().base(), 0u);
  rt.delete_node(kept.version_node);
  insert(rt, c, u64{10});
  EXPECT_EQ(c.state->log().reader_count(), 0u);
  EXPECT_EQ(c.state->log().size(), 0u);
  EXPECT_EQ(c.state->log().base(), 1025u);
}

TEST(CollectionCompaction, ASubscriptionDropsTheCursorsOfDeletedOperators) {
  // A collection that never reaches the compaction threshold: building and deleting
  // operators on it over and over must not pile up their cursors.
  Runtime rt;
  auto c = create_collection<u64>(rt);
  insert(rt, c, u64{1});
  for (int round = 0; round < 100; ++round) rt.delete_node(count(rt, c));
  EXPECT_EQ(c.state->log().reader_count(), 1u);  // the last one's, until the next subscription
  auto kept = identity_map(rt, c);
  EXPECT_EQ(c.state->log().reader_count(), 1u);
  EXPECT_EQ(contents(kept), contents(c));
}

TEST(CollectionOperators, StartAtTheSnapshotSizeWithTheCursorAtTheSourceVersion) {
  Runtime rt;
  auto c = create_collection<u64>(rt);
  for (u64 x : {1, 2, 3, 4}) insert(rt, c, x);
  remove(rt, c, u64{4});
  ASSERT_EQ(c.state->version(), 5u);

  auto calls = std::make_shared<u64>(0);
  auto m = map(rt, c, [calls](u64 x) {
    ++*calls;
    return x * 10;
  });
  EXPECT_TRUE(m.derived);
  EXPECT_EQ(m.state->version(), 3u);
  EXPECT_EQ(m.state->log().size(), 0u);  // the snapshot's inserts, which nobody reads
  EXPECT_EQ(*calls, 3u);
  EXPECT_EQ(rt.read(m.version_node), 3u);
  EXPECT_EQ(*calls, 3u);  // the first compute found no pending delta

  insert(rt, c, u64{5});
  EXPECT_EQ(rt.read(m.version_node), 4u);
  EXPECT_EQ(*calls, 4u);
  EXPECT_EQ(contents(m), (std::vector<u64>{10, 20, 30, 50}));
}

TEST(CollectionOperators, DeriveFromDerivedCollections) {
  Runtime rt;
  auto c = create_collection<u64>(rt);
  for (u64 x : {1, 2, 3}) insert(rt, c, x);
  auto odd = filter(rt, c, [](u64 x) { return x % 2 == 1; });
  auto scaled = map(rt, odd, [](u64 x) { return x * 100; });
  auto n = count(rt, scaled);
  EXPECT_EQ(contents(scaled), (std::vector<u64>{100, 300}));
  EXPECT_EQ(rt.read(n), 2u);

  insert(rt, c, u64{5});
  insert(rt, c, u64{6});
  remove(rt, c, u64{1});
  // Only the outermost node is read; it brings the chain up to date.
  EXPECT_EQ(rt.read(n), 2u);
  EXPECT_EQ(contents(scaled), (std::vector<u64>{300, 500}));
  EXPECT_EQ(contents(odd), (std::vector<u64>{3, 5}));
}

TEST(CollectionOperators, DerivedCollectionsRefuseMutation) {
  const std::string message =
      "weft-core: insert/delete on a derived collection; derived collections are maintained by "
      "their operator, mutate the source collection instead";
  Runtime rt;
  auto c = create_collection<u64>(rt);
  insert(rt, c, u64{1});
  auto m = identity_map(rt, c);
  const u64 revision = rt.revision();
  EXPECT_EQ(failure_text([&] { insert(rt, m, u64{2}); }), message);
  EXPECT_EQ(failure_text([&] { remove(rt, m, u64{1}); }), message);
  EXPECT_EQ(m.state->version(), 1u);
  EXPECT_EQ(contents(m), (std::vector<u64>{1}));
  EXPECT_EQ(rt.revision(), revision);

  auto g = group_by<u64>(rt, c, [](u64 x) { return x; });
  auto group = get_group(g, u64{1});
  ASSERT_TRUE(group);
  EXPECT_TRUE(group->derived);
  EXPECT_EQ(failure_text([&] { insert(rt, *group, u64{1}); }), message);
  EXPECT_EQ(snapshot_len(*group), 1u);
}

TEST(CollectionOperators, CreationInsideAComputeIsRefused) {
  Runtime rt;
  auto c = create_collection<u64>(rt);
  insert(rt, c, u64{1});
  auto q1 = rt.create_compute<u64>([](Runtime& r) {
    create_collection<u64>(r);
    return u64{0};
  });
  EXPECT_EQ(failure_text([&] { rt.read(q1); }), "create_input called during compute; not permitted");

  auto calls = std::make_shared<u64>(0);
  auto q2 = rt.create_compute<u64>([c, calls](Runtime& r) {
    map(r, c, [calls](u64 x) {
      ++*calls;
      return x;
    });
    return u64{0};
  });
  EXPECT_EQ(failure_text([&] { rt.read(q2); }), "create_query called during compute; not permitted");
  // The building steps ran before the refusal; the unfinished operator's cursor is dead and
  // the next compaction removes it.
  EXPECT_EQ(*calls, 1u);
  EXPECT_EQ(c.state->log().reader_count(), 1u);
  insert_range(rt, c, kCompactionThreshold - c.state->log().size());
  EXPECT_EQ(c.state->log().reader_count(), 0u);
  EXPECT_EQ(c.state->log().size(), 0u);
}

// An operator built on a collection whose version node another runtime minted, or was
// deleted, could never be read, yet its cursor would keep every later delta of the source:
// every builder refuses such a source before it subscribes.
TEST(CollectionOperators, ASourceOfAnotherRuntimeOrWithADeletedVersionNodeIsRefused) {
  Runtime rt, other;
  auto here = create_collection<u64>(rt);
  auto foreign = create_collection<u64>(other);
  auto gone = create_collection<u64>(rt);
  rt.delete_node(gone.version_node);
  auto sorted_here = sort_by_key<u64>(rt, here, [](u64 x) { return x; });
  auto sorted_foreign = sort_by_key<u64>(other, foreign, [](u64 x) { return x; });
  auto key = [](u64 x) { return x; };
  for (const auto& source : {foreign, gone}) {
    const std::string message = failure_text([&] { rt.validate(source.version_node); });
    const std::size_t readers = source.state->log().reader_count();
    auto refused = [&](auto build) { EXPECT_EQ(failure_text(build), message); };
    refused([&] { identity_map(rt, source); });
    refused([&] { filter(rt, source, [](u64) { return true; }); });
    refused([&] { count(rt, source); });
    refused([&] { reduce<u64>(rt, source, [](std::vector<u64> all) { return all.size(); }); });
    refused([&] { group_by<u64>(rt, source, key); });
    refused([&] { join<u64>(rt, source, here, key, key); });
    refused([&] { sort_by_key<u64>(rt, source, key); });
    refused([&] { aggregate<u64>(rt, source, u64{0}, key, [](u64 a, u64 b) { return a + b; }); });
    EXPECT_EQ(source.state->log().reader_count(), readers);
  }
  const std::string foreign_sorted = failure_text([&] { rt.validate(sorted_foreign.version_node); });
  EXPECT_EQ(failure_text([&] { window(rt, sorted_foreign, 2); }), foreign_sorted);
  EXPECT_EQ(failure_text([&] { pairwise(rt, sorted_foreign); }), foreign_sorted);
  EXPECT_EQ(sorted_foreign.state->log().reader_count(), 0u);
  EXPECT_EQ(here.state->log().reader_count(), 1u);  // sorted_here's
  EXPECT_EQ(rt.live_count(), 2u);                    // here's version node and sorted_here
}
