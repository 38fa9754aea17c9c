// Observers: registration and stabilize.
#include <cxxabi.h>

#include <exception>
#include <vector>

#include "weft/runtime.hpp"

namespace weft {

void Runtime::unobserve(u64 observer_id) {
  ObserverRef removed;  // dropped after the guard is released
  ExclusiveGuard guard(tables_lock_);
  auto it = tables_.observers.find(observer_id);
  if (it == tables_.observers.end()) return;
  removed = std::move(it->second.observer);
  auto of_slot = tables_.observers_of_slot.find(it->second.slot);
  std::vector<u64>* ids = of_slot == tables_.observers_of_slot.end() ? nullptr : &of_slot->second;
  u32 position = it->second.position;
  if (!ids || position >= ids->size() || (*ids)[position] != observer_id) {
    fail("weft-core: an observer is missing from its slot's list of observers");
  }
  // The last id fills the gap, in constant time however many observers the node has.
  if (position + 1 != ids->size()) {
    u64 moved = ids->back();
    auto moved_entry = tables_.observers.find(moved);
    if (moved_entry == tables_.observers.end()) {
      fail("weft-core: an observed slot lists a removed observer");
    }
    (*ids)[position] = moved;
    moved_entry->second.position = position;
  }
  ids->pop_back();
  if (ids->empty()) tables_.observers_of_slot.erase(of_slot);
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
  // into its groups' inputs), which can change nodes already brought up to date. So every
  // observed node is brought up to date first, again while doing so wrote, and only then do
  // the callbacks run: each sees its node's settled value, and an observer fires at most
  // once per stabilize. A compute that writes on every run could go on for good, so the
  // passes are bounded, and what is left is seen on the next stabilize.
  const u64 stabilize_number = ++stabilizes_started_;
  int passes = 0;
  std::size_t failed_at = snapshot.size();  // a failure settling this observer's node
  std::exception_ptr failure;
  u64 failed_revision = 0;  // the revision the failure was met at
  // Whether an observer's node had changed since it last fired, as of the last pass.
  std::vector<bool> due(snapshot.size(), false);
  for (; passes < kMaxStabilizePasses && !failure; ++passes) {
    u64 before = revision_;
    for (std::size_t i = 0; i < snapshot.size(); ++i) {
      try {
        due[i] = snapshot[i].observer->settle(*this, snapshot[i].last_seen);
      } catch (abi::__forced_unwind&) {
        throw;  // the thread is ending: nothing may stop the unwind
      } catch (...) {
        // Reported when the callbacks reach this observer: those before it still run.
        failure = std::current_exception();
        failed_at = i;
        failed_revision = revision_;
        break;
      }
    }
    if (revision_ == before) break;
  }
  // Then the callbacks, in snapshot order. A write made by a callback is seen by the
  // observers checked after it, and those before see it on the next stabilize; writes
  // that computes make meanwhile are followed by further passes for the observers that
  // have not fired yet (writes made by callbacks do not count). While nothing has been
  // written since the nodes settled, an observer that was not due is passed over: its
  // check would find the same.
  const u64 settled = revision_;
  std::vector<bool> fired(snapshot.size(), false);
  for (int pass = 0; passes < kMaxStabilizePasses || pass == 0; ++pass, ++passes) {
    bool compute_wrote = false;
    for (std::size_t i = 0; i < snapshot.size(); ++i) {
      if (i == failed_at) {
        // The failure stands unless a callback before this observer has written since:
        // then the observer is checked like the others, and its node settles anew (or
        // fails again) now.
        if (revision_ == failed_revision) std::rethrow_exception(failure);
        failure = nullptr;
        failed_at = snapshot.size();
      }
      Pending& pending = snapshot[i];
      if (fired[i] || (!due[i] && revision_ == settled)) continue;
      // Later passes skip observers removed meanwhile, and after a stabilize run by a
      // callback (which may have fired this observer since the snapshot) the registry's
      // last_seen counts.
      if (pass != 0 || stabilizes_started_ != stabilize_number) {
        std::optional<u64> registered = registered_last_seen(pending.id);
        if (registered) {
          pending.last_seen = std::max(pending.last_seen, *registered);
        } else if (pass != 0) {
          continue;
        }
      }
      u64 before = revision_;
      ObserverCheck result = pending.observer->check(*this, pending.id, pending.last_seen);
      if (result.settled_revision != before) compute_wrote = true;
      if (result.fired) {  // the registry took the stamp when the callback was called
        fired[i] = true;
        pending.last_seen = std::max(pending.last_seen, result.stamp);
      }
    }
    if (!compute_wrote) break;
  }
}

std::optional<u64> Runtime::claim_firing(u64 observer_id, u64 stamp) {
  ExclusiveGuard guard(tables_lock_);
  auto it = tables_.observers.find(observer_id);
  if (it == tables_.observers.end()) return std::nullopt;
  u64 previous = it->second.last_seen;
  it->second.last_seen = std::max(previous, stamp);
  return previous;
}

void Runtime::withdraw_firing(u64 observer_id, u64 stamp, u64 previous) {
  ExclusiveGuard guard(tables_lock_);
  auto it = tables_.observers.find(observer_id);
  if (it != tables_.observers.end() && it->second.last_seen == std::max(previous, stamp)) {
    it->second.last_seen = previous;
  }
}

std::optional<u64> Runtime::registered_last_seen(u64 observer_id) const {
  SharedGuard guard(tables_lock_);
  auto it = tables_.observers.find(observer_id);
  if (it == tables_.observers.end()) return std::nullopt;
  return it->second.last_seen;
}

}  // namespace weft
