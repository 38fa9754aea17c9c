// The runtime: one graph's nodes, values, edges, observers and dependency recording, and
// every core operation on them.
#pragma once

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <tsl/robin_map.h>

#include "weft/arena_registry.hpp"
#include "weft/dep_stack.hpp"
#include "weft/hashing.hpp"
#include "weft/locks.hpp"
#include "weft/node.hpp"
#include "weft/observer_registry.hpp"
#include "weft/segmented_nodes.hpp"
#include "weft/slot_list.hpp"
#include "weft/stack_headroom.hpp"

namespace weft {

class Runtime;

// A compute node's function: recomputes the node's value, stores it in the node's cell and
// says whether the value changed. May throw; the failure then continues to the reader.
class ComputeFn {
 public:
  virtual ~ComputeFn() = default;
  virtual bool run(Runtime& runtime, u32 slot, bool was_stale) = 0;
};
using ComputeFnRef = std::shared_ptr<ComputeFn>;

enum class TraceAction : u8 { RecomputedCutoff = 0, RecomputedChanged = 1, VerifiedClean = 2 };

struct TraceRecord {
  u32 slot;
  TraceAction action;
};

template <class T>
struct TracedRead {
  T value;
  std::vector<TraceRecord> records;
  u64 total_nodes = 0;
  u64 nodes_recomputed = 0;
  u64 nodes_cutoff = 0;
  u64 elapsed_ns = 0;
  u32 target = 0;
};

struct NodeSnapshot {
  std::vector<u32> dependencies;
  std::vector<u32> dependents;
  std::optional<std::string> label;
  u32 slot = 0;
  bool is_compute = false;
};

// The compute function of a node of value type T: the kind-specific `compute(runtime)`
// gives the new value and this stores it, with cutoff when the node was being re-verified.
template <class T, class F>
class TypedCompute final : public ComputeFn {
 public:
  TypedCompute(F compute, std::shared_ptr<GenericArena<T>> arena)
      : compute_(std::move(compute)), arena_(std::move(arena)) {}

  bool run(Runtime& runtime, u32 slot, bool was_stale) override;

  F& callable() { return compute_; }

 private:
  F compute_;
  std::shared_ptr<GenericArena<T>> arena_;
};

// A distinct slot of a dependency list, with how often the list names it.
struct SlotCount {
  u32 slot;
  std::size_t count;
};

// The buffers a dependency commit works in. A commit calls out to nothing, so one set serves
// every commit of a runtime.
struct CommitScratch {
  std::vector<u32> old, fresh;
  std::vector<SlotCount> old_tally, fresh_tally;
};

class Runtime {
 public:
  Runtime();
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  RuntimeId id() const { return id_; }
  u64 revision() const { return revision_; }
  bool tracing() const { return tracing_; }
  const SegmentedNodes& nodes() const { return nodes_; }
  LocalDepStack& dep_stack() { return dep_stack_; }
  // A compute run ahead of need is being abandoned: it read a compute in progress, which is
  // no cycle unless its dependent still reads it. Every failure that unwinds meanwhile
  // belongs to the abandoned work and reaches no reader.
  bool retreating() const { return retreat_depth_ != 0; }
  // A failure met during a retreat that is not the abandoned work's own (the program is
  // being interrupted) must reach the outer caller: the retreat ends, and everything on the
  // way fails with it as with any failure.
  void end_retreat() { retreat_depth_ = 0; }
  // The host whose kept state goes with the failures a read sets aside (see FailureHost);
  // none by default. The host outlives the runtime.
  void set_failure_host(FailureHost* host) { failure_host_ = host; }
  const AccessLock& tables_lock() const { return tables_lock_; }
  // The side-table lock itself, for tests that provoke access conflicts.
  AccessLock& tables_lock_for_testing() { return tables_lock_; }

  // ---- handles ----
  // Runtime id, then slot, then generation; returns the node's record.
  NodeRecord& validate(ErasedWeft handle, std::string_view type_name) const {
    if (handle.runtime_id != id_) fail_foreign(handle, type_name);
    NodeRecord& record = nodes_.checked_get(handle.slot);
    if (handle.generation != record.generation) fail_stale(handle, type_name, record.generation);
    return record;
  }
  template <class T>
  NodeRecord& validate(Weft<T> handle) const {
    return validate(handle.erased(), ValueTraits<T>::name);
  }
  bool is_alive(ErasedWeft handle) const;

