// Reads: bringing a node up to date by verification and recomputation, and committing the
// dependencies a compute read.
#include <algorithm>

#include "weft/runtime.hpp"

#include "engine_internal.hpp"

namespace weft {

namespace {

using internal::is_computing;

[[noreturn]] void fail_budget(u32 root) {
  fail(cat("weft-core: dependency cycle detected: ensure_clean(", root,
           ") exceeded its traversal budget, which no acyclic graph can"));
}

[[noreturn]] void fail_cycle(u32 slot) {
  fail(cat("weft-core: dependency cycle detected: node ", slot,
           " was read while its own compute was in progress"));
}

[[noreturn]] void fail_failed(u32 slot) {
  fail(cat("weft-core: node ", slot,
           " read but its last compute panicked; it stays Failed until a dependency changes "
           "(set an upstream input to retry)"));
}

// Membership in a slot list, by binary search over a sorted copy without repeats (a
// compute that reads a few nodes many times records each read).
class SlotSet {
 public:
  explicit SlotSet(const std::vector<u32>& slots) : sorted_(slots) {
    std::sort(sorted_.begin(), sorted_.end());
    sorted_.erase(std::unique(sorted_.begin(), sorted_.end()), sorted_.end());
  }
  bool contains(u32 slot) const { return std::binary_search(sorted_.begin(), sorted_.end(), slot); }
  std::size_t size() const { return sorted_.size(); }
  // The position of `slot`, one of the set's, among the set's slots in ascending order.
  std::size_t position_of(u32 slot) const {
    return static_cast<std::size_t>(std::lower_bound(sorted_.begin(), sorted_.end(), slot) - sorted_.begin());
  }

 private:
  std::vector<u32> sorted_;
};

// The distinct slots of a list, ascending, each with how often the list names it. A compute
// mostly reads a few nodes, often many times over (a loop reading the same input), and such
// a list is tallied by scanning the tally; one naming more nodes is sorted instead.
void tally(const std::vector<u32>& slots, std::vector<SlotCount>& out) {
  constexpr std::size_t kScanned = 8;
  SlotCount scanned[kScanned];
  std::size_t distinct = 0;
  bool few = true;
  for (u32 slot : slots) {
    std::size_t k = 0;
    while (k < distinct && scanned[k].slot != slot) ++k;
    if (k < distinct) {
      ++scanned[k].count;
    } else if (distinct < kScanned) {
      scanned[distinct++] = {slot, 1};
    } else {
      few = false;
      break;
    }
  }
  auto by_slot = [](const SlotCount& a, const SlotCount& b) { return a.slot < b.slot; };
  out.clear();
  if (few) {
    out.assign(scanned, scanned + distinct);
    std::sort(out.begin(), out.end(), by_slot);
    return;
  }
  for (u32 slot : slots) out.push_back({slot, 1});
  std::sort(out.begin(), out.end(), by_slot);
  std::size_t kept = 0;  // merges the repeats, now side by side
  for (std::size_t k = 0; k < out.size(); ++k) {
    if (kept > 0 && out[kept - 1].slot == out[k].slot) {
      out[kept - 1].count += out[k].count;
    } else {
      out[kept++] = out[k];
    }
  }
  out.resize(kept);
}

// Walks two tallies side by side: `gone(slot)` for each slot only the old one names,
// `added(slot, count)` for each only the new one names, and `recounted(slot, was, now)` for
// each that both name a different number of times.
template <class Gone, class Added, class Recounted>
void for_each_difference(const std::vector<SlotCount>& was, const std::vector<SlotCount>& now, Gone gone,
                         Added added, Recounted recounted) {
  std::size_t i = 0, j = 0;
  while (i < was.size() || j < now.size()) {
    if (j == now.size() || (i < was.size() && was[i].slot < now[j].slot)) {
      gone(was[i++].slot);
    } else if (i == was.size() || now[j].slot < was[i].slot) {
      added(now[j].slot, now[j].count);
      ++j;
    } else {
      if (was[i].count != now[j].count) recounted(now[j].slot, was[i].count, now[j].count);
      ++i;
      ++j;
    }
  }
}

// Lets the commit buffers keep the room of ordinary dependency lists, not of the longest.
class ScratchTrim {
 public:
  explicit ScratchTrim(CommitScratch& scratch) : scratch_(scratch) {}
  ~ScratchTrim() {
    constexpr std::size_t kKept = 4096;
    if (scratch_.old.capacity() > kKept || scratch_.fresh.capacity() > kKept ||
        scratch_.old_tally.capacity() > kKept || scratch_.fresh_tally.capacity() > kKept) {
      scratch_ = CommitScratch{};
    }
  }
  ScratchTrim(const ScratchTrim&) = delete;
  ScratchTrim& operator=(const ScratchTrim&) = delete;

