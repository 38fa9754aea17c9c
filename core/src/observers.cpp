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
  // Bringing an observed node up to date may write inputs (a grouping routes its elements
  // into its groups' inputs), which can change nodes whose observers already ran in this
  // pass. Those observers are checked again, until a pass makes no such write; each pass is
  // a shorter prefix of the one before. Writes made by callbacks do not count: observers that
  // ran before a callback's write see it on the next stabilize.
  std::size_t pass_length = snapshot.size();
  for (bool first_pass = true; pass_length != 0; first_pass = false) {
    std::size_t written_at = 0;  // observers before this one ran before a compute's write
    for (std::size_t i = 0; i < pass_length; ++i) {
      Pending& pending = snapshot[i];
      if (!first_pass && !is_observing(pending.id)) continue;  // removed meanwhile
      u64 before = revision_;
      ObserverCheck result = pending.observer->check(*this, pending.last_seen);
      if (result.settled_revision != before) written_at = i;
      if (result.fired) {
        pending.last_seen = std::max(pending.last_seen, result.stamp);
        ExclusiveGuard guard(tables_lock_);
        auto it = tables_.observers.find(pending.id);
        if (it != tables_.observers.end()) {
          it->second.last_seen = std::max(it->second.last_seen, result.stamp);
        }
      }
    }
    pass_length = written_at;
  }
}

bool Runtime::is_observing(u64 observer_id) const {
  SharedGuard guard(tables_lock_);
  return tables_.observers.find(observer_id) != tables_.observers.end();
}

}  // namespace weft