  // ---- reads ----
  template <class T>
  T read(Weft<T> handle);
  // Brings a node up to date. When that fails inside a compute, the node is noted on the
  // compute's frame as the read that failed.
  void ensure_clean(u32 root);

  // ---- creation and writes ----
  template <class T>
  Weft<T> create_input(T value);
  // As create_input, but allowed while a compute runs (an operator's own input nodes).
  template <class T>
  Weft<T> create_input_unguarded(T value);
  // The one routine behind every compute node: `compute(runtime)` returns the new value.
  template <class T, class F>
  Weft<T> create_compute(F compute);
  template <class T>
  void set(Weft<T> handle, T value);

  // ---- observers ----
  template <class T, class Callback>
  u64 observe(Weft<T> handle, Callback callback);
  void unobserve(u64 observer_id);
  // Brings an observed node up to date; false when it is gone (and a new node may hold its
  // slot): its observers went with it.
  bool settle_observed(u32 slot, u32 generation) {
    const NodeRecord& record = nodes_.get(slot);
    if (record.generation != generation || record.node_state() == NodeState::Deleted) {
      return false;
    }
    if (record.node_state() != NodeState::Clean) ensure_clean(slot);
    return true;
  }
  // What an observer compares with its last_seen: the revision of the node's last change.
  u64 change_stamp(const NodeRecord& record) const {
    return std::min(record.changed_at, revision_);
  }
  // Passes over the observers one stabilize makes at most, settling and callback passes
  // counted together; the first callback pass always runs, so that one may be the 65th
  // (see stabilize).
  static constexpr int kMaxStabilizePasses = 64;
  void stabilize();
  // An observer about to fire for change stamp `stamp` records it as seen first, so that a
  // stabilize its own callback runs does not fire it again for the same change. Returns the
  // last_seen it replaced; nothing when the observer is no longer registered.
  std::optional<u64> claim_firing(u64 observer_id, u64 stamp);
  // Its callback failed: the claim is withdrawn, so the next stabilize considers it again
  // (unless a later firing, from a stabilize the callback ran, moved it on meanwhile).
  void withdraw_firing(u64 observer_id, u64 stamp, u64 previous);

  // ---- labels, traces, snapshots ----
  void set_label(u32 slot, std::string label);
  void record_trace(u32 slot, TraceAction action);
  template <class T>
  TracedRead<T> get_traced(Weft<T> handle);
  std::vector<NodeSnapshot> collect_snapshot() const;
  u64 live_count() const;

  // ---- deletion and ownership ----
  void adopt(ErasedWeft owner, ErasedWeft owned);
  template <class T>
  void delete_node(Weft<T> handle) {
    delete_node(handle.erased(), ValueTraits<T>::name);
  }
  void delete_node(ErasedWeft handle, std::string_view type_name);
  u64 delete_with_dependents(ErasedWeft handle);
  template <class T>
  u64 delete_with_dependents(Weft<T> handle) {
    return delete_with_dependents(handle.erased());
  }

  // ---- inspection (tests, diagnostics) ----
  const NodeRecord& record(u32 slot) const { return nodes_.checked_get(slot); }
  // The record itself, for tests that put a node into a state no public operation reaches.
  NodeRecord& record_for_testing(u32 slot) { return nodes_.checked_get(slot); }
  std::vector<u32> dependencies_of(u32 slot) const;
  std::vector<u32> dependents_of(u32 slot) const;
  bool is_compute(u32 slot) const;
  std::optional<u32> owner_of(u32 slot) const;
  std::vector<u32> owned_by(u32 slot) const;
  std::size_t observer_count() const { return tables_.observers.size(); }
  std::size_t free_slot_count() const { return tables_.free_slots.size(); }
  const std::vector<TraceRecord>& trace_buffer() const { return tables_.trace; }

