// Group-by: one collection per key, kept up to date by one router node that owns the groups'
// version nodes.
#pragma once

#include <atomic>
#include <optional>
#include <type_traits>
#include <vector>

#include "weft/collection.hpp"

namespace weft {

[[noreturn]] void fail_staged_without_key();
[[noreturn]] void fail_router_unrecorded();
[[noreturn]] void fail_router_recorded_twice();

// The key -> group table, shared by the router and the grouped collection's handle. A group,
// once made, stays in it for the table's lifetime.
template <class K, class E>
struct GroupsTable {
  AccessLock borrow;
  ElementMap<K, CollectionHandle<E>> groups;
};

template <class K, class E>
struct GroupedHandle {
  std::shared_ptr<GroupsTable<K, E>> table;
  Weft<u64> router;
};

template <class K, class E>
std::optional<CollectionHandle<E>> get_group(const GroupedHandle<K, E>& g, const K& key) {
  SharedGuard borrow(g.table->borrow);
  auto it = g.table->groups.find(key);
  if (it == g.table->groups.end()) return std::nullopt;
  return it->second;
}

template <class K, class E>
u64 group_count(const GroupedHandle<K, E>& g) {
  SharedGuard borrow(g.table->borrow);
  return g.table->groups.size();
}

template <class K, class E>
std::vector<K> group_keys(const GroupedHandle<K, E>& g) {
  SharedGuard borrow(g.table->borrow);
  std::vector<K> keys;
  keys.reserve(g.table->groups.size());
  for (const auto& entry : g.table->groups) keys.push_back(entry.first);
  return keys;
}

namespace group_by_detail {

// The key of each element routed in and not yet routed out, with how many copies are in.
// What it lets go of is set aside, to be dropped by `drop_released` once the borrows are
// given up: the memo may hold the last reference to an element deleted through an equal one.
template <class K, class E>
struct KeyMemo {
  struct Entry {
    K key;
    u64 copies;
  };
  AccessLock borrow;
  ElementMap<E, Entry> entries;
  std::vector<E> released_elements;
  std::vector<K> released_keys;

  void record(const E& element, const K& key) {
    auto [it, inserted] = entries.try_emplace(element, Entry{key, 0});
    if (!inserted) {
      released_keys.push_back(std::move(it.value().key));
      it.value().key = key;
    }
    ++it.value().copies;
  }

  // The key an element was routed under, consuming one copy; nothing if it was never in.
  std::optional<K> take(const E& element) {
    auto it = entries.find(element);
    if (it == entries.end()) return std::nullopt;
    if (it.value().copies > 1) {
      K key = it->second.key;
      --it.value().copies;
      return key;
    }
    // The stored element is moved aside and its entry erased at once, as a collection state
    // does with its keys.
    released_elements.push_back(std::move(const_cast<E&>(it->first)));
    K key = std::move(it.value().key);
    entries.erase(it);
    return key;
  }

  void drop_released() {
    drop_one_by_one(released_elements);
    drop_one_by_one(released_keys);
  }
};

// The positions of one router run's routed deltas, grouped by key. A run usually carries a
// few deltas, so they are grouped by a scan of the keys seen so far; a large batch goes
// through a map instead. The scan matches keys as the map does, hash first and then
// equality, so keys that compare equal but hash apart make two groups however the changes
// are batched. The router keeps one and clears it after each run: the scanned slots keep
// their buffers, so a steady stream of small runs allocates nothing, and no key stays
// referenced.
template <class K>
class PerKey {
 public:
  void add(K key, std::size_t position) {
    if (!by_map_) {
      i64 hash = ElementTraits<K>::hash(key);
      for (std::size_t i = 0; i < used_; ++i) {
        if (few_[i].hash == hash && ElementTraits<K>::equal(*few_[i].key, key)) {
          few_[i].positions.push_back(position);
          return;
        }
      }
      if (used_ < kScanLimit) {
        if (used_ == few_.size()) few_.emplace_back();
        few_[used_].key.emplace(std::move(key));
        few_[used_].hash = hash;
        few_[used_].positions.push_back(position);
        ++used_;
        return;
      }
      by_map_.emplace();
      for (std::size_t i = 0; i < used_; ++i) {
        by_map_->emplace(std::move(*few_[i].key), std::move(few_[i].positions));
      }
      clear_scanned();
    }
    (*by_map_)[std::move(key)].push_back(position);
  }

  template <class Visit>
  void for_each(Visit&& visit) {
    for (std::size_t i = 0; i < used_; ++i) visit(*few_[i].key, few_[i].positions);
    if (by_map_) {
      for (auto it = by_map_->begin(); it != by_map_->end(); ++it) visit(it->first, it.value());
    }
  }

  void clear() {
    clear_scanned();
    by_map_.reset();
  }

 private:
  struct Slot {
    std::optional<K> key;
    i64 hash = 0;
    std::vector<std::size_t> positions;
  };

