#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "allocation_hook.hpp"
#include "weft/slot_list.hpp"

using weft::SlotList;
using weft::u32;

namespace {

bool holds(const std::vector<u32>& model, u32 slot) {
  return std::find(model.begin(), model.end(), slot) != model.end();
}

void remove_from(std::vector<u32>& model, u32 slot) {
  model.erase(std::remove(model.begin(), model.end(), slot), model.end());
}

// Makes the run of `slot` in `model` `count` long, where it stands.
void resize_in(std::vector<u32>& model, u32 slot, std::size_t count) {
  auto first = std::find(model.begin(), model.end(), slot);
  if (first == model.end()) return;
  auto last = std::find_if(first, model.end(), [slot](u32 s) { return s != slot; });
  const std::size_t at = static_cast<std::size_t>(first - model.begin());
  model.erase(first, last);
  model.insert(model.begin() + static_cast<std::ptrdiff_t>(at), count, slot);
}

// The list matches `model`, and names each slot once, in order, to for_each_slot.
void expect_holds(const SlotList& list, std::vector<u32> model, int step) {
  ASSERT_EQ(list.to_vector(), model) << "step " << step;
  std::vector<u32> slots;
  list.for_each_slot([&](u32 slot) { slots.push_back(slot); });
  model.erase(std::unique(model.begin(), model.end()), model.end());
  ASSERT_EQ(slots, model) << "step " << step;
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
        remove_from(model, slot);
        break;
      case 6: {
        const std::size_t count = 1 + rng() % 4;
        list.resize_run(slot, count);
        resize_in(model, slot, count);
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
    ASSERT_NO_FATAL_FAILURE(expect_holds(list, model, step));
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
      remove_from(model, leaving);
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

// A list of thousands of runs (a node read by many others), whose dependents leave, join
// and change their number of reads in random order: removals from the middle leave their
// places marked until they are squeezed out, and the list passes back through smaller
// blocks to its inline places as it empties. The order of the rest holds throughout.
TEST(SlotList, ALongListFollowsAVectorWhateverOrderItsRunsLeaveIn) {
  std::mt19937 rng(5);
  SlotList list;
  std::vector<u32> model, held;
  u32 next = 0;
  auto add = [&](std::size_t copies) {
    list.append(next, copies);
    model.insert(model.end(), copies, next);
    held.push_back(next++);
  };
  auto take_held = [&]() {
    std::swap(held[rng() % held.size()], held.back());
    const u32 slot = held.back();
    held.pop_back();
    return slot;
  };
  for (int k = 0; k < 3000; ++k) add(1 + rng() % 3);
  for (int step = 0; step < 30000; ++step) {
    switch (held.empty() ? 3 : rng() % 6) {
      case 0: case 1: {
        const u32 slot = take_held();
        list.remove_all(slot);
        remove_from(model, slot);
        break;
      }
      case 2: {
        const u32 slot = held[rng() % held.size()];
        const std::size_t count = 1 + rng() % 5;
        list.resize_run(slot, count);
        resize_in(model, slot, count);
        break;
      }
      case 3: case 4:
        add(1 + rng() % 3);
        break;
      default:
        if (step % 1000 == 0) {
          SlotList copy = list;
          ASSERT_EQ(copy.to_vector(), model) << "step " << step;
          list = std::move(copy);
        }
    }
    if (step % 64 == 0) {
      ASSERT_NO_FATAL_FAILURE(expect_holds(list, model, step));
    }
  }
  ASSERT_EQ(list.to_vector(), model);
  while (!held.empty()) {
    const u32 slot = take_held();
    list.remove_all(slot);
    remove_from(model, slot);
    if (held.size() % 97 == 0) {
      ASSERT_EQ(list.to_vector(), model) << held.size() << " left";
    }
  }
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(list.size(), 0u);
  add(2);  // and takes entries again once emptied
  EXPECT_EQ(list.to_vector(), model);
}

// Appends, lengthening a run, making room and copying, each with one of its allocations
// failing: what failed left the list as it was, and the list goes on. The lists are short,
// around the length where a list starts keeping an index of its runs, and well past it with
// removed places inside.
TEST(SlotList, AChangeThatRunsOutOfMemoryLeavesTheListAsItWas) {
  // Each change keeps the model in step with what went through.
  using Change = void (*)(SlotList&, std::vector<u32>&);
  const Change changes[] = {
      [](SlotList& l, std::vector<u32>& m) {
        for (u32 s = 100000; s < 100300; ++s) {  // one by one, past the index's room
          l.append(s);
          m.push_back(s);
        }
      },
      [](SlotList& l, std::vector<u32>& m) {
        l.resize_run(7, 9);
        resize_in(m, 7, 9);
      },
      [](SlotList& l, std::vector<u32>&) { l.reserve(300); },
      [](SlotList& l, std::vector<u32>&) {
        SlotList copy = l;
        l = std::move(copy);
      },
  };
  for (u32 runs : {2u, 20u, 22u, 70u}) {
    for (Change change : changes) {
      for (long fail_at = 0;; ++fail_at) {
        SlotList list;
        std::vector<u32> model;
        for (u32 s = 0; s < runs; ++s) {
          list.append(s, 3);
          model.insert(model.end(), 3, s);
        }
        for (u32 s = 10; s < runs; s += 3) {  // places marked removed in a long list
          list.remove_all(s);
          remove_from(model, s);
        }
        model.reserve(model.size() + 400);  // the model's own growth does not fail
        weft::test_alloc::fail_allocation(fail_at);
        bool threw = false;
        try {
          change(list, model);
        } catch (const std::bad_alloc&) {
          threw = true;
        }
        const bool failed = weft::test_alloc::allocation_failed();
        weft::test_alloc::fail_allocation(-1);
        if (!failed) break;
        SCOPED_TRACE(std::to_string(runs) + " runs, failing allocation " + std::to_string(fail_at));
        ASSERT_TRUE(threw);
        ASSERT_EQ(list.to_vector(), model);
        list.remove_all(5);
        remove_from(model, 5);
        list.append(200000, 2);
        model.insert(model.end(), 2, 200000);
        ASSERT_EQ(list.to_vector(), model);
      }
    }
  }
}

}  // namespace