 private:
  // Everything behind the side-table lock.
  struct SideTables {
    std::vector<ComputeFnRef> compute;
    std::vector<SlotList> dependents;
    ArenaRegistry arenas;
    std::vector<TraceRecord> trace;
    std::vector<u32> free_slots;
    u64 abandoned_slots = 0;  // freed, but without room to list them in free_slots
    std::unordered_map<u32, std::string, RandomHasher> labels;
    ObserverRegistry observers;
    std::unordered_map<u32, u32, RandomHasher> owner_of;
    std::unordered_map<u32, SlotList, RandomHasher> owned;
  };

  [[noreturn]] void fail_foreign(ErasedWeft handle, std::string_view type_name) const;
  [[noreturn]] static void fail_stale(ErasedWeft handle, std::string_view type_name,
                                      u32 slot_generation);
  [[noreturn]] static void fail_arena_missing_for_read();
  [[noreturn]] static void fail_nested_too_deeply(u32 slot);
  [[noreturn]] static void fail_deleted_while_read(u32 slot);
  [[noreturn]] static void fail_arena_missing_for_input();
  [[noreturn]] static void fail_set_on_compute(u32 slot);
  [[noreturn]] static void fail_create_in_compute(bool query);

  // Takes a slot for a new node (the last freed one, else a fresh one). Under exclusive
  // side-table access.
  // Makes room for the slot `allocate_slot` hands out next, or fails when the node table is
  // full: what a new node stores before its record (its value, its compute) is then never
  // left without one.
  void prepare_slot();
  // A slot for a new node; after `prepare_slot`, it cannot fail.
  u32 allocate_slot(u64 stamp, u32 value_index, u16 type_tag, NodeState state);
  template <class T>
  Weft<T> mint(u32 slot) const {
    return Weft<T>{slot, nodes_.get(slot).generation, id_};
  }

  // One node on ensure_clean's work stack: not expanded yet; expanded (to be dispatched as
  // it is); expanded with its dependencies pushed above it and its record marked; or the
  // traversal's own node met again through a loop, to be dispatched as it is.
  enum class Step : u8 { Unexpanded, Expanded, ExpandedMarked, RootMetAgain };
  struct TraversalEntry {
    u32 slot;
    Step step;
  };

  // Verification and recomputation steps of ensure_clean. `is_root`: the node is the one
  // being read, not a recorded dependency of it brought up to date on the way.
  void dispatch(u32 slot, bool is_root);
  bool check_or_recompute(u32 slot, NodeState dispatched, bool is_root);
  // A failure met while a recorded dependency is brought up to date, before its dependent
  // is verified: the dependent may no longer read that node. Set aside until the outermost
  // read ends, it is raised again for a dependent that would read the node first among what
  // changed, and for a read that meets the node still Failed.
  struct SetAsideFailure {
    u32 generation;
    std::exception_ptr failure;
    std::shared_ptr<void> kept;  // what the host keeps of it (FailureHost::set_aside)
  };
  // Sets aside the failure in flight of a recorded dependency the traversal dispatched,
  // unless it must go on at once (a retreat, the host's interruption, no room to keep it).
  bool set_aside_failure(u32 slot);
  [[noreturn]] void raise_set_aside(SetAsideFailure& entry);
  // Leaves a recorded dependency of the node being read Stale, marked until the traversal
  // that reached it ends, so that the other nodes that recorded it dispatch it as it is.
  void leave_unverified(u32 slot);
  void unmark_unverified(std::size_t base);
  // A read reached a compute running on this thread: a cycle, unless a speculative compute
  // runs above that one; the failure then unwinds to it quietly, and it is left unverified.
  [[noreturn]] void fail_running(u32 slot);
  bool recompute(u32 slot, ComputeFn& fn, bool was_stale, u64 start, bool speculative);
  // Whether a failed compute may end Failed: every node it read is settled, so its failure
  // stands until one of them changes.
  bool reads_settled(const DepFrame& frame, u64 start) const;
  // Ends a compute Stale. A Stale node stops every later invalidation, so no dependent of it
  // may stay Failed (one that failed reading it while it computed, through a cycle).
  void end_stale(u32 slot);
  // Turns the Failed dependents of `slot` Stale, and their Failed dependents in turn, to be
  // retried once it changes; when memory runs out, every Failed node instead.
  void retry_failed_dependents(u32 slot);
  int commit_deps(u32 slot, const std::vector<ReadRecord>& reads, bool merge, u64 start);
  // commit_deps, or when memory runs out, the node left Dirty (and counted as changed when
  // `value_changed`, the compute having stored a value), its Failed dependents to be
  // retried (no write may reach them through its unrecorded reads), and the failure passed
  // on.
  int commit_or_give_up(u32 slot, const std::vector<ReadRecord>& reads, bool merge, u64 start, bool value_changed);
  // Stores `deps` in the record, in `block` (made for them) when they do not fit inline.
  void store_deps(NodeRecord& record, const std::vector<u32>& deps, DepBlock* block);

