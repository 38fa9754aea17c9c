#include "test_support.hpp"

namespace weft {
namespace {

using testing::ComputeError;
using testing::state_of;

std::vector<u32> slots_of(const std::vector<ReadRecord>& reads) {
  std::vector<u32> slots;
  for (const ReadRecord& r : reads) slots.push_back(r.slot);
  return slots;
}

TEST(LocalDepStack, FramesRecordReadsOnTheTopFrameOnly) {
  LocalDepStack stack;
  EXPECT_FALSE(stack.in_compute());
  stack.record_read(9, 0);  // outside any compute: nothing
  stack.push_frame(1);
  stack.record_read(10, 0);
  stack.push_frame(2);
  stack.record_read(11, 3);
  stack.record_read(11, 3);  // duplicates are kept
  EXPECT_TRUE(stack.in_compute());
  EXPECT_TRUE(stack.is_on_stack(1));
  EXPECT_TRUE(stack.is_on_stack(2));
  EXPECT_FALSE(stack.is_on_stack(10));

  stack.taint_top();
  DepFrame inner = stack.pop_frame();
  EXPECT_EQ(inner.node, 2u);
  EXPECT_TRUE(inner.tainted);
  EXPECT_EQ(slots_of(inner.reads), (std::vector<u32>{11, 11}));
  EXPECT_EQ(inner.reads[0].generation, 3u);

  DepFrame outer = stack.pop_frame();
  EXPECT_EQ(outer.node, 1u);
  EXPECT_FALSE(outer.tainted);  // tainting touched only the top frame
  EXPECT_EQ(slots_of(outer.reads), std::vector<u32>{10});

  EXPECT_FALSE(stack.in_compute());
  stack.taint_top();  // on an empty stack: nothing
  EXPECT_FAILURE(stack.pop_frame(), "LocalDepStack::pop_frame on empty stack");
  stack.push_frame(4);  // still usable after the failure
  EXPECT_TRUE(stack.is_on_stack(4));
  EXPECT_FALSE(stack.pop_frame().tainted);
}

// A frame keeps the room of its read list for the next compute at its depth, unless the
// last one used little of a large room: one compute's many reads are not held for good.
TEST(LocalDepStack, AFrameGivesBackTheRoomOfManyReadsOnceUnused) {
  LocalDepStack stack;
  auto compute_reading = [&](std::size_t reads) -> std::size_t {
    stack.push_frame(1);
    for (std::size_t i = 0; i < reads; ++i) stack.record_read(7, 0);
    return stack.pop_frame().reads.capacity();
  };
  const std::size_t steady = compute_reading(100000);
  EXPECT_GE(steady, 100000u);
  EXPECT_EQ(compute_reading(100000), steady);  // steady computes reuse the room
  EXPECT_EQ(compute_reading(10), steady);      // kept once: the last compute used it all
  EXPECT_LT(compute_reading(10), 4096u);       // given back: the last one used little
}

TEST(DependencyRecording, OnlyReadsInsideAComputeAreRecorded) {
  Runtime rt;
  auto a = rt.create_input<u64>(2);
  auto b = rt.create_input<u64>(3);
  auto q = rt.create_compute<u64>([a, b](Runtime& r) { return r.read(a) * r.read(b); });
  EXPECT_EQ(rt.read(a), 2u);  // top-level read: no frame, nothing recorded
  EXPECT_TRUE(rt.dependents_of(a.slot).empty());
  EXPECT_EQ(rt.read(q), 6u);
  EXPECT_EQ(rt.dependencies_of(q.slot), (std::vector<u32>{a.slot, b.slot}));
  EXPECT_EQ(rt.dependents_of(a.slot), std::vector<u32>{q.slot});
  EXPECT_EQ(rt.dependents_of(b.slot), std::vector<u32>{q.slot});
  EXPECT_FALSE(rt.dep_stack().in_compute());
}

TEST(DependencyRecording, RepeatedReadsAreKeptInOrder) {
  Runtime rt;
  auto a = rt.create_input<u64>(2);
  auto b = rt.create_input<u64>(3);
  auto q = rt.create_compute<u64>(
      [a, b](Runtime& r) { return r.read(a) + r.read(b) + r.read(a); });
  EXPECT_EQ(rt.read(q), 7u);
  EXPECT_EQ(rt.dependencies_of(q.slot), (std::vector<u32>{a.slot, b.slot, a.slot}));
  EXPECT_EQ(rt.dependents_of(a.slot), (std::vector<u32>{q.slot, q.slot}));
}

// When a compute's reads change, each node it newly reads gains one entry per read, and each
// node it no longer reads loses every entry; those read before and now keep one per read
// made now. Checked for a few distinct reads and for many, which are tallied differently.
TEST(DependencyRecording, ChangedReadsMoveTheDependentsEntries) {
  for (std::size_t width : {3u, 12u}) {
    Runtime rt;
    auto shift = rt.create_input<u64>(0);
    std::vector<Weft<u64>> in;
    for (std::size_t i = 0; i < 2 * width; ++i) in.push_back(rt.create_input<u64>(i));
    auto q = rt.create_compute<u64>([&](Runtime& r) {
      std::size_t from = r.read(shift) * width / 2;
      u64 sum = 0;
      for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t i = from; i < from + width; ++i) sum += r.read(in[i]);
      }
      return sum + r.read(in[from + 1]);
    });
    rt.read(q);
    rt.set(shift, u64{1});
    rt.read(q);
    std::size_t from = width / 2;
    for (std::size_t i = 0; i < 2 * width; ++i) {
      std::size_t expected = i < from            ? 0  // no longer read
                             : i < width         ? (i == from + 1 ? 3 : 2)  // read before and now
                             : i < from + width  ? 2  // newly read, twice
                                                 : 0;
      EXPECT_EQ(rt.dependents_of(in[i].slot), std::vector<u32>(expected, q.slot)) << width << " " << i;
    }
    EXPECT_EQ(rt.dependencies_of(q.slot).size(), 2 * width + 2);
  }
}

