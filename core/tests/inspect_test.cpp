#include <chrono>
#include <thread>

#include "test_support.hpp"

namespace weft {
namespace {

using testing::ComputeError;

TEST(TracedRead, InputReadLeavesNoRecords) {
  Runtime rt;
  auto a = rt.create_input<u64>(5);
  TracedRead<u64> traced = rt.get_traced(a);
  EXPECT_EQ(traced.value, 5u);
  EXPECT_TRUE(traced.records.empty());
  EXPECT_EQ(traced.nodes_recomputed, 0u);
  EXPECT_EQ(traced.nodes_cutoff, 0u);
  EXPECT_EQ(traced.target, a.slot);
  EXPECT_EQ(traced.total_nodes, 1u);
  EXPECT_FALSE(rt.tracing());
}

TEST(TracedRead, FirstReadRecordsTheComputeSecondReadNothing) {
  Runtime rt;
  auto a = rt.create_input<u64>(5);
  auto p = rt.create_compute<u64>([a](Runtime& r) { return r.read(a) + 1; });
  auto q = rt.create_compute<u64>([p](Runtime& r) { return r.read(p) + 1; });
  TracedRead<u64> first = rt.get_traced(q);
  EXPECT_EQ(first.value, 7u);
  ASSERT_EQ(first.records.size(), 2u);  // what q read that needed work, then q
  EXPECT_EQ(first.records[0].slot, p.slot);
  EXPECT_EQ(first.records[0].action, TraceAction::RecomputedChanged);
  EXPECT_EQ(first.records[1].slot, q.slot);
  EXPECT_EQ(first.records[1].action, TraceAction::RecomputedChanged);
  EXPECT_EQ(first.nodes_recomputed, 2u);
  EXPECT_EQ(first.nodes_cutoff, 0u);
  EXPECT_EQ(first.target, q.slot);

  TracedRead<u64> second = rt.get_traced(q);
  EXPECT_EQ(second.value, 7u);
  EXPECT_TRUE(second.records.empty());
  EXPECT_EQ(second.nodes_recomputed, 0u);
}

TEST(TracedRead, CutoffThenVerifiedCountsOneAndOne) {
  Runtime rt;
  auto a = rt.create_input<u64>(3);
  auto q = rt.create_compute<u64>([a](Runtime& r) { return r.read(a) > 2 ? 1 : 0; });
  auto r_node = rt.create_compute<u64>([q](Runtime& r) { return r.read(q) + 100; });
  rt.read(r_node);
  rt.set(a, u64{4});
  TracedRead<u64> traced = rt.get_traced(r_node);
  EXPECT_EQ(traced.value, 101u);
  ASSERT_EQ(traced.records.size(), 2u);
  EXPECT_EQ(traced.records[0].slot, q.slot);
  EXPECT_EQ(traced.records[0].action, TraceAction::RecomputedCutoff);
  EXPECT_EQ(traced.records[1].slot, r_node.slot);
  EXPECT_EQ(traced.records[1].action, TraceAction::VerifiedClean);
  EXPECT_EQ(traced.nodes_recomputed, 1u);
  EXPECT_EQ(traced.nodes_cutoff, 1u);
}

TEST(TracedRead, TotalNodesIsTheLiveCountAfterTheRead) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  rt.delete_node(rt.create_input<u64>(0));
  auto q = rt.create_compute<u64>([a](Runtime& r) {
    auto own = r.create_input_unguarded<u64>(r.read(a));  // made during the read
    return r.read(own);
  });
  TracedRead<u64> traced = rt.get_traced(q);
  EXPECT_EQ(traced.total_nodes, 3u);
  EXPECT_EQ(traced.total_nodes, rt.live_count());
}

TEST(TracedRead, ElapsedTimeCoversTheRead) {
  Runtime rt;
  auto q = rt.create_compute<u64>([](Runtime&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return u64{1};
  });
  TracedRead<u64> traced = rt.get_traced(q);
  EXPECT_GE(traced.elapsed_ns, 2'000'000u);
  EXPECT_LT(traced.elapsed_ns, 10'000'000'000u);
}

TEST(TracedRead, TracingIsOnOnlyDuringTheReadAndOffAfterAFailure) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  std::vector<bool> tracing_seen;
  auto p = rt.create_compute<u64>([&, a](Runtime& r) {
    tracing_seen.push_back(r.tracing());
    return r.read(a);
  });
  auto bad = rt.create_compute<u64>([](Runtime&) -> u64 { throw ComputeError("bad"); });
  auto g = rt.create_compute<u64>([p, bad](Runtime& r) { return r.read(p) + r.read(bad); });
  rt.record_trace(p.slot, TraceAction::RecomputedChanged);  // not tracing: nothing recorded
  EXPECT_TRUE(rt.trace_buffer().empty());

  EXPECT_THROW(rt.get_traced(g), ComputeError);
  EXPECT_FALSE(rt.tracing());
  EXPECT_EQ(tracing_seen, std::vector<bool>{true});
  // What was gathered before the failure waits in the buffer.
  ASSERT_EQ(rt.trace_buffer().size(), 1u);
  EXPECT_EQ(rt.trace_buffer()[0].slot, p.slot);

  rt.read(p);  // an ordinary read records nothing
  EXPECT_EQ(rt.trace_buffer().size(), 1u);
  TracedRead<u64> next = rt.get_traced(a);  // the next traced read starts empty
  EXPECT_TRUE(next.records.empty());
  EXPECT_TRUE(rt.trace_buffer().empty());

  EXPECT_FAILURE(rt.get_traced(Weft<u64>{a.slot, 5, rt.id()}),
                 cat("weft-core: stale Weft<u64> handle: the node at slot ", a.slot,
                     " was deleted (handle generation 5, slot generation 0)"));
  EXPECT_FALSE(rt.tracing());
}

TEST(Snapshot, ListsLiveNodesWithTheirEdges) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto q = rt.create_compute<u64>([a](Runtime& r) { return r.read(a); });
  auto never_run = rt.create_compute<u64>([a](Runtime& r) { return r.read(a); });
  rt.read(q);
  std::vector<NodeSnapshot> snap = rt.collect_snapshot();
  ASSERT_EQ(snap.size(), 3u);
  EXPECT_EQ(snap[0].slot, a.slot);
  EXPECT_FALSE(snap[0].is_compute);
  EXPECT_EQ(snap[0].label, std::nullopt);
  EXPECT_TRUE(snap[0].dependencies.empty());
  EXPECT_EQ(snap[0].dependents, std::vector<u32>{q.slot});  // not the query that never ran
  EXPECT_EQ(snap[1].slot, q.slot);
  EXPECT_TRUE(snap[1].is_compute);
  EXPECT_EQ(snap[1].dependencies, std::vector<u32>{a.slot});
  EXPECT_TRUE(snap[1].dependents.empty());
  EXPECT_EQ(snap[2].slot, never_run.slot);
  EXPECT_TRUE(snap[2].dependencies.empty());
  EXPECT_EQ(rt.tables_lock().counter(), 0);
}