  // An observer's last_seen in the registry; nothing once it is removed.
  std::optional<u64> registered_last_seen(u64 observer_id) const;

  void invalidate_dependents(u32 slot);

  // Deletion steps.
  // Frees a node marked Deleted, given its distinct dependencies; made so that it cannot
  // fail, since a node marked Deleted and never freed could neither be read nor deleted.
  void release_slot(u32 slot, std::vector<u32> deps);
  // Releases observers taken out of the registry, or keeps them for the running stabilize.
  void retire_observers(ObserverChain& removed) noexcept;
  // Fails while the node's value cell cannot be released, before a deletion claims it.
  void check_cell_releasable(u32 slot) const;

  RuntimeId id_;
  SegmentedNodes nodes_;
  mutable AccessLock tables_lock_;
  SideTables tables_;
  u64 next_observer_id_ = 1;
  u64 revision_ = 1;
  LocalDepStack dep_stack_;
  // While retreating: the depth of the speculative frame the failure unwinds to; 0 otherwise.
  std::size_t retreat_depth_ = 0;
  // Nodes left unverified by the traversals in progress, each traversal's above the ones of
  // the traversals it runs in.
  std::vector<u32> unverified_;
  // The expansions left to the traversals in progress: the outermost sets it and those it
  // runs through computes share it, so that recorded lists looping through nested reads
  // cannot spend a budget for each read.
  u64 traversal_budget_ = 0;
  u32 traversals_running_ = 0;
  tsl::robin_map<u32, SetAsideFailure, RandomHasher> set_aside_;  // by slot
  // Nodes whose compute caught a failure during the outermost read in progress (slot ->
  // generation): each is left Stale, to run again on a later read, but serves its value
  // for the rest of this one. Run again on each read, a chain of such nodes that read one
  // another more than once would run exponentially often.
  tsl::robin_map<u32, u32, RandomHasher> served_tainted_;
  // Both tests start with the map's emptiness: one load on the paths of ordinary reads.
  bool served_this_read(u32 slot) const {
    if (served_tainted_.empty()) return false;
    auto it = served_tainted_.find(slot);
    return it != served_tainted_.end() && it->second == nodes_.get(slot).generation;
  }
  // Valid until the next failure is set aside.
  SetAsideFailure* set_aside_for(u32 slot) {
    if (set_aside_.empty()) return nullptr;
    auto it = set_aside_.find(slot);
    if (it == set_aside_.end() || it->second.generation != nodes_.get(slot).generation) return nullptr;
    return &it.value();
  }
  FailureHost* failure_host_ = nullptr;
  bool tracing_ = false;
  u64 stabilizes_started_ = 0;  // tells a stabilize that a callback ran one meanwhile
  u32 stabilize_depth_ = 0;      // stabilizes in progress: callbacks may run their own
  // Observers removed while a stabilize runs, released when the outermost one ends: a
  // stabilize's snapshot names the observers by plain pointer.
  ObserverChain retired_observers_;
  // The revision and next observer id a stabilize left with every observer up to date, each
  // one fired or not due and every observed node Clean; while both stay so, a stabilize
  // has nothing to do. A write moves the revision, an observer added moves the id (removing
  // one or deleting a node can make no observer due).
  u64 quiet_revision_ = 0;
  u64 quiet_next_observer_id_ = 0;
  std::vector<u32> invalidation_work_;  // reused by every propagation; it calls out to nothing
  CommitScratch commit_scratch_;
  // Work stacks of finished traversals, reused by later ones (traversals nest through
  // computes, so each running one holds its own). Never grows past its reserved capacity.
  std::vector<std::vector<TraversalEntry>> spare_traversals_;
};

// ---- template definitions ----

template <class T, class F>
bool TypedCompute<T, F>::run(Runtime& runtime, u32 slot, bool was_stale) {
  T value = compute_(runtime);
  u32 index = runtime.nodes().get(slot).value_index;
  DiscardedReads storing(runtime.dep_stack(), slot);
  if (!was_stale) {
    arena_->overwrite(index, std::move(value));
    return true;
  }
  return arena_->write_if_changed(index, std::move(value));
}

template <class T>
T Runtime::read(Weft<T> handle) {
  NodeRecord& record = validate(handle);
  dep_stack_.record_read(handle.slot, handle.generation);
  // Only a node that is not Clean needs verifying, and only such a read can nest a compute.
  // The stack is checked after the read is recorded: a compute that fails here keeps that
  // node as a dependency, so it ends Stale rather than Failed and a later read (which then
  // walks the recorded chain without nesting) retries.
  if (record.node_state() != NodeState::Clean) {
    if (stack_nearly_exhausted() || host_nesting_budget_spent(dep_stack_.depth())) {
      fail_nested_too_deeply(handle.slot);
    }
    ensure_clean(handle.slot);
    // A compute run on the way may have deleted this node, and a node made since may hold
    // its slot: the record is then not the one the handle names.
    if (record.generation != handle.generation || record.node_state() == NodeState::Deleted) {
      fail_deleted_while_read(handle.slot);
    }
  }
  GenericArena<T>* arena;
  {
    SharedGuard guard(tables_lock_);
    arena = tables_.arenas.template arena_ptr_for_tag<T>(record.type_tag);
  }
  if (!arena) fail_arena_missing_for_read();
  return arena->read(record.value_index);
}

template <class T>
Weft<T> Runtime::create_input(T value) {
  if (dep_stack_.in_compute()) fail_create_in_compute(false);
  return create_input_unguarded<T>(std::move(value));
}

template <class T>
Weft<T> Runtime::create_input_unguarded(T value) {
  ExclusiveGuard guard(tables_lock_);
  prepare_slot();
  u64 now = revision_;
  auto [tag, arena] = tables_.arenas.template ensure_tagged<T>();
  u32 index = arena->alloc(std::move(value));  // moved from only once it has a cell
  u32 slot = allocate_slot(now, index, tag, NodeState::Clean);
  return mint<T>(slot);
}

template <class T, class F>
Weft<T> Runtime::create_compute(F compute) {
  if (dep_stack_.in_compute()) fail_create_in_compute(true);
  ComputeFnRef fn, replaced;  // dropped after the guard is released
  ExclusiveGuard guard(tables_lock_);
  prepare_slot();
  auto [tag, arena] = tables_.arenas.template ensure_tagged<T>();
  fn = std::make_shared<TypedCompute<T, F>>(std::move(compute), arena);
  u32 index = arena->alloc_empty();
  u32 slot = allocate_slot(0, index, tag, NodeState::Dirty);
  replaced = std::move(tables_.compute[slot]);
  tables_.compute[slot] = std::move(fn);
  return mint<T>(slot);
}

template <class T>
void Runtime::set(Weft<T> handle, T value) {
  NodeRecord& record = validate(handle);
  GenericArena<T>* arena;
  {
    SharedGuard guard(tables_lock_);
    arena = tables_.arenas.template arena_ptr_for_tag<T>(record.type_tag);
    if (!arena) fail_arena_missing_for_input();
    if (tables_.compute[handle.slot]) fail_set_on_compute(handle.slot);
  }
  if (arena->equals(record.value_index, value)) return;
  if (record.changed_at != kBeingWritten) record.changed_at = kBeingWritten;
  // The old value is dropped last: its finaliser then sees the write complete, the
  // dependents marked, and not a dependent still Clean with a result of the old value.
  [[maybe_unused]] std::optional<T> replaced = arena->overwrite(record.value_index, std::move(value));
  revision_ += 1;
  record.changed_at = revision_;
  record.verified_at = std::max(record.verified_at, revision_);
  invalidate_dependents(handle.slot);
}

template <class T, class Callback>
class CallbackObserver final : public ObserverBase {
 public:
  CallbackObserver(Weft<T> handle, Callback callback)
      : handle_(handle), callback_(std::move(callback)) {}

