#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "test_support.hpp"

namespace weft {
namespace {

// Frees every retired block; no guard is held in these tests, so the list ends empty. A
// pass also puts the next due time two seconds away.
void drain() {
  reclamation::run_pass();
  ASSERT_EQ(reclamation::retired_waiting(), 0u);
}

void retire_one() {
  u32 slot = 7;
  retire(make_dep_block(&slot, 1));
}

// A query reading the input `width` and then that many of `inputs`.
Weft<u64> wide_query(Runtime& rt, Weft<u64> width, const std::vector<Weft<u64>>& inputs) {
  return rt.create_compute<u64>([width, inputs](Runtime& r) {
    u64 n = r.read(width);
    u64 sum = 0;
    for (u64 i = 0; i < n; ++i) sum += r.read(inputs[i]);
    return sum;
  });
}

TEST(Reclamation, BlockReplacedWhileProtectedStaysReadableUntilALaterPass) {
  Runtime rt;
  std::vector<Weft<u64>> inputs;
  for (u64 i = 0; i < 10; ++i) inputs.push_back(rt.create_input<u64>(i));
  auto width = rt.create_input<u64>(8);
  auto q = wide_query(rt, width, inputs);
  EXPECT_EQ(rt.read(q), 28u);
  ASSERT_EQ(rt.record(q.slot).dep_count, kOverflowDepCount);
  drain();

  std::vector<u32> expected = rt.dependencies_of(q.slot);
  ASSERT_EQ(expected.size(), 9u);
  {
    HazardGuard guard;
    DepBlock* block = guard.protect(rt.record(q.slot).overflow_deps);
    ASSERT_NE(block, nullptr);

    rt.set(width, u64{9});  // the next compute reads ten nodes: a new block replaces this one
    EXPECT_EQ(rt.read(q), 36u);
    EXPECT_NE(rt.record(q.slot).overflow_deps.load(), block);
    EXPECT_EQ(rt.dependencies_of(q.slot).size(), 10u);

    EXPECT_EQ(reclamation::run_pass(), 0u);
    EXPECT_EQ(reclamation::retired_waiting(), 1u);
    ASSERT_EQ(block->len, 9u);  // still the old list, intact
    EXPECT_EQ(std::vector<u32>(block->slots, block->slots + block->len), expected);
  }
  EXPECT_EQ(reclamation::run_pass(), 1u);
  EXPECT_EQ(reclamation::retired_waiting(), 0u);
}

TEST(Reclamation, BlockGoingBackInlineIsRetiredToo) {
  Runtime rt;
  std::vector<Weft<u64>> inputs;
  for (u64 i = 0; i < 8; ++i) inputs.push_back(rt.create_input<u64>(1));
  auto width = rt.create_input<u64>(8);
  auto q = wide_query(rt, width, inputs);
  rt.read(q);
  drain();
  rt.set(width, u64{2});
  EXPECT_EQ(rt.read(q), 2u);
  EXPECT_EQ(rt.record(q.slot).dep_count, 3u);
  EXPECT_EQ(rt.record(q.slot).overflow_deps.load(), nullptr);
  EXPECT_EQ(reclamation::retired_waiting(), 1u);
  drain();
}

TEST(Reclamation, PassOnAnotherThreadNeverFreesAProtectedBlock) {
  // A reader protects a block, then the block is replaced and retired while it still holds
  // it; meanwhile another thread runs passes back to back. A pass that looked at the hazard
  // records before the block was retired must not free it.
  drain();
  auto block_of = [](u32 mark) {
    u32 slots[9];
    std::fill(std::begin(slots), std::end(slots), mark);
    return make_dep_block(slots, 9);
  };
  std::atomic<DepBlock*> source{block_of(0)};
  std::atomic<bool> stop{false};
  std::thread passes([&] {
    while (!stop.load()) {
      reclamation::run_pass();
      // A pass holds the records' lock; back to back, under a serialising scheduler such
      // as valgrind's, they would starve the reader waiting for its record.
      std::this_thread::yield();
    }
  });
  u64 damaged = 0;
  u32 mark = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  while (std::chrono::steady_clock::now() < deadline && damaged == 0) {
    for (int i = 0; i < 1000; ++i) {
      HazardGuard guard;
      DepBlock* block = guard.protect(source);
      replace_block(source, block_of(++mark));
      bool intact = block->len == 9 && block->slots == reinterpret_cast<u32*>(block + 1) &&
                    block->slots[8] == mark - 1;
      damaged += !intact;
    }
  }
  stop.store(true);
  passes.join();
  replace_block(source, nullptr);
  drain();
  EXPECT_EQ(damaged, 0u);
}

TEST(Reclamation, RuntimesOnSeveralThreadsShareTheDomainSafely) {
  // Each thread drives a runtime of its own whose query changes the width of what it reads
  // on every write, so its dependency blocks are replaced and retired, and passes (run by
  // whichever thread crosses the threshold) free blocks of every runtime.
  std::atomic<u64> wrong{0};
  auto drive = [&wrong] {
    Runtime rt;
    std::vector<Weft<u64>> inputs;
    for (u64 i = 0; i < 16; ++i) inputs.push_back(rt.create_input<u64>(i));
    auto width = rt.create_input<u64>(8);
    auto q = wide_query(rt, width, inputs);
    for (u64 round = 0; round < 5000; ++round) {
      u64 n = 8 + round % 9;
      rt.set(width, n);
      wrong += rt.read(q) != n * (n - 1) / 2;
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back(drive);
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0u);
  drain();
}

TEST(Reclamation, PassRunsWhenRetiredCountExceedsThreshold) {
  drain();
  auto check_threshold = [] {
    std::size_t threshold = std::max<std::size_t>(1000, 2 * reclamation::hazard_records());
    for (std::size_t i = reclamation::retired_count(); i < threshold; ++i) retire_one();
    EXPECT_EQ(reclamation::retired_count(), threshold);
    EXPECT_GT(reclamation::retired_waiting(), 0u);  // only appended so far
    retire_one();                                    // one past the threshold: a pass
    EXPECT_EQ(reclamation::retired_count(), 0u);
    EXPECT_EQ(reclamation::retired_waiting(), 0u);
  };
  check_threshold();

  // With more than 500 hazard records the threshold is twice their number.
  {
    std::vector<std::unique_ptr<HazardGuard>> guards;
    while (reclamation::hazard_records() < 600) guards.push_back(std::make_unique<HazardGuard>());
  }
  ASSERT_GE(2 * reclamation::hazard_records(), 1200u);
  drain();
  check_threshold();
}

TEST(Reclamation, PassRunsOnceTheDueTimeHasPassed) {
  drain();
  retire_one();
  EXPECT_EQ(reclamation::retired_waiting(), 1u);  // not yet due
  std::this_thread::sleep_for(std::chrono::milliseconds(2050));
  retire_one();
  EXPECT_EQ(reclamation::retired_waiting(), 0u);
}

TEST(Reclamation, FirstRetirementOfAProcessFindsThePassDue) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: the domain is untouched
  EXPECT_EXIT(
      {
        retire_one();
        std::exit(reclamation::retired_waiting() == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Reclamation, TeardownRetiresOverflowBlocks) {
  drain();
  {
    Runtime rt;
    std::vector<Weft<u64>> inputs;
    for (u64 i = 0; i < 8; ++i) inputs.push_back(rt.create_input<u64>(1));
    auto width = rt.create_input<u64>(8);
    auto q = wide_query(rt, width, inputs);
    rt.read(q);
  }
  EXPECT_EQ(reclamation::retired_waiting(), 1u);
  EXPECT_EQ(reclamation::run_pass(), 1u);
}

}  // namespace
}  // namespace weft
