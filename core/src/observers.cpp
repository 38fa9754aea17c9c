// Observers: registration and stabilize.
#include "weft/runtime.hpp"

namespace weft {

void Runtime::unobserve(u64 observer_id) {
  ObserverRef removed;  // dropped after the guard is released
  ExclusiveGuard guard(tables_lock_);
  auto it = tables_.observers.find(observer_id);
  if (it == tables_.observers.end()) return;
  removed = std::move(it->second.observer);
  auto of_slot = tables_.observers_of_slot.find(it->second.slot);
  if (of_slot != tables_.observers_of_slot.end()) {
    std::erase(of_slot->second, observer_id);
    if (of_slot->second.empty()) tables_.observers_of_slot.erase(of_slot);
  }
  tables_.observers.erase(it);
}

void Runtime::stabilize() {
  struct Pending {
    u64 id;
    u64 last_seen;
    ObserverRef observer;
  };
  std::vector<Pending> snapshot;
  {
    SharedGuard guard(tables_lock_);
    snapshot.reserve(tables_.observers.size());
    for (const auto& [id, entry] : tables_.observers) {
      snapshot.push_back({id, entry.last_seen, entry.observer});
    }
  }
  for (Pending& pending : snapshot) {
    auto [fired, stamp] = pending.observer->check(*this, pending.last_seen);
    if (fired) {
      ExclusiveGuard guard(tables_lock_);
      auto it = tables_.observers.find(pending.id);
      if (it != tables_.observers.end()) it->second.last_seen = std::max(it->second.last_seen, stamp);
    }
    pending.observer.reset();
  }
}

}  // namespace weft