  ObserverCheck check(Runtime& runtime, u64 observer_id, u64 last_seen) override {
    // A callback run earlier in the same stabilize may have deleted the node.
    if (!runtime.settle_observed(handle_.slot, handle_.generation)) {
      return {false, last_seen, runtime.revision()};
    }
    u64 stamp = runtime.change_stamp(runtime.nodes().get(handle_.slot));
    if (last_seen >= stamp) return {false, stamp, runtime.revision()};
    T value = runtime.read(handle_);
    u64 settled = runtime.revision();
    std::optional<u64> previous = runtime.claim_firing(observer_id, stamp);
    try {
      callback_(value);
    } catch (...) {
      if (previous) runtime.withdraw_firing(observer_id, stamp, *previous);
      throw;
    }
    return {true, stamp, settled};
  }

 private:
  Weft<T> handle_;
  Callback callback_;
};

template <class T, class Callback>
u64 Runtime::observe(Weft<T> handle, Callback callback) {
  NodeRecord& record = validate(handle);
  // A node never computed, or whose last compute failed (a failure moves its change stamp
  // past its last verification), has no value its observer could have seen: the observer
  // reports the first value it settles at, even one equal to what it held before it failed.
  const bool has_no_value = record.node_state() == NodeState::Dirty || record.verified_at < record.changed_at;
  u64 last_seen = has_no_value ? 0 : change_stamp(record);
  ObserverRef observer = std::make_shared<CallbackObserver<T, Callback>>(handle, std::move(callback));
  ExclusiveGuard guard(tables_lock_);
  u64 id = next_observer_id_;
  tables_.observers.add(id, std::move(observer), handle.erased(), last_seen);
  ++next_observer_id_;
  return id;
}

template <class T>
TracedRead<T> Runtime::get_traced(Weft<T> handle) {
  tables_lock_.check_exclusive_available();
  // A traced read made by a compute that another traced read runs reports what it did
  // itself, and the outer read keeps its own records with the inner ones after them: the
  // outer read still traces everything that happens while it runs.
  const bool outer_tracing = tracing_;
  std::vector<TraceRecord> outer_records = std::exchange(tables_.trace, {});
  tracing_ = true;
  // This read's records are appended to the outer read's, which are then the buffer again.
  // Without an outer read, a failed read leaves its records in the buffer.
  auto give_back_outer = [&](const std::vector<TraceRecord>& inner) {
    tracing_ = outer_tracing;
    if (!outer_tracing) return;
    outer_records.insert(outer_records.end(), inner.begin(), inner.end());
    tables_.trace = std::move(outer_records);
  };
  auto start = std::chrono::steady_clock::now();
  std::optional<T> read_value;
  std::chrono::steady_clock::duration elapsed{};
  try {
    read_value.emplace(read(handle));
    elapsed = std::chrono::steady_clock::now() - start;
    tables_lock_.check_exclusive_available();
  } catch (...) {
    give_back_outer(tables_.trace);
    throw;
  }
  TracedRead<T> result{std::move(*read_value), std::exchange(tables_.trace, {})};
  give_back_outer(result.records);
  for (const TraceRecord& r : result.records) {
    if (r.action != TraceAction::VerifiedClean) ++result.nodes_recomputed;
    if (r.action == TraceAction::RecomputedCutoff) ++result.nodes_cutoff;
  }
  result.total_nodes = live_count();
  result.elapsed_ns =
      static_cast<u64>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
  result.target = handle.slot;
  return result;
}

}  // namespace weft
