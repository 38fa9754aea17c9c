#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.hpp"

namespace weft {
namespace {

using testing::state_of;

TEST(RuntimeId, FirstRuntimeOfAProcessIsOneAndIdsAreNeverReused) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, no runtime made yet
  EXPECT_EXIT(
      {
        u64 first;
        {
          Runtime rt;
          first = rt.id().value;
        }
        Runtime second;
        std::exit(first == 1 && second.id().value == 2 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(RuntimeBasics, NewRuntimeIsEmpty) {
  Runtime rt;
  EXPECT_EQ(rt.revision(), 1u);
  EXPECT_EQ(rt.nodes().count(), 0u);
  EXPECT_EQ(rt.live_count(), 0u);
  EXPECT_FALSE(rt.tracing());
  EXPECT_FALSE(rt.dep_stack().in_compute());
  EXPECT_EQ(ValueTraits<u64>::name, "u64");
}

TEST(Handles, ForeignHandleIsRejectedWithBothRuntimeIds) {
  Runtime one;
  Runtime two;
  auto a = one.create_input<u64>(1);
  two.create_input<u64>(2);
  std::string expected = cat("weft-core: Weft<u64> handle from a foreign runtime (handle was minted by runtime ",
                             one.id().value, ", used on runtime ", two.id().value, ")");
  EXPECT_FAILURE(two.read(a), expected);
  EXPECT_FAILURE(two.set(a, u64{5}), expected);
  EXPECT_FAILURE(two.observe(a, [](u64) {}), expected);
  EXPECT_FAILURE(two.delete_node(a), expected);
  EXPECT_FALSE(two.is_alive(a.erased()));
  auto text = one.create_input<std::string>("x");
  EXPECT_FAILURE(two.read(text),
                 cat("weft-core: Weft<std::string> handle from a foreign runtime (handle was minted "
                     "by runtime ",
                     one.id().value, ", used on runtime ", two.id().value, ")"));
}

TEST(Handles, ErasedHandleDebugFormNamesItsFields) {
  ErasedWeft handle{3, 1, RuntimeId{2}};
  EXPECT_EQ(cat(handle), "ErasedWeft { slot: 3, generation: 1, runtime_id: 2 }");
  EXPECT_EQ(::testing::PrintToString(Weft<u64>{3, 1, RuntimeId{2}}.erased()),
            "ErasedWeft { slot: 3, generation: 1, runtime_id: 2 }");
}

TEST(Handles, RuntimeIdIsCheckedBeforeTheSlotAndGeneration) {
  Runtime one;
  Runtime two;
  for (int i = 0; i < 6; ++i) one.create_input<u64>(1);
  Weft<u64> far{5, 0, one.id()};  // slot 5 does not exist in `two`
  EXPECT_FAILURE(two.read(far), cat("weft-core: Weft<u64> handle from a foreign runtime (handle was "
                                    "minted by runtime ",
                                    one.id().value, ", used on runtime ", two.id().value, ")"));
  auto b = two.create_input<u64>(1);
  Weft<u64> wrong_generation{b.slot, 3, one.id()};  // both foreign and stale
  EXPECT_FAILURE(two.read(wrong_generation),
                 cat("weft-core: Weft<u64> handle from a foreign runtime (handle was minted by "
                     "runtime ",
                     one.id().value, ", used on runtime ", two.id().value, ")"));
  // An own handle with a slot beyond the table fails the slot lookup.
  EXPECT_FAILURE(two.read(Weft<u64>{5, 0, two.id()}),
                 "index out of range: slot 5 is beyond the node table (1 slots)");
  EXPECT_FAILURE(two.is_alive(ErasedWeft{5, 0, two.id()}),
                 "index out of range: slot 5 is beyond the node table (1 slots)");
}

TEST(Handles, StaleHandleAfterDeletionAndReuse) {
  Runtime rt;
  rt.create_input<u64>(0);
  auto old = rt.create_input<u64>(1);
  rt.create_input<u64>(2);
  rt.delete_node(old);
  EXPECT_EQ(rt.nodes().count(), 3u);
  EXPECT_EQ(rt.live_count(), 2u);
  EXPECT_FALSE(rt.is_alive(old.erased()));
  const char* stale_1 =
      "weft-core: stale Weft<u64> handle: the node at slot 1 was deleted (handle generation 0, "
      "slot generation 1)";
  EXPECT_FAILURE(rt.read(old), stale_1);

  auto reused = rt.create_input<u64>(10);
  EXPECT_EQ(reused.slot, 1u);
  EXPECT_EQ(reused.generation, 1u);
  EXPECT_TRUE(rt.is_alive(reused.erased()));
  EXPECT_FALSE(rt.is_alive(old.erased()));
  EXPECT_EQ(rt.read(reused), 10u);
  EXPECT_FAILURE(rt.read(old), stale_1);
  EXPECT_FAILURE(rt.set(old, u64{3}), stale_1);
  EXPECT_FAILURE(rt.observe(old, [](u64) {}), stale_1);
  EXPECT_FAILURE(rt.delete_node(old), stale_1);
  EXPECT_EQ(rt.read(reused), 10u);  // the refused operations did not touch the new node
}

TEST(Handles, IsAliveIsFalseForAClaimedNode) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  EXPECT_TRUE(rt.is_alive(a.erased()));
  rt.record_for_testing(a.slot).set_state(NodeState::Deleted);  // claimed, not yet released
  EXPECT_FALSE(rt.is_alive(a.erased()));
}

TEST(NodeRecord, InvalidStateByteIsAFailure) {
  EXPECT_FAILURE(decode_state(7), "invalid NodeState value: 7");
  EXPECT_FAILURE(decode_state(255), "invalid NodeState value: 255");
  for (u8 v = 0; v <= 6; ++v) EXPECT_EQ(encode_state(decode_state(v)), v);

  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto q = rt.create_compute<u64>([a](Runtime& r) { return r.read(a); });
  rt.record_for_testing(q.slot).state = 9;
  EXPECT_FAILURE(rt.read(q), "invalid NodeState value: 9");
  EXPECT_FAILURE(rt.observe(q, [](u64) {}), "invalid NodeState value: 9");
  EXPECT_FAILURE(rt.collect_snapshot(), "invalid NodeState value: 9");
  EXPECT_FAILURE(rt.is_alive(q.erased()), "invalid NodeState value: 9");
  EXPECT_EQ(rt.tables_lock().counter(), 0);
}

// A query reading the first `n` of `inputs`.
Weft<u64> reader_of(Runtime& rt, const std::vector<Weft<u64>>& inputs, std::size_t n) {
  std::vector<Weft<u64>> read(inputs.begin(), inputs.begin() + static_cast<std::ptrdiff_t>(n));
  return rt.create_compute<u64>([read](Runtime& r) {
    u64 sum = 0;
    for (auto in : read) sum += r.read(in);
    return sum;
  });
}

TEST(NodeRecord, SevenDependenciesStayInlineEightOverflow) {
  Runtime rt;
  std::vector<Weft<u64>> inputs;
  for (u64 i = 0; i < 8; ++i) inputs.push_back(rt.create_input<u64>(i));
  auto seven = reader_of(rt, inputs, 7);
  auto eight = reader_of(rt, inputs, 8);
  EXPECT_EQ(rt.read(seven), 21u);
  EXPECT_EQ(rt.read(eight), 28u);

  const NodeRecord& r7 = rt.record(seven.slot);
  EXPECT_EQ(r7.dep_count, 7u);
  EXPECT_EQ(r7.overflow_deps.load(), nullptr);
  for (u32 i = 0; i < 7; ++i) EXPECT_EQ(r7.deps[i], inputs[i].slot);

  const NodeRecord& r8 = rt.record(eight.slot);
  EXPECT_EQ(r8.dep_count, 8u);
  ASSERT_NE(r8.overflow_deps.load(), nullptr);
  EXPECT_EQ(r8.overflow_deps.load()->len, 8u);
  std::vector<u32> expected;
  for (auto in : inputs) expected.push_back(in.slot);
  EXPECT_EQ(rt.dependencies_of(eight.slot), expected);
  EXPECT_EQ(rt.dependents_of(inputs[7].slot), std::vector<u32>{eight.slot});
  EXPECT_EQ(rt.dependents_of(inputs[0].slot), (std::vector<u32>{seven.slot, eight.slot}));
}

TEST(NodeRecord, OverflowCountWithoutBlockIsAFailure) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  auto q = rt.create_compute<u64>([a](Runtime& r) { return r.read(a); });
  rt.read(q);
  NodeRecord& record = rt.record_for_testing(q.slot);
  record.dep_count = 8;
  EXPECT_FAILURE(rt.dependencies_of(q.slot), "overflow_deps null with dep_count > 7");
  rt.set(a, u64{2});
  EXPECT_FAILURE(rt.read(q), "overflow_deps null with dep_count > 7");
  record.dep_count = 1;  // repaired: the node works again
  EXPECT_EQ(rt.read(q), 2u);
}

std::vector<std::string>* routed_reports = nullptr;
void keep_routed_report(std::string_view report) noexcept { routed_reports->emplace_back(report); }

TEST(FailureReports, GoToTheSinkAHostSetsOneLineEachUntilItIsCleared) {
  std::vector<std::string> reports;
  routed_reports = &reports;
  set_failure_report_sink(&keep_routed_report);
  Runtime rt;
  Weft<u64> a = rt.create_input(u64{1});
  rt.delete_node(a);
  EXPECT_THROW(rt.read(a), InvariantFailure);
  EXPECT_THROW(rt.set(a, u64{2}), InvariantFailure);
  set_failure_report_sink(nullptr);
  EXPECT_THROW(rt.read(a), InvariantFailure);  // back on standard error
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_TRUE(reports[0].starts_with("weft: failure at ")) << reports[0];
  EXPECT_TRUE(reports[0].ends_with(": weft-core: stale Weft<u64> handle: the node at slot 0 was deleted "
                                   "(handle generation 0, slot generation 1)\n"))
      << reports[0];
  EXPECT_EQ(reports[0], reports[1]) << "the same check fails for both";
  routed_reports = nullptr;
}

}  // namespace
}  // namespace weft
