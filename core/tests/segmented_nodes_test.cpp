#include <cstdint>
#include <memory>

#include "test_support.hpp"

namespace weft {
namespace {

// Pushes a record whose generation tells the records apart.
u32 push_marked(SegmentedNodes& table, u32 generation) {
  NodeRecord record;
  record.generation = generation;
  record.set_state(NodeState::Clean);
  return table.push(record);
}

TEST(SegmentedNodes, SegmentsOpenLazilyAndRecordsNeverMove) {
  SegmentedNodes table;
  EXPECT_EQ(table.count(), 0u);
  EXPECT_EQ(table.segment_count(), 0u);

  EXPECT_EQ(push_marked(table, 5), 0u);
  EXPECT_EQ(table.segment_count(), 1u);
  const NodeRecord* first = &table.get(0);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first) % 64, 0u);
  EXPECT_EQ(first->generation, 5u);
  for (u32 inline_slot : first->deps) EXPECT_EQ(inline_slot, kNoDependency);

  for (u32 slot = 1; slot < 1024; ++slot) ASSERT_EQ(push_marked(table, slot), slot);
  EXPECT_EQ(table.segment_count(), 1u);
  EXPECT_EQ(push_marked(table, 1024), 1024u);  // the first record of the second segment
  EXPECT_EQ(table.segment_count(), 2u);
  EXPECT_EQ(table.count(), 1025u);

  EXPECT_EQ(&table.get(0), first);  // growth moved nothing
  EXPECT_EQ(table.get(1023).generation, 1023u);
  EXPECT_EQ(table.get(1024).generation, 1024u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&table.get(1024)) % 64, 0u);
  EXPECT_NE(&table.get(1024), &table.get(1023) + 1);  // a separate allocation
}

TEST(SegmentedNodes, LookupsBeyondTheTableFail) {
  SegmentedNodes table;
  push_marked(table, 0);
  EXPECT_FAILURE(table.checked_get(1),
                 "index out of range: slot 1 is beyond the node table (1 slots)");
  EXPECT_FAILURE(table.get(1024u * 1024u),
                 "index out of range: segment 1024 of slot 1048576 is beyond the segment "
                 "directory (1024 segments)");
}

TEST(SegmentedNodes, PushFailsAtCapacity) {
  auto table = std::make_unique<SegmentedNodes>();
  NodeRecord record;
  for (u32 slot = 0; slot < SegmentedNodes::kCapacity; ++slot) table->push(record);
  EXPECT_EQ(table->count(), 1048576u);
  EXPECT_EQ(table->segment_count(), 1024u);
  EXPECT_FAILURE(table->push(record), "SegmentedNodes exhausted at 1048576 slots");
  EXPECT_EQ(table->count(), 1048576u);
}

TEST(SegmentedNodes, RuntimeSlotsFollowTheFreeListLastInFirstOut) {
  Runtime rt;
  std::vector<Weft<u64>> nodes;
  for (u64 i = 0; i < 8; ++i) nodes.push_back(rt.create_input<u64>(i));
  EXPECT_EQ(nodes[0].slot, 0u);
  EXPECT_EQ(nodes[0].generation, 0u);

  rt.delete_node(nodes[4]);
  rt.delete_node(nodes[7]);
  EXPECT_EQ(rt.nodes().count(), 8u);
  EXPECT_EQ(rt.live_count(), 6u);
  auto first = rt.create_input<u64>(100);
  auto second = rt.create_input<u64>(101);
  EXPECT_EQ(first.slot, 7u);
  EXPECT_EQ(second.slot, 4u);
  EXPECT_EQ(first.generation, 1u);
  EXPECT_EQ(second.generation, 1u);
  EXPECT_EQ(rt.nodes().count(), 8u);  // no fresh slot was needed

  auto fresh = rt.create_input<u64>(102);
  EXPECT_EQ(fresh.slot, 8u);
  EXPECT_EQ(fresh.generation, 0u);
}

TEST(SegmentedNodes, RuntimeOpensSecondSegmentAtSlot1024) {
  Runtime rt;
  for (u64 i = 0; i < 1024; ++i) rt.create_input<u64>(i);
  EXPECT_EQ(rt.nodes().segment_count(), 1u);
  auto node = rt.create_input<u64>(1024);
  EXPECT_EQ(node.slot, 1024u);
  EXPECT_EQ(rt.nodes().segment_count(), 2u);
  EXPECT_EQ(rt.read(node), 1024u);
}

TEST(SegmentedNodes, GenerationWrapsToZero) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  rt.record_for_testing(a.slot).generation = 4294967295u;
  Weft<u64> last{a.slot, 4294967295u, rt.id()};
  EXPECT_EQ(rt.read(last), 1u);
  rt.delete_node(last);
  EXPECT_EQ(rt.record(a.slot).generation, 0u);
  auto reused = rt.create_input<u64>(2);
  EXPECT_EQ(reused.slot, a.slot);
  EXPECT_EQ(reused.generation, 0u);
  EXPECT_EQ(rt.read(reused), 2u);
  EXPECT_FALSE(rt.is_alive(last.erased()));
}

TEST(SegmentedNodes, RuntimeExhaustionAndRecoveryAfterOneDeletion) {
  auto rt = std::make_unique<Runtime>();
  for (u32 i = 0; i < SegmentedNodes::kCapacity; ++i) rt->create_input<u64>(i);
  EXPECT_EQ(rt->live_count(), 1048576u);
  EXPECT_FAILURE(rt->create_input<u64>(0), "SegmentedNodes exhausted at 1048576 slots");
  EXPECT_FAILURE(rt->create_compute<u64>([](Runtime&) { return u64{0}; }),
                 "SegmentedNodes exhausted at 1048576 slots");
  EXPECT_EQ(rt->live_count(), 1048576u);

  Weft<u64> victim{123456, 0, rt->id()};
  EXPECT_EQ(rt->read(victim), 123456u);
  rt->delete_node(victim);
  auto again = rt->create_input<u64>(7);
  EXPECT_EQ(again.slot, 123456u);
  EXPECT_EQ(again.generation, 1u);
  EXPECT_EQ(rt->read(again), 7u);
  EXPECT_FAILURE(rt->create_input<u64>(0), "SegmentedNodes exhausted at 1048576 slots");
}

}  // namespace
}  // namespace weft