 private:
  CommitScratch& scratch_;
};

// A work stack for one traversal: a spare one when there is one, handed back emptied when
// the traversal ends (returned or thrown) as long as the spares' reserved room allows and
// the stack has not grown oversized.
template <class Entry>
class SpareStack {
 public:
  explicit SpareStack(std::vector<std::vector<Entry>>& spares) : spares_(spares) {
    if (!spares_.empty()) {
      stack_ = std::move(spares_.back());
      spares_.pop_back();
    }
  }
  ~SpareStack() {
    stack_.clear();
    if (spares_.size() < spares_.capacity() && !internal::oversized(stack_)) {
      spares_.push_back(std::move(stack_));
    }
  }
  SpareStack(const SpareStack&) = delete;
  SpareStack& operator=(const SpareStack&) = delete;
  std::vector<Entry>& get() { return stack_; }

 private:
  std::vector<std::vector<Entry>>& spares_;
  std::vector<Entry> stack_;
};

}  // namespace

void Runtime::fail_deleted_while_read(u32 slot) {
  fail(cat("weft-core: node ", slot,
           " was deleted while a read was reaching it (a compute raced delete_node on one of its "
           "recorded dependencies)"));
}

void Runtime::ensure_clean(u32 root) {
  if (nodes_.get(root).node_state() == NodeState::Clean) return;
  if (served_this_read(root)) {
    dep_stack_.taint_top(/*sound=*/true);  // its value came from a failure it caught
    return;
  }
  if (traversals_running_ == 0) traversal_budget_ = static_cast<u64>(nodes_.count()) * 256 + 1024;
  ++traversals_running_;
  struct Running {
    Runtime& runtime;
    ~Running() {
      if (--runtime.traversals_running_ != 0) return;
      if (runtime.set_aside_.empty() && runtime.served_tainted_.empty()) return;
      runtime.served_tainted_.clear();
      // Dropped from a local: what the host kept may run code that reads again.
      auto dropped = std::move(runtime.set_aside_);
      runtime.set_aside_.clear();
    }
  } running{*this};
  SpareStack<TraversalEntry> spare(spare_traversals_);
  std::vector<TraversalEntry>& stack = spare.get();
  stack.push_back({root, Step::Unexpanded});
  std::size_t unverified_base = unverified_.size();
  try {
    while (!stack.empty()) {
      TraversalEntry& top = stack.back();
      u32 slot = top.slot;
      if (top.step != Step::Unexpanded) {
        // The dispatch clears the node's mark: every state it sets does, and it clears the
        // mark itself before it fails. A dependency it leaves unverified is marked again
        // until the traversal ends.
        bool root_met_again = top.step == Step::RootMetAgain;
        stack.pop_back();
        if (slot == root) {
          dispatch(slot, stack.empty());
        } else {
          try {
            dispatch(slot, false);
          } catch (const StackExhausted&) {
            throw;  // the read as a whole nests too deeply
          } catch (const std::exception&) {
            if (!set_aside_failure(slot)) throw;
          }
        }
        if (root_met_again && nodes_.get(root).node_state() == NodeState::Clean) {
          // Met again through a loop in the recorded lists and brought up to date: what is
          // left was only there for it, and it reads none of that now.
          for (const TraversalEntry& entry : stack) {
            if (entry.step == Step::ExpandedMarked) nodes_.get(entry.slot).clear_expanding();
          }
          stack.clear();
        }
        continue;
      }
      NodeRecord& record = nodes_.get(slot);
      NodeState state = record.node_state();
      if (state == NodeState::Clean || served_this_read(slot)) {
        stack.pop_back();
        continue;
      }
      if (set_aside_for(slot)) {
        // Its failure in this read is known: a dependent decides whether it meets it, and
        // the read of the node itself meets it once the node is dispatched.
        if (stack.size() > 1) {
          stack.pop_back();
        } else {
          top.step = Step::Expanded;
        }
        continue;
      }
      if (is_computing(state)) {
        // A recorded dependency whose compute runs on this thread is no cycle yet: the list
        // that names it may date from before the graph changed shape. The node that
        // recorded it decides when it is verified: a dependency it read earlier changed (it
        // is recomputed, and only a read made by that recompute closes a cycle), or none did
        // (a cycle). The root is itself such a read.
        if (stack.size() > 1 && dep_stack_.is_on_stack(slot)) {
          stack.pop_back();
          continue;
        }
        top.step = Step::Expanded;
      } else if (record.expanding()) {
        // Its dependencies are already being brought up to date, by this read or by one
        // waiting on a compute below: the recorded lists loop back to it. Expanding it again
        // would go round the loop for good, so it is dispatched as it is, and the reads of
        // its recompute, if it needs one, follow the graph's present shape.
        top.step = slot == root ? Step::RootMetAgain : Step::Expanded;
      } else {
        // Only an expansion pushes entries, so only expansions can keep a cycle going and
        // only they are counted. A node read many times is pushed once per read: the other
        // entries find it Clean, or marked and already dispatched (left unverified), however
        // many of them there are.
        if (traversal_budget_ == 0 || --traversal_budget_ == 0) fail_budget(root);
        record.mark_expanding();
        top.step = Step::ExpandedMarked;  // `top` is not used after the pushes below
        with_deps(record, [&](const u32* deps, std::size_t n) {
          for (std::size_t i = 0; i < n; ++i) {
            if (nodes_.get(deps[i]).node_state() != NodeState::Clean) {
              stack.push_back({deps[i], Step::Unexpanded});
            }
          }
        });
      }
    }
  } catch (...) {
    for (const TraversalEntry& entry : stack) {
      if (entry.step == Step::ExpandedMarked) nodes_.get(entry.slot).clear_expanding();
    }
    unmark_unverified(unverified_base);
    // Whether a compute failed on the way or the node itself could not be read, the reader
    // that catches this keeps its last sound verification.
    dep_stack_.note_failed_read(root);
    throw;
  }
  if (unverified_.size() != unverified_base) unmark_unverified(unverified_base);
}

void Runtime::leave_unverified(u32 slot) {
  NodeRecord& record = nodes_.get(slot);
  record.set_state(NodeState::Stale);
  reserve_one_more(unverified_);  // without room, it is left Stale and unmarked
  record.mark_expanding();
  unverified_.push_back(slot);
}

void Runtime::unmark_unverified(std::size_t base) {
  for (std::size_t i = base; i < unverified_.size(); ++i) nodes_.get(unverified_[i]).clear_expanding();
  unverified_.resize(base);
  if (base == 0) internal::release_if_oversized(unverified_);
}

void Runtime::dispatch(u32 slot, bool is_root) {
  internal::Backoff backoff;
  for (;;) {
    NodeRecord& record = nodes_.get(slot);
    NodeState state = record.node_state();
    switch (state) {
      case NodeState::Clean:
        return;
      case NodeState::Failed:
        record.clear_expanding();
        if (SetAsideFailure* set_aside = set_aside_for(slot)) raise_set_aside(*set_aside);
        fail_failed(slot);
      case NodeState::Deleted:
        record.clear_expanding();
        fail_deleted_while_read(slot);
      case NodeState::Computing:
      case NodeState::ComputingStale:
        if (dep_stack_.is_on_stack(slot)) fail_running(slot);
        // Another thread is computing it: wait.
        backoff.wait();
        continue;
      case NodeState::Dirty:
      case NodeState::Stale:
        if (check_or_recompute(slot, state, is_root)) return;
        continue;
    }
  }
}

bool Runtime::set_aside_failure(u32 slot) {
  if (retreating()) return false;
  const NodeRecord& record = nodes_.get(slot);
  SetAsideFailure* entry = set_aside_for(slot);  // met again on another path: kept as first met
  bool added = !entry;
  if (added) {
    try {
      entry = &set_aside_.insert_or_assign(slot, SetAsideFailure{record.generation, std::current_exception(), nullptr})
                   .first.value();
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  if (failure_host_) {
    // The host gives up what it holds of the failure in flight either way: an entry met
    // again keeps what it took first, and what was parked for this raise is a copy of it.
    std::shared_ptr<void> taken;
    if (!failure_host_->set_aside(taken)) {
      if (added) set_aside_.erase(slot);
      return false;
    }
    if (!entry->kept) entry->kept = std::move(taken);
  }
  return true;
}

void Runtime::raise_set_aside(SetAsideFailure& entry) {
  if (failure_host_ && entry.kept) failure_host_->resume(entry.kept);
  std::rethrow_exception(entry.failure);
}

// Returns true when the node is done, false when its state moved on and it must be
// dispatched again.
bool Runtime::check_or_recompute(u32 slot, NodeState dispatched, bool is_root) {
  NodeRecord& record = nodes_.get(slot);
  // Not a counted reference: a node's compute is only released when the node is deleted,
  // and a node cannot be deleted while it is Computing (deletion waits, or refuses a node
  // on the compute stack), which it becomes below before any user code runs.
  ComputeFn* fn;
  {
    SharedGuard guard(tables_lock_);
    fn = tables_.compute[slot].get();
  }
  if (!fn) {  // an input
    record.verified_at = std::max(record.verified_at, revision_);
    if (record.node_state() != dispatched) return false;
    record.set_state(NodeState::Clean);
    return true;
  }
  NodeState now = record.node_state();
  if (dispatched == NodeState::Dirty && (now == NodeState::Dirty || now == NodeState::Stale)) {
    record.set_state(NodeState::Computing);
    return recompute(slot, *fn, now == NodeState::Stale, revision_, !is_root);
  }
  if (dispatched == NodeState::Stale && now == NodeState::Stale) {
    if (served_this_read(slot)) {
      record.clear_expanding();
      if (is_root) dep_stack_.taint_top(/*sound=*/true);
      return true;
    }
    record.set_state(NodeState::Computing);
    u64 start = revision_;
    u32 running = kNoDependency;
    u32 unsettled_first = kNoDependency;  // a dependency not Clean, met before any change
    bool unverified = false;
    bool changed = with_deps(record, [&](const u32* deps, std::size_t n) {
      bool seen_change = false;
      for (std::size_t i = 0; i < n; ++i) {
        const NodeRecord& dep = nodes_.get(deps[i]);
        NodeState dep_state = dep.node_state();
        if (dep_state != NodeState::Clean) {
          if (is_computing(dep_state) && dep_stack_.is_on_stack(deps[i])) running = deps[i];
          if (!seen_change) unsettled_first = deps[i];
          unverified = running != kNoDependency || dep.expanding();
          return true;
        }
        if (dep.changed_at > record.verified_at) {
          if (is_root) return true;
          seen_change = true;  // a dependency further on may still be one left unverified
        }
      }
      return seen_change;
    });
    if (unsettled_first != kNoDependency) {
      if (SetAsideFailure* set_aside = set_aside_for(unsettled_first)) {
        // Everything the node read before it is unchanged, so a recompute would read it
        // and fail: its refresh's failure is the read's, and the node is left as it was.
        record.set_state(NodeState::Stale);
        raise_set_aside(*set_aside);
      }
    }
    if (unverified && !is_root) {
      // A dependency the traversal could not bring up to date: a compute running on this
      // thread, or a node marked as still being brought up to date (one left unverified for
      // that reason further down, or one on a loop in the recorded lists). Whether this node
      // still reads it is for its dependent to find out: left as it is, it leaves that
      // dependent unverified in turn, which is recomputed and reads it again only if its
      // present shape does.
      leave_unverified(slot);
      return true;
    }
    if (running != kNoDependency) {
      // The first dependency that decides is a compute running on this thread, and all the
      // node read before it is unchanged, so a recompute would read it again: a cycle. The
      // node is left as it was.
      record.set_state(NodeState::Stale);
      fail_running(running);
    }
    if (changed) return recompute(slot, *fn, true, start, !is_root);
    record.verified_at = std::max(record.verified_at, start);
    if (record.node_state() == NodeState::Computing) {
      record.set_state(NodeState::Clean);
      record_trace(slot, TraceAction::VerifiedClean);
    } else if (record.node_state() == NodeState::ComputingStale) {
      record.set_state(NodeState::Stale);
      dep_stack_.taint_top();
    }
    return true;
  }
  return false;
}

void Runtime::fail_running(u32 slot) {
  std::size_t speculative = dep_stack_.speculative_above(slot);
  if (speculative == 0) fail_cycle(slot);
  // The running compute is read by work that only a dependency's refresh started: whether
  // that loop is a cycle is for the dependent to find out, so nothing is reported here.
  if (retreat_depth_ == 0 || speculative < retreat_depth_) retreat_depth_ = speculative;
  // Whatever compute on the way catches the retreat made its value from abandoned work: each
  // of them keeps its last sound verification, and is recomputed when it is next read.
  dep_stack_.taint_from(speculative);
  throw InvariantFailure(cat("weft-core: node ", slot,
                             " was read by a compute run ahead of need, which is abandoned"));
}

// Returns false when a node the compute read vanished meanwhile: the node is Dirty again and
// must be dispatched anew. Otherwise the read is done with this node, even if it ended Stale.
bool Runtime::recompute(u32 slot, ComputeFn& fn, bool was_stale, u64 start, bool speculative) {
  NodeRecord& record = nodes_.get(slot);
  try {
    dep_stack_.push_frame(slot, speculative);
  } catch (...) {
    record.set_state(NodeState::Dirty);  // no room for its frame: it runs on the next read
    throw;
  }
  std::size_t depth = dep_stack_.depth();
  bool changed;
  try {
    changed = fn.run(*this, slot, was_stale);
  } catch (...) {
    // A failure of abandoned work says nothing about the node. A retreat that unwinds to
    // this compute ends here, and ends first: what follows can run out of memory, and that
    // failure must not leave the retreat open for later failures to be taken as abandoned.
    const bool abandoned = retreat_depth_ != 0 && depth >= retreat_depth_;
    const bool retreat_ends_here = depth == retreat_depth_;
    if (retreat_ends_here) retreat_depth_ = 0;
    const DepFrame& frame = dep_stack_.pop_frame();
    int result = commit_or_give_up(slot, frame.reads, true, start, false);
    bool computing = record.node_state() == NodeState::Computing;
    if (result == 2 || frame.incomplete) {
      record.set_state(NodeState::Dirty);
    } else if (computing && !abandoned && reads_settled(frame, start)) {
      record.set_state(NodeState::Failed);
    } else {
      end_stale(slot);
    }
    if (retreat_ends_here) {
      // The compute run ahead of need that the retreat unwinds to: the node is left for its
      // dependent to decide whether it still reads it.
      if (result != 2) leave_unverified(slot);
      return true;
    }
    // Its reader meets a failure, not the value it holds: that counts as a change, so that a
    // reader that catches it is recomputed once the node recovers, even to that same value.
    record.changed_at = std::max(record.changed_at, start);
    throw;  // the traversal that dispatched it taints its reader
  }
  const DepFrame& frame = dep_stack_.pop_frame();  // valid until the next push
  if (depth == retreat_depth_) retreat_depth_ = 0;  // its own code caught the retreat
  // A first or forced compute stores its value as a change; a re-verified one, when unequal.
  const bool value_changed = !was_stale || changed;
  int result = commit_or_give_up(slot, frame.reads, false, start, value_changed);
  if (value_changed) record.changed_at = std::max(record.changed_at, start);
  if (result == 2) {
    record.set_state(NodeState::Dirty);
    return false;
  }
  if (frame.incomplete) {
    // It caught the failure of a read that went unrecorded: its value serves this read
    // only, and it runs again on the next.
    record.set_state(NodeState::Dirty);
    return true;
  }
  // A compute whose frame was tainted (it caught a read's failure, or a node it read ended
  // Stale) made its value from reads that may not hold: it keeps the revision of its last
  // sound verification, so that whatever changed since then, even a dependency recovering
  // to the value it had before it failed, gets it recomputed.
  if (!frame.tainted) record.verified_at = std::max(record.verified_at, start);
  if (record.node_state() == NodeState::Computing && result == 0 && !frame.tainted) {
    record.set_state(NodeState::Clean);
  } else if (is_computing(record.node_state())) {
    // Only what caught failures, and read nothing that may not hold, serves this read.
    bool served = frame.tainted && !frame.unsound && result == 0 &&
                  record.node_state() == NodeState::Computing;
    end_stale(slot);
    if (served) {
      try {
        served_tainted_[slot] = record.generation;
      } catch (const std::bad_alloc&) {  // then it runs again when read again
        served = false;
      }
    }
    // Its reader made its value from one that may not hold. A compute run ahead of need has
    // no reader: the compute on top of the stack reads the node whose dependency it is, and
    // that node's verification, which finds it Stale, decides.
    if (!speculative) dep_stack_.taint_top(served);
  }
  record_trace(slot, changed ? TraceAction::RecomputedChanged : TraceAction::RecomputedCutoff);
  return true;
}

bool Runtime::reads_settled(const DepFrame& frame, u64 start) const {
  // A read that failed although its node is up to date now failed on work the node no longer
  // needs (a recorded dependency brought up to date on the way): retrying may succeed.
  if (frame.failed_read != kNoFailedRead &&
      nodes_.get(frame.failed_read).node_state() == NodeState::Clean) {
    return false;
  }
  // Nodes that failed too, and computes still in progress (the cycle this one ran into),
  // count as settled: those that end Stale turn this node Stale then.
  for (const ReadRecord& read : frame.reads) {
    const NodeRecord& dep = nodes_.get(read.slot);
    NodeState s = dep.node_state();
    bool settled = s == NodeState::Failed || is_computing(s) ||
                   (s == NodeState::Clean && dep.changed_at <= start);
    if (!settled || dep.generation != read.generation) return false;
  }
  return true;
}

void Runtime::end_stale(u32 slot) {
  nodes_.get(slot).set_state(NodeState::Stale);
  retry_failed_dependents(slot);
}

void Runtime::retry_failed_dependents(u32 slot) {
  std::vector<u32> failed;
  SharedGuard guard(tables_lock_);
  auto append_failed_dependents = [&](u32 of) {
    tables_.dependents[of].for_each_slot([&](u32 dependent) {
      if (nodes_.get(dependent).node_state() == NodeState::Failed) failed.push_back(dependent);
    });
  };
  try {
    append_failed_dependents(slot);
    while (!failed.empty()) {
      u32 next = failed.back();
      failed.pop_back();
      NodeRecord& record = nodes_.get(next);
      if (record.node_state() != NodeState::Failed) continue;
      record.set_state(NodeState::Stale);
      append_failed_dependents(next);
    }
  } catch (const std::bad_alloc&) {
    // No room for the walk: every failed node is retried on its next read instead, a
    // superset of those it would reach. A failed node is verified against stamps from before
    // its failure, so its retry recomputes it.
    for (u32 s = 0; s < nodes_.count(); ++s) {
      NodeRecord& record = nodes_.get(s);
      if (record.node_state() == NodeState::Failed) record.set_state(NodeState::Stale);
    }
  }
}

int Runtime::commit_or_give_up(u32 slot, const std::vector<ReadRecord>& reads, bool merge, u64 start,
                               bool value_changed) {
  try {
    return commit_deps(slot, reads, merge, start);
  } catch (...) {
    // No memory to record what the compute read (the commit changed nothing): the node runs
    // again on its next read, and a value it stored counts as a change, so that whatever
    // read it meanwhile is brought up to date too.
    NodeRecord& record = nodes_.get(slot);
    if (value_changed) record.changed_at = std::max(record.changed_at, start);
    record.set_state(NodeState::Dirty);
    retry_failed_dependents(slot);
    throw;
  }
}

int Runtime::commit_deps(u32 slot, const std::vector<ReadRecord>& reads, bool merge, u64 start) {
  NodeRecord& record = nodes_.get(slot);
  if (!merge) {
    bool same = with_deps(record, [&](const u32* deps, std::size_t n) {
      if (n != reads.size()) return false;
      for (std::size_t i = 0; i < n; ++i) {
        if (deps[i] != reads[i].slot) return false;
      }
      return true;
    });
    if (same) return 0;
  }
  CommitScratch& s = commit_scratch_;
  ScratchTrim trim(s);
  // A read of the node itself (which failed as a cycle, and which the compute, or an
  // equality or finaliser run inside it, may have caught) never becomes a dependency: the
  // node would then wait on itself instead of recomputing. The fast path above never
  // matches such reads.
  with_deps(record, [&](const u32* deps, std::size_t n) { s.old.assign(deps, deps + n); });
  s.fresh.clear();
  if (merge) {
    // The nodes read that the list did not name are added to it, each once, in the order
    // of their first reads; sorted copies keep that within n log n for long lists.
    s.fresh = s.old;
    SlotSet seen(s.old);
    std::vector<u32> unseen;
    for (const ReadRecord& read : reads) {
      if (read.slot != slot && !seen.contains(read.slot)) unseen.push_back(read.slot);
    }
    SlotSet added(unseen);
    std::vector<bool> taken(added.size(), false);
    for (u32 read : unseen) {
      std::size_t k = added.position_of(read);
      if (!taken[k]) {
        taken[k] = true;
        s.fresh.push_back(read);
      }
    }
  } else {
    for (const ReadRecord& read : reads) {
      if (read.slot != slot) s.fresh.push_back(read.slot);
    }
  }
  if (s.fresh == s.old) return 0;

  ExclusiveGuard guard(tables_lock_);
  for (const ReadRecord& read : reads) {
    const NodeRecord& dep = nodes_.get(read.slot);
    if (dep.generation != read.generation || dep.node_state() == NodeState::Deleted) return 2;
  }
  // Everything the commit needs is made first: when memory runs out, nothing has changed.
  tally(s.old, s.old_tally);
  tally(s.fresh, s.fresh_tally);
  const std::vector<SlotCount>& was = s.old_tally;
  const std::vector<SlotCount>& now = s.fresh_tally;
  std::unique_ptr<DepBlock, void (*)(DepBlock*)> block(
      s.fresh.size() > kInlineDeps ? make_dep_block(s.fresh.data(), s.fresh.size()) : nullptr, free_dep_block);
  for_each_difference(
      was, now, [](u32) {}, [&](u32 dep, std::size_t count) { tables_.dependents[dep].reserve(count); },
      [&](u32 dep, std::size_t before, std::size_t after) {
        if (after > before) tables_.dependents[dep].reserve(after - before);
      });
  // A failed compute's end state is decided from all it read (reads_settled), not here.
  int result = 0;
  for_each_difference(
      was, now, [&](u32 dep) { tables_.dependents[dep].remove_all(slot); },
      [&](u32 dep, std::size_t count) {
        const NodeRecord& read = nodes_.get(dep);
        if (!merge && (read.node_state() != NodeState::Clean || read.changed_at > start)) result = 1;
        tables_.dependents[dep].append(slot, count);  // once per read
      },
      [&](u32 dep, std::size_t, std::size_t after) { tables_.dependents[dep].resize_run(slot, after); });
  store_deps(record, s.fresh, block.release());
  return result;
}

void Runtime::store_deps(NodeRecord& record, const std::vector<u32>& deps, DepBlock* block) {
  if (!block) {
    std::copy(deps.begin(), deps.end(), record.deps);
    record.dep_count = static_cast<u8>(deps.size());
    replace_block(record.overflow_deps, nullptr);
  } else {
    replace_block(record.overflow_deps, block);
    record.dep_count = kOverflowDepCount;
  }
}

}  // namespace weft
