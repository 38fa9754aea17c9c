// The observer registry's bookkeeping.
#include "weft/observer_registry.hpp"

#include "weft/failure.hpp"
#include "weft/vector_room.hpp"

namespace weft {

void ObserverRegistry::add(u64 id, ObserverRef&& observer, ErasedWeft node, u64 last_seen) {
  std::vector<u64>& of_slot = ids_of_slot_[node.slot];
  const auto index = static_cast<u32>(entries_.size());
  of_slot.push_back(id);
  try {
    if (!index_of_.emplace(id, index).second) fail("weft-core: an observer id was issued twice");
    // Room first, so that the observer is moved only into an entry that stays.
    reserve_one_more(entries_);
  } catch (...) {
    if (auto it = index_of_.find(id); it != index_of_.end() && it->second == index) {
      index_of_.erase(it);
    }
    of_slot.pop_back();
    if (of_slot.empty()) ids_of_slot_.erase(node.slot);
    throw;
  }
  entries_.push_back({std::move(observer), id, last_seen, node.slot, node.generation,
                      static_cast<u32>(of_slot.size() - 1)});
}

ObserverRef ObserverRegistry::remove(u64 id) {
  auto it = index_of_.find(id);
  if (it == index_of_.end()) return nullptr;
  const Entry& entry = entries_[it->second];
  auto of_slot = ids_of_slot_.find(entry.slot);
  std::vector<u64>* ids = of_slot == ids_of_slot_.end() ? nullptr : &of_slot->second;
  const u32 position = entry.position_in_slot;
  if (!ids || position >= ids->size() || (*ids)[position] != id) {
    fail("weft-core: an observer is missing from its slot's list of observers");
  }
  // The last id fills the gap, in constant time however many observers the node has.
  if (position + 1 != ids->size()) {
    Entry* moved = find(ids->back());
    if (!moved) fail("weft-core: an observed slot lists a removed observer");
    (*ids)[position] = moved->id;
    moved->position_in_slot = position;
  }
  ids->pop_back();
  if (ids->empty()) ids_of_slot_.erase(of_slot);
  return take_at(it->second);
}

void ObserverRegistry::remove_all_of_slot(u32 slot, ObserverChain& removed) {
  auto of_slot = ids_of_slot_.find(slot);
  if (of_slot == ids_of_slot_.end()) return;
  // Checked before any is taken out, so that a failure leaves the registry whole.
  for (u64 id : of_slot->second) {
    if (!index_of_.contains(id)) fail("weft-core: an observed slot lists a removed observer");
  }
  for (u64 id : of_slot->second) removed.push(take_at(index_of_.find(id)->second));
  ids_of_slot_.erase(of_slot);
}

ObserverRef ObserverRegistry::take_at(std::size_t index) {
  ObserverRef taken = std::move(entries_[index].observer);
  index_of_.erase(entries_[index].id);
  if (index + 1 != entries_.size()) {
    entries_[index] = std::move(entries_.back());
    index_of_[entries_[index].id] = static_cast<u32>(index);  // present: no allocation
  }
  entries_.pop_back();
  return taken;
}

}  // namespace weft
