#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <tsl/robin_map.h>

#include "allocation_hook.hpp"
#include "weft/hashing.hpp"
#include "weft/table_allocator.hpp"

namespace weft {
namespace {

TEST(TableAllocator, LargeBlocksStartOnAHugePageAndSmallOnesComeFromTheHeap) {
  TableAllocator<u64> allocator;
  const std::size_t large = kHugePage / sizeof(u64) + 123;  // a partial huge page at the end
  u64* block = allocator.allocate(large);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % kHugePage, 0u);
  std::memset(block, 0xab, large * sizeof(u64));  // every byte is the caller's
  allocator.deallocate(block, large);

  u64* small = allocator.allocate(10);
  small[9] = 1;
  allocator.deallocate(small, 10);
  EXPECT_THROW((void)allocator.allocate(SIZE_MAX / 4), std::bad_array_new_length);
}

TEST(TableAllocator, ALargeBlockWithNoMemoryThrowsBadAlloc) {
  TableAllocator<u64> allocator;
  test_alloc::fail_allocation(0);
  EXPECT_THROW((void)allocator.allocate(kHugePage / sizeof(u64)), std::bad_alloc);
  EXPECT_TRUE(test_alloc::allocation_failed());
  test_alloc::fail_allocation(-1);
}

// Each block goes back the way it came, through the growths and shrinks of a map whose
// table crosses the threshold both ways.
TEST(TableAllocator, MapsGrowAndShrinkAcrossTheHugePageThreshold) {
  tsl::robin_map<u64, u64, RandomHasher, std::equal_to<u64>, TableAllocator<std::pair<u64, u64>>> map;
  const u64 n = 4 * kHugePage / sizeof(std::pair<u64, u64>);
  for (u64 i = 0; i < n; ++i) map.emplace(i, i * 3);
  EXPECT_GE(map.bucket_count() * sizeof(std::pair<u64, u64>), kHugePage);
  for (u64 i = 0; i < n; ++i) ASSERT_EQ(map.at(i), i * 3);
  for (u64 i = 10; i < n; ++i) map.erase(i);
  map.rehash(0);
  EXPECT_LT(map.bucket_count() * sizeof(std::pair<u64, u64>), kHugePage);
  EXPECT_EQ(map.size(), 10u);
  EXPECT_EQ(map.at(9), 27u);
}

}  // namespace
}  // namespace weft