TEST(DependencyRecording, NestedComputeKeepsItsReadsInItsOwnFrame) {
  Runtime rt;
  auto a = rt.create_input<u64>(2);
  auto b = rt.create_input<u64>(5);
  std::vector<bool> p_on_stack_during_q, q_on_stack_during_p;
  Weft<u64> q;
  auto p = rt.create_compute<u64>([&, a, b](Runtime& r) {
    q_on_stack_during_p.push_back(r.dep_stack().is_on_stack(q.slot));
    return r.read(a) + r.read(b);
  });
  q = rt.create_compute<u64>([&, p](Runtime& r) {
    u64 v = r.read(p);
    p_on_stack_during_q.push_back(r.dep_stack().is_on_stack(p.slot));
    return v * 10;
  });
  EXPECT_EQ(rt.read(q), 70u);
  EXPECT_EQ(rt.dependencies_of(q.slot), std::vector<u32>{p.slot});
  EXPECT_EQ(rt.dependencies_of(p.slot), (std::vector<u32>{a.slot, b.slot}));
  EXPECT_EQ(q_on_stack_during_p, std::vector<bool>{true});  // outer frames count too
  EXPECT_EQ(p_on_stack_during_q, std::vector<bool>{false});  // p's frame was popped
}

TEST(DependencyRecording, ReadOfAFailedNodeIsStillRecorded) {
  Runtime rt;
  auto a = rt.create_input<u64>(0);
  auto bad = rt.create_compute<u64>([a](Runtime& r) -> u64 {
    if (r.read(a) == 0) throw ComputeError("zero");
    return 1;
  });
  auto reader = rt.create_compute<u64>([bad](Runtime& r) -> u64 {
    try {
      return r.read(bad);
    } catch (const std::exception&) {
      return 99;
    }
  });
  EXPECT_EQ(rt.read(reader), 99u);
  EXPECT_EQ(state_of(rt, bad), NodeState::Failed);
  EXPECT_EQ(rt.dependencies_of(reader.slot), std::vector<u32>{bad.slot});
  EXPECT_EQ(rt.dependents_of(bad.slot), std::vector<u32>{reader.slot});
}

}  // namespace
}  // namespace weft
