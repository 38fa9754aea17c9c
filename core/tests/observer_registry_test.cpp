#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "weft/observer_registry.hpp"

namespace weft {
namespace {

// An observer that notes its id when it is released.
class Noting final : public ObserverBase {
 public:
  Noting(u64 id, std::vector<u64>& released) : id_(id), released_(released) {}
  ~Noting() override { released_.push_back(id_); }
  ObserverCheck check(Runtime&, u64, u64) override { return {false, 0, 0}; }

 private:
  u64 id_;
  std::vector<u64>& released_;
};

struct Registered {
  u32 slot;
  u64 last_seen;
};

// Random registrations, removals by id and removals of every observer of a slot, each
// checked against a map: the index by id and the slots' lists must follow the entries as
// the last one moves into each removed one's place.
TEST(ObserverRegistry, FollowsAMapThroughRandomEdits) {
  std::mt19937 rng(5);
  std::vector<u64> released;  // outlives the registry, whose observers note into it
  ObserverRegistry registry;
  std::map<u64, Registered> model;
  u64 next_id = 1;
  for (int step = 0; step < 20000; ++step) {
    const u32 slot = rng() % 12;
    released.clear();
    switch (rng() % 8) {
      case 0: case 1: case 2: case 3: {
        const u64 id = next_id++;
        registry.add(id, std::make_shared<Noting>(id, released), ErasedWeft{slot, 7, {}}, step);
        model[id] = {slot, static_cast<u64>(step)};
        break;
      }
      case 4: case 5: case 6: {
        const u64 id = 1 + rng() % next_id;  // sometimes one never issued or gone
        const bool registered = model.erase(id) == 1;
        ObserverRef removed = registry.remove(id);
        EXPECT_EQ(static_cast<bool>(removed), registered) << "id " << id;
        EXPECT_TRUE(released.empty());  // given back, not released
        removed.reset();
        EXPECT_EQ(released, std::vector<u64>(registered ? 1 : 0, id));
        break;
      }
      default: {
        ObserverChain chain;
        registry.remove_all_of_slot(slot, chain);
        std::vector<u64> expected;
        for (auto it = model.begin(); it != model.end();) {
          if (it->second.slot == slot) {
            expected.push_back(it->first);
            it = model.erase(it);
          } else {
            ++it;
          }
        }
        EXPECT_TRUE(released.empty());  // the chain holds them until it is cleared
        chain.clear();
        std::sort(released.begin(), released.end());
        EXPECT_EQ(released, expected);
        break;
      }
    }
    ASSERT_EQ(registry.size(), model.size());
    for (const auto& [id, registered] : model) {
      const ObserverRegistry::Entry* entry = registry.find(id);
      ASSERT_NE(entry, nullptr) << "id " << id;
      EXPECT_EQ(entry->id, id);
      EXPECT_EQ(entry->slot, registered.slot);
      EXPECT_EQ(entry->generation, 7u);
      EXPECT_EQ(entry->last_seen, registered.last_seen);
    }
  }
}

TEST(ObserverRegistry, KeepsRegistrationOrderButForTheLastFillingAGap) {
  std::vector<u64> released;
  ObserverRegistry registry;
  for (u64 id = 1; id <= 5; ++id) {
    registry.add(id, std::make_shared<Noting>(id, released), ErasedWeft{0, 0, {}}, 0);
  }
  registry.remove(2);
  std::vector<u64> order;
  for (const ObserverRegistry::Entry& entry : registry.entries()) order.push_back(entry.id);
  EXPECT_EQ(order, (std::vector<u64>{1, 5, 3, 4}));
}

// Releasing an observer may run code that retires another into the same chain.
class Retiring final : public ObserverBase {
 public:
  Retiring(ObserverChain& chain, ObserverRef next, std::vector<u64>& released)
      : chain_(chain), next_(std::move(next)), released_(released) {}
  ~Retiring() override {
    released_.push_back(0);
    chain_.push(std::move(next_));
  }
  ObserverCheck check(Runtime&, u64, u64) override { return {false, 0, 0}; }

 private:
  ObserverChain& chain_;
  ObserverRef next_;
  std::vector<u64>& released_;
};

TEST(ObserverChain, ClearReleasesWhatAReleaseAdds) {
  std::vector<u64> released;
  ObserverChain chain;
  chain.push(std::make_shared<Retiring>(chain, std::make_shared<Noting>(9, released), released));
  chain.clear();
  EXPECT_EQ(released, (std::vector<u64>{0, 9}));
  EXPECT_TRUE(chain.empty());
}

}  // namespace
}  // namespace weft
