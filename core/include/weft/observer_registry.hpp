// Observers and their registry: who is told of which node's changes, and what each last saw.
#pragma once

#include <cstddef>
#include <memory>
#include <unordered_map>
#include <vector>

#include "weft/hashing.hpp"
#include "weft/node.hpp"

namespace weft {

class Runtime;

// What checking an observer found: whether it fired, the node's change stamp, and the
// runtime's revision once the node was up to date (before the callback ran).
struct ObserverCheck {
  bool fired;
  u64 stamp;
  u64 settled_revision;
};

class ObserverBase;
using ObserverRef = std::shared_ptr<ObserverBase>;

// An observer registered on one node.
class ObserverBase {
 public:
  virtual ~ObserverBase() = default;
  // Brings the node up to date and fires when its change stamp passed `last_seen`.
  // `observer_id` is its registration, whose stamp is claimed while the callback runs.
  virtual ObserverCheck check(Runtime& runtime, u64 observer_id, u64 last_seen) = 0;

 private:
  friend class ObserverChain;
  ObserverRef next_in_chain_;
};

// Observers taken out of the registry, linked through the observers themselves, so that
// adding one never allocates (and so never fails).
class ObserverChain {
 public:
  ObserverChain() = default;
  ObserverChain(const ObserverChain&) = delete;
  ObserverChain& operator=(const ObserverChain&) = delete;
  ~ObserverChain() { clear(); }

  bool empty() const { return !head_; }
  void push(ObserverRef observer) noexcept {
    observer->next_in_chain_ = std::move(head_);
    head_ = std::move(observer);
  }
  void take_all(ObserverChain& other) noexcept {
    while (ObserverRef first = other.pop()) push(std::move(first));
  }
  // Releases them one at a time: a release may run user code, which may add more.
  void clear() noexcept {
    while (pop()) {
    }
  }

 private:
  ObserverRef pop() noexcept {
    ObserverRef first = std::move(head_);
    if (first) head_ = std::move(first->next_in_chain_);
    return first;
  }

  ObserverRef head_;
};

// The registered observers, kept densely in order of registration (but for the last one
// moved into a removed one's place), so that a stabilize walks them in memory order; with
// an index by id and, for each observed slot, the ids of its observers, so that a deletion
// finds them directly.
class ObserverRegistry {
 public:
  struct Entry {
    ObserverRef observer;
    u64 id;
    u64 last_seen;  // the change stamp it last reported
    u32 slot;
    u32 generation;
    u32 position_in_slot;  // of its id in its slot's list
  };

  std::size_t size() const { return entries_.size(); }
  const std::vector<Entry>& entries() const { return entries_; }
  Entry* find(u64 id) {
    auto it = index_of_.find(id);
    return it == index_of_.end() ? nullptr : &entries_[it->second];
  }
  const Entry* find(u64 id) const { return const_cast<ObserverRegistry*>(this)->find(id); }

  // Registers `observer` on `node` under `id`, which must be new. On failure nothing changed,
  // and `observer` was not moved from: the caller drops it once it has released the tables.
  void add(u64 id, ObserverRef&& observer, ErasedWeft node, u64 last_seen);
  // Removes the observer registered under `id` and gives it back; nothing when none is.
  ObserverRef remove(u64 id);
  // Removes every observer of `slot` into `removed`.
  void remove_all_of_slot(u32 slot, ObserverChain& removed);

 private:
  // Takes the entry at `index` out, the last entry filling its place.
  ObserverRef take_at(std::size_t index);

  std::vector<Entry> entries_;
  std::unordered_map<u64, u32, RandomHasher> index_of_;
  std::unordered_map<u32, std::vector<u64>, RandomHasher> ids_of_slot_;
};

}  // namespace weft