  void clear_scanned() {
    for (std::size_t i = 0; i < used_; ++i) {
      few_[i].key.reset();
      few_[i].positions.clear();
    }
    used_ = 0;
  }

  static constexpr std::size_t kScanLimit = 8;
  std::vector<Slot> few_;
  std::size_t used_ = 0;  // slots in use, from the front
  std::optional<ElementMap<K, std::vector<std::size_t>>> by_map_;
};

// A delta the key memo has taken in, with its key, and whether its group has it yet.
template <class K, class E>
struct Routed {
  K key;
  Delta<E> delta;
  bool applied;
};

template <class K, class E>
struct RouterState {
  std::shared_ptr<GroupsTable<K, E>> table;
  KeyMemo<K, E> memo;
  std::atomic<u64> runs{0};
  std::optional<Weft<u64>> router;
  StateRef<E> source;
  CursorRef cursor;
  Weft<u64> source_version;
  // The router's buffers, kept between its runs.
  std::vector<Delta<E>> incoming;
  std::vector<std::optional<K>> keys;
  // What the memo has taken in and the groups not yet: empty between runs, unless a run
  // failed halfway, which leaves the rest to be applied, before anything later, by the next.
  std::vector<Routed<K, E>> routed;
  PerKey<K> per_key;
  // The groups a run changed, for their `drop_released` once the run gives up the table's
  // borrow; the table keeps them.
  std::vector<CollectionState<E>*> changed_groups;
};

// The group for `key`, in its table slot (which stays put until the table next gains a
// group), and whether it was created now. A group created while the router runs is adopted
// at once; groups created while building are adopted once the router exists. Caller holds
// the table's exclusive borrow.
template <class K, class E>
std::pair<const CollectionHandle<E>*, bool> find_or_create_group(Runtime& runtime, RouterState<K, E>& state,
                                                                 const K& key, bool adopt_now) {
  auto it = state.table->groups.find(key);
  if (it != state.table->groups.end()) return {&it->second, false};
  CollectionHandle<E> group = create_owned_collection<E>(runtime);
  try {
    if (adopt_now) {
      if (!state.router) fail_router_unrecorded();
      runtime.adopt(state.router->erased(), group.version_node.erased());
    }
    return {&state.table->groups.emplace(key, group).first->second, true};
  } catch (...) {
    // A group left out of the table would leave its node behind, and the next run would
    // make another.
    runtime.delete_node(group.version_node);
    throw;
  }
}

// Applies one group's routed deltas, at `positions`, marking each once applied: an insert
// or remove that fails changes nothing, so the deltas not marked are all the group lacks.
// What the group lets go of stays set aside for its `drop_released`.
template <class K, class E>
void apply_to_group(CollectionState<E>& group, std::vector<Routed<K, E>>& routed,
                    const std::vector<std::size_t>& positions) {
  ExclusiveGuard borrow(group.borrow);
  for (std::size_t i : positions) {
    Delta<E>& d = routed[i].delta;
    if (d.kind == DeltaKind::Insert) {
      group.insert(std::move(d.element));
    } else {
      group.remove(std::move(d.element));
    }
    routed[i].applied = true;
  }
}

}  // namespace group_by_detail

// `key_of(element)` gives an element's group key.
template <class K, class E, class KeyFn>
GroupedHandle<K, E> group_by(Runtime& runtime, const CollectionHandle<E>& source, KeyFn key_of) {
  using namespace group_by_detail;
  check_operator_source(runtime, source.version_node);
  auto state = std::make_shared<RouterState<K, E>>();
  state->source = source.state;
  state->source_version = source.version_node;
  std::vector<E> snapshot;
  state->cursor = subscribe(*state->source, snapshot);
  state->table = std::make_shared<GroupsTable<K, E>>();

  std::vector<K> keys;
  keys.reserve(snapshot.size());
  for (const E& e : snapshot) keys.push_back(key_of(e));
  std::vector<Weft<u64>> created;
  created.reserve(snapshot.size());
  // Until the router owns them, the groups built have no owner to take them away: when the
  // build fails (no room, or no router: group_by inside a compute, for one), their nodes go
  // at once rather than stay behind unreachable.
  auto drop_created = [&] {
    for (Weft<u64> node : created) runtime.delete_node(node);
  };
  try {
    for (std::size_t i = 0; i < snapshot.size(); ++i) {
      {
        ExclusiveGuard borrow(state->memo.borrow);
        state->memo.record(snapshot[i], keys[i]);
      }
      auto [group, is_new] = [&] {
        ExclusiveGuard borrow(state->table->borrow);
        auto [found, created_now] = find_or_create_group(runtime, *state, keys[i], false);
        return std::pair{*found, created_now};
      }();
      if (is_new) created.push_back(group.version_node);
      u64 version;
      {
        ExclusiveGuard borrow(group.state->borrow);
        group.state->insert(snapshot[i]);
        version = group.state->version();
      }
      runtime.set(group.version_node, version);
      group.state->drop_released();
    }
  } catch (...) {
    drop_created();
    throw;
  }
  state->memo.drop_released();

  auto route = [state, key_of = std::move(key_of)](Runtime& rt) mutable -> u64 {
    rt.read(state->source_version);
    ScratchBuffer<Delta<E>> in(state->incoming);
    append_pending(*state->source, *state->cursor, in.get());
    std::vector<Routed<K, E>>& routed = state->routed;
    if (in.get().empty() && routed.empty()) return state->runs.load();
    // Every key is computed before anything is routed, so a failing key function leaves the
    // memo, the groups and the cursor as they were.
    ScratchBuffer<std::optional<K>> scratch_keys(state->keys);
    std::vector<std::optional<K>>& keys = scratch_keys.get();
    keys.reserve(in.get().size());
    for (Delta<E>& d : in.get()) keys.push_back(d.kind == DeltaKind::Insert ? std::optional<K>(key_of(d.element)) : std::nullopt);
    PerKey<K>& per_key = state->per_key;
    // Once the table's borrow is given up, the run's buffers are cleared, the routed deltas
    // the groups took are let go of, and what the memo and the groups let go of is dropped:
    // a finaliser that runs may read the grouping.
    struct AfterRun {
      RouterState<K, E>& state;
      ~AfterRun() {
        state.per_key.clear();
        std::vector<Routed<K, E>>& routed = state.routed;
        std::erase_if(routed, [](const Routed<K, E>& r) { return r.applied; });
        if (routed.empty() && routed.capacity() > ScratchBuffer<Routed<K, E>>::kKeptCapacity) {
          std::vector<Routed<K, E>>().swap(routed);
        }
        state.memo.drop_released();
        while (!state.changed_groups.empty()) {
          CollectionState<E>* group = state.changed_groups.back();
          state.changed_groups.pop_back();
          group->drop_released();
        }
      }
    } after_run{*state};
    // The table is the router's from its first change (to the key memo) to its last group
    // update. A table still in use further out (a get_group whose key's __eq__ reads the
    // router) refuses the run here, before the memo has consumed any delta: the run that
    // follows finds the memo as it was and routes every delta once.
    ExclusiveGuard table_borrow(state->table->borrow);
    {
      // Each delta the memo takes in is consumed at once: its routed entry has its room
      // already, and the cursor moves past it. A run that fails here leaves the memo and the
      // cursor agreeing, the deltas taken in to be applied, and the others still to route.
      static_assert(std::is_nothrow_move_constructible_v<Routed<K, E>>);
      routed.reserve(routed.size() + in.get().size());
      ExclusiveGuard borrow(state->memo.borrow);
      for (std::size_t i = 0; i < in.get().size(); ++i) {
        Delta<E>& d = in.get()[i];
        if (d.kind == DeltaKind::Insert) {
          if (!keys[i]) fail_staged_without_key();
          state->memo.record(d.element, *keys[i]);
          routed.push_back({std::move(*keys[i]), {DeltaKind::Insert, std::move(d.element)}, false});
        } else if (std::optional<K> key = state->memo.take(d.element)) {
          routed.push_back({std::move(*key), {DeltaKind::Delete, std::move(d.element)}, false});
        }
        ++state->cursor->index;
      }
    }
    for (std::size_t i = 0; i < routed.size(); ++i) per_key.add(routed[i].key, i);
    per_key.for_each([&](const K& key, const std::vector<std::size_t>& positions) {
      // The table stays as it is until the next key's lookup: the run holds its borrow.
      const CollectionHandle<E>& group = *find_or_create_group(rt, *state, key, true).first;
      state->changed_groups.push_back(group.state.get());
      apply_to_group(*group.state, routed, positions);
      // A group whose version node the program deleted is still kept in step with the memo,
      // but has no node left to announce its changes: setting it would fail the run halfway.
      // A set to the version the node holds already (the deltas changed nothing) is no change.
      if (rt.is_alive(group.version_node.erased())) {
        rt.set(group.version_node, group.state->version());
      }
    });
    return state->runs.fetch_add(1) + 1;
  };
  Weft<u64> router;
  try {
    router = runtime.create_compute<u64>(std::move(route));
  } catch (...) {
    drop_created();
    throw;
  }
  if (state->router) fail_router_recorded_twice();
  state->router = router;
  std::size_t adopted = 0;
  try {
    for (; adopted < created.size(); ++adopted) {
      runtime.adopt(router.erased(), created[adopted].erased());
    }
  } catch (...) {
    // The router goes with the groups it adopted, and the others after it.
    created.erase(created.begin(), created.begin() + static_cast<std::ptrdiff_t>(adopted));
    runtime.delete_node(router);
    drop_created();
    throw;
  }
  return {state->table, router};
}

}  // namespace weft
