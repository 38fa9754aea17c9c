// Observers: registration and stabilize.
#include <cxxabi.h>

#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include "weft/runtime.hpp"

namespace weft {

void Runtime::unobserve(u64 observer_id) {
  ObserverChain removed;  // released after the guard is given up
  {
    ExclusiveGuard guard(tables_lock_);
    ObserverRef observer = tables_.observers.remove(observer_id);
    if (observer) removed.push(std::move(observer));
  }
  retire_observers(removed);
}

void Runtime::retire_observers(ObserverChain& removed) noexcept {
  if (stabilize_depth_ != 0) {
    retired_observers_.take_all(removed);
  } else {
    removed.clear();
  }
}

void Runtime::stabilize() {
  // Nothing written and no observer added since a stabilize that left every observer up to
  // date: there is nothing to bring up to date and nothing to fire.
  if (revision_ == quiet_revision_ && next_observer_id_ == quiet_next_observer_id_) return;
  struct Pending {
    u64 id;
    u64 last_seen;
    ObserverBase* observer;  // alive until the outermost stabilize ends (retire_observers)
    u32 slot;
    u32 generation;
    // Whether its node had changed since it last fired, as of the last settling pass.
    bool due;
    bool fired;
  };
  std::unique_ptr<Pending[]> snapshot;
  std::size_t count;
  u64 next_id_at_snapshot;
  {
    SharedGuard guard(tables_lock_);
    count = tables_.observers.size();
    snapshot.reset(new Pending[count]);
    Pending* next = snapshot.get();
    for (const ObserverRegistry::Entry& entry : tables_.observers.entries()) {
      *next++ = {entry.id, entry.last_seen, entry.observer.get(), entry.slot, entry.generation,
                 false, false};
    }
    next_id_at_snapshot = next_observer_id_;
  }
  ++stabilize_depth_;
  struct DepthGuard {
    Runtime& runtime;
    ~DepthGuard() {
      if (--runtime.stabilize_depth_ == 0) runtime.retired_observers_.clear();
    }
  } depth_guard{*this};
  // Bringing an observed node up to date may write inputs (a grouping routes its elements
  // into its groups' inputs), which can change nodes already brought up to date. So every
  // observed node is brought up to date first, again while doing so wrote, and only then do
  // the callbacks run: each sees its node's settled value, and an observer fires at most
  // once per stabilize. A compute that writes on every run could go on for good, so the
  // passes are bounded, and what is left is seen on the next stabilize.
  const u64 stabilize_number = ++stabilizes_started_;
  int passes = 0;
  std::size_t failed_at = count;  // a failure settling this observer's node
  std::exception_ptr failure;
  u64 failed_revision = 0;  // the revision the failure was met at
  bool all_clean = false;   // whether the last settling pass wrote nothing and left all Clean
  bool any_due = false;     // as of the last settling pass
  for (; passes < kMaxStabilizePasses && !failure; ++passes) {
    u64 before = revision_;
    bool clean = true;
    any_due = false;
    for (std::size_t i = 0; i < count; ++i) {
      try {
        Pending& pending = snapshot[i];
        const NodeRecord& record = nodes_.get(pending.slot);  // records never move
        if (settle_observed(pending.slot, pending.generation)) {
          pending.due = pending.last_seen < change_stamp(record);
          any_due |= pending.due;
          // A node left Stale (by a compute that caught a read's failure) is for the next
          // stabilize to bring up to date again: this one does not count as quiet.
          clean &= record.node_state() == NodeState::Clean;
        } else {
          pending.due = false;  // its node is gone, and the observer with it
        }
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
    if (revision_ == before) {
      all_clean = clean && !failure;
      break;
    }
  }
  // Then the callbacks, in snapshot order. A write made by a callback is seen by the
  // observers checked after it, and those before see it on the next stabilize; writes
  // that computes make meanwhile are followed by further passes for the observers that
  // have not fired yet (writes made by callbacks do not count). While nothing has been
  // written since the nodes settled, an observer that was not due is passed over: its
  // check would find the same.
  const u64 settled = revision_;
  // With nothing due and nothing failed, the callback passes would pass over everyone.
  const bool nothing_to_fire = !any_due && !failure;
  for (int pass = 0; !nothing_to_fire && (passes < kMaxStabilizePasses || pass == 0);
       ++pass, ++passes) {
    bool compute_wrote = false;
    for (std::size_t i = 0; i < count; ++i) {
      if (i == failed_at) {
        // The failure stands unless a callback before this observer has written since:
        // then the observer is checked like the others, and its node settles anew (or
        // fails again) now.
        if (revision_ == failed_revision) std::rethrow_exception(failure);
        failure = nullptr;
        failed_at = count;
      }
      Pending& pending = snapshot[i];
      if (pending.fired || (!pending.due && revision_ == settled)) continue;
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
        pending.fired = true;
        pending.last_seen = std::max(pending.last_seen, result.stamp);
      }
    }
    if (!compute_wrote) break;
  }
  // Every observer fired or was not due, at the revision its node settled at, and no
  // callback wrote, added an observer or ran a stabilize of its own since. An inner
  // stabilize leaves this to the outer one, whose remaining callbacks may still fail.
  if (all_clean && revision_ == settled && next_observer_id_ == next_id_at_snapshot &&
      stabilizes_started_ == stabilize_number && stabilize_depth_ == 1) {
    quiet_revision_ = revision_;
    quiet_next_observer_id_ = next_observer_id_;
  }
}

std::optional<u64> Runtime::claim_firing(u64 observer_id, u64 stamp) {
  ExclusiveGuard guard(tables_lock_);
  ObserverRegistry::Entry* entry = tables_.observers.find(observer_id);
  if (!entry) return std::nullopt;
  u64 previous = entry->last_seen;
  entry->last_seen = std::max(previous, stamp);
  return previous;
}

void Runtime::withdraw_firing(u64 observer_id, u64 stamp, u64 previous) {
  ExclusiveGuard guard(tables_lock_);
  ObserverRegistry::Entry* entry = tables_.observers.find(observer_id);
  if (entry && entry->last_seen == std::max(previous, stamp)) entry->last_seen = previous;
}

std::optional<u64> Runtime::registered_last_seen(u64 observer_id) const {
  SharedGuard guard(tables_lock_);
  const ObserverRegistry::Entry* entry = tables_.observers.find(observer_id);
  if (!entry) return std::nullopt;
  return entry->last_seen;
}

}  // namespace weft
