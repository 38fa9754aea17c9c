// Runtime construction, handles, slot allocation, input propagation and inspection.
#include "weft/runtime.hpp"

#include <atomic>
#include <new>

#include "engine_internal.hpp"

namespace weft {

namespace {
std::atomic<u64> next_runtime_id{1};
}

Runtime::Runtime() : id_{next_runtime_id.fetch_add(1)} { spare_traversals_.reserve(16); }

Runtime::~Runtime() = default;

void Runtime::fail_foreign(ErasedWeft handle, std::string_view type_name) const {
  fail(cat("weft-core: Weft<", type_name, "> handle from a foreign runtime (handle was minted by runtime ",
           handle.runtime_id.value, ", used on runtime ", id_.value, ")"));
}

void Runtime::fail_stale(ErasedWeft handle, std::string_view type_name, u32 slot_generation) {
  fail(cat("weft-core: stale Weft<", type_name, "> handle: the node at slot ", handle.slot,
           " was deleted (handle generation ", handle.generation, ", slot generation ",
           slot_generation, ")"));
}

void Runtime::fail_arena_missing_for_read() {
  fail("weft-core: arena missing for handle's type; this should be impossible");
}

void Runtime::fail_nested_too_deeply(u32 slot) {
  fail_stack_exhausted(cat("weft-core: reads nested too deeply: the thread's stack is nearly "
                           "exhausted at a read of node ", slot,
                           " (a long chain of never-computed nodes read from its far end; "
                           "reading it again, or from its start, continues where this stopped)"));
}

void Runtime::fail_arena_missing_for_input() {
  fail("weft-core: arena missing for input handle's type");
}

void Runtime::fail_set_on_compute(u32 slot) {
  fail(cat("Runtime::set called on a query (compute) node at slot ", slot,
           "; only input nodes can be set"));
}

void Runtime::fail_create_in_compute(bool query) {
  fail(query ? "create_query called during compute; not permitted"
             : "create_input called during compute; not permitted");
}

bool Runtime::is_alive(ErasedWeft handle) const {
  if (handle.runtime_id != id_) return false;
  const NodeRecord& record = nodes_.checked_get(handle.slot);
  return record.node_state() != NodeState::Deleted && record.generation == handle.generation;
}

void Runtime::prepare_slot() {
  if (!tables_.free_slots.empty()) return;
  if (nodes_.full()) fail(cat("SegmentedNodes exhausted at ", SegmentedNodes::kCapacity, " slots"));
  nodes_.reserve_next();
  reserve_one_more(tables_.compute);
  reserve_one_more(tables_.dependents);
}

u32 Runtime::allocate_slot(u64 stamp, u32 value_index, u16 type_tag, NodeState state) {
  if (!tables_.free_slots.empty()) {
    u32 slot = tables_.free_slots.back();
    tables_.free_slots.pop_back();
    NodeRecord& record = nodes_.get(slot);
    record.verified_at = stamp;
    record.changed_at = stamp;
    record.value_index = value_index;
    record.type_tag = type_tag;
    record.set_state(state);
    record.dep_count = 0;
    return slot;
  }
  NodeRecord fresh;
  fresh.verified_at = stamp;
  fresh.changed_at = stamp;
  fresh.value_index = value_index;
  fresh.type_tag = type_tag;
  fresh.set_state(state);
  u32 slot = nodes_.push(fresh);
  tables_.compute.emplace_back();
  tables_.dependents.emplace_back();
  return slot;
}

namespace {

// Marks a node reached by an invalidation; true when the walk goes on to its dependents.
bool invalidate(NodeRecord& record) {
  switch (record.node_state()) {
    case NodeState::Clean:
    case NodeState::Failed:
      record.set_state(NodeState::Stale);
      return true;
    case NodeState::Computing:
      record.set_state(NodeState::ComputingStale);
      return true;
    case NodeState::Dirty:
      return true;
    case NodeState::Stale:
    case NodeState::ComputingStale:
    case NodeState::Deleted:
      return false;
  }
  return false;
}

}  // namespace

void Runtime::invalidate_dependents(u32 slot) {
  std::vector<u32>& work = invalidation_work_;
  work.clear();
  // The walk runs no user code and changes no table, so one shared access covers it.
  SharedGuard guard(tables_lock_);
  // A dependent is listed once per read; it is queued once.
  auto append_dependents = [&](u32 of) {
    tables_.dependents[of].for_each_slot([&](u32 dependent) { work.push_back(dependent); });
  };
  try {
    append_dependents(slot);
    while (!work.empty()) {
      u32 next = work.back();
      work.pop_back();
      if (invalidate(nodes_.get(next))) append_dependents(next);
    }
  } catch (const std::bad_alloc&) {
    // No room for the walk: every compute node is marked instead, a superset of those it
    // would reach. A node marked needlessly is verified, or recomputed if it had failed,
    // on its next read; none that the write reached is left unmarked.
    for (u32 s = 0; s < nodes_.count(); ++s) {
      if (tables_.compute[s]) invalidate(nodes_.get(s));
    }
  }
  internal::release_if_oversized(work);
}

std::vector<u32> Runtime::dependencies_of(u32 slot) const {
  return with_deps(nodes_.checked_get(slot),
                   [](const u32* deps, std::size_t n) { return std::vector<u32>(deps, deps + n); });
}

std::vector<u32> Runtime::dependents_of(u32 slot) const {
  SharedGuard guard(tables_lock_);
  return slot < tables_.dependents.size() ? tables_.dependents[slot].to_vector() : std::vector<u32>{};
}

bool Runtime::is_compute(u32 slot) const {
  SharedGuard guard(tables_lock_);
  return slot < tables_.compute.size() && tables_.compute[slot] != nullptr;
}

std::optional<u32> Runtime::owner_of(u32 slot) const {
  SharedGuard guard(tables_lock_);
  auto it = tables_.owner_of.find(slot);
  if (it == tables_.owner_of.end()) return std::nullopt;
  return it->second;
}

std::vector<u32> Runtime::owned_by(u32 slot) const {
  SharedGuard guard(tables_lock_);
  auto it = tables_.owned.find(slot);
  return it == tables_.owned.end() ? std::vector<u32>{} : it->second.to_vector();
}

}  // namespace weft
