#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "weft/slot_list.hpp"

using weft::SlotList;
using weft::u32;

namespace {

// Random appends (of runs of copies), removals, copies, moves and resets, each checked
// against a vector: lists move between their inline places and a heap block both ways.
TEST(SlotList, FollowsAVectorThroughRandomEdits) {
  std::mt19937 rng(11);
  SlotList list;
  std::vector<u32> model;
  for (int step = 0; step < 20000; ++step) {
    const u32 slot = rng() % 6;
    switch (rng() % 10) {
      case 0: case 1: case 2: case 3: {
        const std::size_t copies = rng() % 4;
        list.append(slot, copies);
        model.insert(model.end(), copies, slot);
        break;
      }
      case 4: case 5: case 6:
        list.remove_all(slot);
        model.erase(std::remove(model.begin(), model.end(), slot), model.end());
        break;
      case 7: {
        SlotList copy = list;
        list = std::move(copy);
        EXPECT_TRUE(copy.empty());
        break;
      }
      case 8: {
        SlotList moved(std::move(list));
        EXPECT_TRUE(list.empty());
        list = moved;
        break;
      }
      default:
        if (rng() % 8 == 0) {
          list.reset();
          model.clear();
        }
    }
    ASSERT_EQ(list.to_vector(), model) << "step " << step;
  }
}

}  // namespace
