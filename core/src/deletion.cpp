// Node deletion, owned nodes and slot release.
#include <algorithm>
#include <thread>
#include <unordered_map>

#include "weft/runtime.hpp"

#include "engine_internal.hpp"

namespace weft {

namespace {

using internal::is_computing;
using internal::Backoff;

[[noreturn]] void fail_twice(u32 slot) {
  fail(cat("weft-core: node ", slot, " deleted twice concurrently"));
}

[[noreturn]] void fail_own_compute(u32 slot) {
  fail(cat("weft-core: delete_node called from inside node ", slot, "'s own compute"));
}

// Each slot once, ascending: a node read many times lists its dependency once per read.
std::vector<u32> distinct(std::vector<u32> slots) {
  std::sort(slots.begin(), slots.end());
  slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
  return slots;
}

}  // namespace

void Runtime::adopt(ErasedWeft owner, ErasedWeft owned) {
  ExclusiveGuard guard(tables_lock_);
  auto alive = [&](ErasedWeft handle, RuntimeId runtime) {
    if (handle.runtime_id != runtime) return false;
    const NodeRecord& record = nodes_.checked_get(handle.slot);
    return record.node_state() != NodeState::Deleted && record.generation == handle.generation;
  };
  if (!alive(owner, id_)) fail(cat("weft-core: adopt of deleted node ", owner.slot));
  if (!alive(owned, owner.runtime_id)) fail(cat("weft-core: adopt of deleted node ", owned.slot));
  if (tables_.compute[owned.slot]) {
    fail(cat("weft-core: adopt of node ", owned.slot, ", which is not an input"));
  }
  if (tables_.owner_of.contains(owned.slot)) {
    fail(cat("weft-core: node ", owned.slot, " adopted twice"));
  }
  // An owner owned, however indirectly, by the node it adopts would close a loop that
  // deleting any node of it would walk for good.
  for (u32 above = owner.slot;;) {
    if (above == owned.slot) {
      fail(cat("weft-core: adopt of node ", owned.slot, " by node ", owner.slot,
               ", which it owns"));
    }
    auto it = tables_.owner_of.find(above);
    if (it == tables_.owner_of.end()) break;
    above = it->second;
  }
  // Both tables have room before either records the adoption: one that runs out of memory
  // leaves no node owned on one side only.
  auto [list, made] = tables_.owned.try_emplace(owner.slot);
  try {
    list->second.reserve(1);
    tables_.owner_of.emplace(owned.slot, owner.slot);
  } catch (...) {
    if (made) tables_.owned.erase(list);
    throw;
  }
  list->second.append(owned.slot);
}

void Runtime::delete_node(ErasedWeft handle, std::string_view type_name) {
  NodeRecord& record = validate(handle, type_name);
  const u32 slot = handle.slot;
  if (dep_stack_.is_on_stack(slot)) fail_own_compute(slot);

  struct Victim {
    u32 slot;
    u32 generation;
  };
  Backoff backoff;
  std::vector<Victim> victims;  // owned nodes, in the order the ownership walk met them
  std::vector<Victim> kept;     // victims this call claimed and will release
  std::vector<Victim> waits;    // victims another deleter claimed first
  std::vector<u32> work;
  std::vector<u32> deps;  // the node's; owned nodes are inputs, which have none
  for (;;) {
    if (record.generation != handle.generation) fail_twice(slot);
    NodeState seen = record.node_state();
    if (is_computing(seen)) {
      backoff.wait();
      continue;
    }
    if (seen == NodeState::Deleted) {
      while (record.generation == handle.generation) backoff.wait();
      fail_twice(slot);
    }
    SharedGuard guard(tables_lock_);
    if (record.generation != handle.generation) {
      guard.release();
      fail_twice(slot);
    }
    victims.clear();
    work.assign(1, slot);
    bool restart = false;
    while (!work.empty() && !restart) {
      u32 x = work.back();
      work.pop_back();
      if (!tables_.dependents[x].empty()) {
        guard.release();
        if (x == slot) {
          fail(cat("weft-core: delete_node on node ", slot,
                   " which still has dependents; delete downstream nodes first"));
        }
        fail(cat("weft-core: delete_node on node ", slot, " whose owned node ", x,
                 " still has dependents; delete downstream nodes first"));
      }
      if (x != slot) {
        const NodeRecord& owned = nodes_.get(x);
        if (owned.node_state() == NodeState::Deleted) {
          u32 generation = owned.generation;
          guard.release();
          while (nodes_.get(x).generation == generation) backoff.wait();
          restart = true;
          break;
        }
        victims.push_back({x, owned.generation});
      }
      if (auto it = tables_.owned.find(x); it != tables_.owned.end()) {
        work.insert(work.end(), it->second.begin(), it->second.end());
      }
    }
    if (restart) continue;
    if (record.node_state() != seen) continue;
    check_cell_releasable(slot);
    for (const Victim& victim : victims) check_cell_releasable(victim.slot);
    // What can fail is done before the first node is claimed: a claimed node must be released.
    kept.reserve(victims.size());
    waits.reserve(victims.size());
    deps = distinct(dependencies_of(slot));
    record.set_state(NodeState::Deleted);
    for (const Victim& victim : victims) {
      NodeRecord& owned = nodes_.get(victim.slot);
      if (owned.node_state() == NodeState::Deleted) {
        waits.push_back(victim);
      } else {
        owned.set_state(NodeState::Deleted);
        kept.push_back(victim);
      }
    }
    break;
  }
  for (const Victim& victim : waits) {
    while (nodes_.get(victim.slot).generation == victim.generation) backoff.wait();
  }
  for (auto it = kept.rbegin(); it != kept.rend(); ++it) release_slot(it->slot, {});
  release_slot(slot, std::move(deps));
}

u64 Runtime::delete_with_dependents(ErasedWeft handle) {
  if (dep_stack_.in_compute()) {
    fail("weft-core: delete_with_dependents called during compute; not permitted");
  }
  if (handle.runtime_id != id_) {
    fail(cat("weft-core: delete_with_dependents with a handle from a foreign runtime (handle was "
             "minted by runtime ",
             handle.runtime_id.value, ", used on runtime ", id_.value, ")"));
  }
  std::vector<ErasedWeft> stack{handle};
  // How often each slot stands on the stack. A failed compute that read itself (or a loop of
  // them) records a cycle of dependents; an edge back to a node already on the stack is not
  // followed, since that node is deleted on the way back anyway.
  std::unordered_map<u32, u32, RandomHasher> on_stack{{handle.slot, 1}};
  auto push = [&](u32 slot) {
    stack.push_back({slot, nodes_.get(slot).generation, id_});
    ++on_stack[slot];
  };
  auto pop = [&] {
    u32 slot = stack.back().slot;
    stack.pop_back();
    if (--on_stack[slot] == 0) on_stack.erase(slot);
  };
  auto first_off_stack = [&](const auto& slots) -> std::optional<u32> {
    for (u32 s : slots) {
      if (!on_stack.contains(s)) return s;
    }
    return std::nullopt;
  };
  // The next node to descend into from `slot`: a dependent first, then an owned node.
  auto next_below = [&](u32 slot) -> std::optional<u32> {
    if (auto d = first_off_stack(tables_.dependents[slot])) return d;
    if (auto it = tables_.owned.find(slot); it != tables_.owned.end()) return first_off_stack(it->second);
    return std::nullopt;
  };

  u64 count = 0;
  while (!stack.empty()) {
    ErasedWeft top = stack.back();
    {
      SharedGuard guard(tables_lock_);
      if (nodes_.checked_get(top.slot).generation != top.generation) {
        guard.release();
        pop();
        continue;
      }
      if (auto below = next_below(top.slot)) {
        guard.release();
        push(*below);
        continue;
      }
    }
    if (top.runtime_id != id_) fail("weft-core: delete of a handle from a foreign runtime");
    NodeRecord& record = nodes_.get(top.slot);
    if (record.generation != top.generation) {
      pop();
      continue;
    }
    if (dep_stack_.is_on_stack(top.slot)) fail_own_compute(top.slot);
    Backoff backoff;
    for (;;) {
      NodeState seen = record.node_state();
      if (is_computing(seen)) {
        backoff.wait();
        continue;
      }
      if (seen == NodeState::Deleted) {
        while (record.generation == top.generation) backoff.wait();
        pop();
        break;
      }
      SharedGuard guard(tables_lock_);
      if (record.generation != top.generation) {
        guard.release();
        pop();
        break;
      }
      if (next_below(top.slot)) break;  // gained a dependent: look at this entry again
      if (record.node_state() != seen) continue;
      check_cell_releasable(top.slot);
      std::vector<u32> deps = distinct(dependencies_of(top.slot));
      record.set_state(NodeState::Deleted);
      guard.release();
      release_slot(top.slot, std::move(deps));
      ++count;
      pop();
      break;
    }
  }
  return count;
}

// A comparison that runs user code (a Python __eq__ called by `set`) holds the value
// arena; user code deleting a node then would free the slot but not the cell. Checked under
// the side tables' shared access, before anything is claimed.
void Runtime::check_cell_releasable(u32 slot) const {
  tables_.arenas.arena_at(nodes_.get(slot).type_tag)->check_releasable();
}

void Runtime::release_slot(u32 slot, std::vector<u32> deps) {
  NodeRecord& record = nodes_.get(slot);
  const u32 value_index = record.value_index;
  const u16 type_tag = record.type_tag;
  replace_block(record.overflow_deps, nullptr);
  record.set_state(NodeState::Deleted);
  record.dep_count = 0;

  // Released after the side tables are given up: dropping them may run user code.
  ComputeFnRef fn;
  ObserverChain observers;
  std::shared_ptr<ErasedArena> arena;
  std::string label;
  {
    ExclusiveGuard guard(tables_lock_);
    // Once per distinct dependency (`deps` comes distinct): one removal takes all the entries
    // of this node, however many times it read the dependency.
    for (u32 dep : deps) tables_.dependents[dep].remove_all(slot);
    tables_.dependents[slot].reset();
    if (auto it = tables_.owner_of.find(slot); it != tables_.owner_of.end()) {
      u32 owner = it->second;
      tables_.owner_of.erase(it);
      auto list = tables_.owned.find(owner);
      if (list == tables_.owned.end()) fail("weft-core: owner_of names an owner with no owned list");
      list->second.remove_all(slot);
      if (list->second.empty()) tables_.owned.erase(list);
    }
    record.generation += 1;  // wraps
    fn = std::move(tables_.compute[slot]);
    if (auto it = tables_.labels.find(slot); it != tables_.labels.end()) {
      label = std::move(it->second);
      tables_.labels.erase(it);
    }
    arena = tables_.arenas.arena_at(type_tag);
    try {
      tables_.free_slots.push_back(slot);
    } catch (const std::bad_alloc&) {
      ++tables_.abandoned_slots;  // without room to list it as free, it is never reused
    }
    // Last: once out, the observers must reach retire_observers below, since a running
    // stabilize may still name them.
    tables_.observers.remove_all_of_slot(slot, observers);
  }
  fn.reset();
  retire_observers(observers);
  arena->release(value_index);
}

}  // namespace weft