TEST(Snapshot, SkipsDeletedSlotsAndReadsOverflowLists) {
  Runtime rt;
  std::vector<Weft<u64>> inputs;
  for (u64 k = 0; k < 3; ++k) inputs.push_back(rt.create_input<u64>(k));
  rt.delete_node(inputs[1]);
  std::vector<NodeSnapshot> snap = rt.collect_snapshot();
  ASSERT_EQ(snap.size(), 2u);
  EXPECT_EQ(snap[0].slot, 0u);
  EXPECT_EQ(snap[1].slot, 2u);

  auto wide = rt.create_compute<u64>([inputs](Runtime& r) {
    u64 sum = 0;
    for (int k = 0; k < 9; ++k) sum += r.read(inputs[k % 3 == 1 ? 0 : k % 3]);
    return sum;
  });
  rt.read(wide);
  snap = rt.collect_snapshot();
  ASSERT_EQ(snap.size(), 3u);
  EXPECT_EQ(snap[1].slot, wide.slot);  // the reused slot 1
  EXPECT_EQ(snap[1].dependencies, (std::vector<u32>{0, 0, 2, 0, 0, 2, 0, 0, 2}));
  EXPECT_EQ(snap[0].dependents.size(), 6u);
}

TEST(Labels, AreKeptBySlotAcrossDeletionAndReuse) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto q = rt.create_compute<u64>([a](Runtime& r) { return r.read(a); });
  rt.set_label(q.slot, "first");
  rt.set_label(q.slot, "query");  // replaces
  EXPECT_EQ(rt.collect_snapshot()[1].label, "query");

  rt.delete_node(q);
  EXPECT_EQ(rt.collect_snapshot().size(), 1u);
  rt.set_label(q.slot, "waiting");  // no node lives at the slot: kept for the next one
  rt.set_label(40, "far away");     // nor beyond the table
  auto reused = rt.create_input<u64>(2);
  ASSERT_EQ(reused.slot, q.slot);
  std::vector<NodeSnapshot> snap = rt.collect_snapshot();
  EXPECT_EQ(snap[1].label, "waiting");
  EXPECT_EQ(snap[0].label, std::nullopt);

  rt.delete_node(reused);  // the release removes the label
  auto again = rt.create_input<u64>(3);
  EXPECT_EQ(rt.collect_snapshot()[1].label, std::nullopt);
  EXPECT_EQ(again.slot, q.slot);
}

TEST(LiveCount, CountsNodesThatExistNow) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto b = rt.create_input<u64>(2);
  rt.create_compute<u64>([a](Runtime& r) { return r.read(a); });
  EXPECT_EQ(rt.live_count(), 3u);
  rt.delete_node(b);
  EXPECT_EQ(rt.live_count(), 2u);
  EXPECT_EQ(rt.nodes().count(), 3u);
  EXPECT_EQ(rt.free_slot_count(), 1u);
}

}  // namespace
}  // namespace weft
