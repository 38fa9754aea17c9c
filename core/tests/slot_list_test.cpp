#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "weft/slot_list.hpp"

using weft::SlotList;
using weft::u32;

namespace {

bool holds(const std::vector<u32>& model, u32 slot) {
  return std::find(model.begin(), model.end(), slot) != model.end();
}

// Random appends (of runs of copies of a slot not held), removals, runs resized in place,
// copies, moves and resets, each checked against a vector: lists move between their inline
// places and a heap block both ways, and runs leave from the front, the middle and the end.
TEST(SlotList, FollowsAVectorThroughRandomEdits) {
  std::mt19937 rng(11);
  SlotList list;
  std::vector<u32> model;
  for (int step = 0; step < 40000; ++step) {
    const u32 slot = rng() % (step < 20000 ? 6 : 40);
    switch (rng() % 10) {
      case 0: case 1: case 2: case 3: {
        if (holds(model, slot)) break;
        const std::size_t copies = rng() % 4;
        list.append(slot, copies);
        model.insert(model.end(), copies, slot);
        break;
      }
      case 4: case 5:
        list.remove_all(slot);
        model.erase(std::remove(model.begin(), model.end(), slot), model.end());
        break;
      case 6: {
        const std::size_t count = 1 + rng() % 4;
        list.resize_run(slot, count);
        auto first = std::find(model.begin(), model.end(), slot);
        if (first == model.end()) break;
        auto last = std::find_if(first, model.end(), [slot](u32 s) { return s != slot; });
        const std::size_t at = static_cast<std::size_t>(first - model.begin());
        model.erase(first, last);
        model.insert(model.begin() + static_cast<std::ptrdiff_t>(at), count, slot);
        break;
      }
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

// A long list whose entries leave from the front or the end while others join at the end,
// as when a node's dependents are deleted one after the other or turn to another node in
// list order or in reverse: the order holds throughout, and so do copies taken midway.
TEST(SlotList, KeepsItsOrderAsEntriesLeaveFromEitherEnd) {
  SlotList list;
  std::vector<u32> model;
  u32 next = 0;
  for (int round = 0; round < 5000; ++round) {
    for (int k = 0; k < 3; ++k, ++next) {
      list.append(next, next % 3 + 1);
      model.insert(model.end(), next % 3 + 1, next);
    }
    for (int k = 0; k < (round < 2000 ? 2 : 4) && !model.empty(); ++k) {
      const u32 leaving = round % 3 == 0 ? model.back() : model.front();
      list.remove_all(leaving);
      model.erase(std::remove(model.begin(), model.end(), leaving), model.end());
    }
    if (round % 500 == 0) {
      SlotList copy = list;
      ASSERT_EQ(copy.to_vector(), model) << "round " << round;
    }
    ASSERT_EQ(list.to_vector(), model) << "round " << round;
  }
  ASSERT_TRUE(model.empty());
  list.append(next, 2);  // and takes entries again once emptied
  EXPECT_EQ(list.to_vector(), (std::vector<u32>{next, next}));
}

}  // namespace
