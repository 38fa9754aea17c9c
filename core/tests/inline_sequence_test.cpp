#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "weft/inline_sequence.hpp"

using weft::InlineSequence;

namespace {

// Shared ints: their use counts show every copy made and every value released.
using Shared = std::shared_ptr<int>;
using Seq = InlineSequence<Shared>;

std::vector<Shared> shared_ints(int n) {
  std::vector<Shared> out;
  for (int i = 0; i < n; ++i) out.push_back(std::make_shared<int>(i));
  return out;
}

long uses(const std::vector<Shared>& values) {
  long total = 0;
  for (const Shared& v : values) total += v.use_count();
  return total;
}

// Three values fit inside the sequence, seven do not: both ways of holding them.
class InlineSequenceLengths : public testing::TestWithParam<int> {};

TEST_P(InlineSequenceLengths, CopiesMovesAndAssignmentsHoldEachValueExactlyAsOftenAsTheyShould) {
  const int n = GetParam();
  std::vector<Shared> values = shared_ints(n);
  const long alone = uses(values);
  {
    Seq a(values.begin(), values.end());
    EXPECT_EQ(uses(values), alone + n);
    ASSERT_EQ(a.size(), static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) EXPECT_EQ(a[i], values[i]);

    Seq copy = a;
    EXPECT_EQ(uses(values), alone + 2 * n);
    EXPECT_TRUE(copy == a);

    Seq moved = std::move(copy);
    EXPECT_EQ(uses(values), alone + 2 * n);
    EXPECT_TRUE(copy.empty());
    EXPECT_TRUE(moved == a);

    Seq other{std::make_shared<int>(-1)};
    other = moved;  // the old value is released, the new ones shared
    EXPECT_EQ(uses(values), alone + 3 * n);
    other = std::move(moved);
    EXPECT_EQ(uses(values), alone + 2 * n);
    EXPECT_TRUE(moved.empty());
    other = other;
    EXPECT_TRUE(other == a);
    EXPECT_EQ(uses(values), alone + 2 * n);

    Seq shorter(values.begin(), values.begin() + 1);
    EXPECT_FALSE(shorter == a);
    EXPECT_TRUE(shorter < a);
  }
  EXPECT_EQ(uses(values), alone);
}

INSTANTIATE_TEST_SUITE_P(InlineAndOnTheHeap, InlineSequenceLengths, testing::Values(3, 7));

}  // namespace
