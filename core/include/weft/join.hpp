// Join: pairs of left and right elements with equal keys, maintained from both sides.
#pragma once

#include <optional>

#include "weft/collection.hpp"

namespace weft {

namespace join_detail {

// One side's index: key -> its elements in arrival order, and the number of copies of each
// element the index holds. A delete finds its element under the key computed again for it.
template <class K, class E>
struct SideIndex {
  ElementMap<K, std::vector<E>> by_key;
  ElementMap<E, u64> copies;

  void add(const E& element, const K& key) {
    ++copies[element];
    by_key[key].push_back(element);
  }

  // Removes the first copy of `element` under `key`: equal to it and with its hash, as the
  // copies map matches, so that of two elements equal but hashing apart the one deleted goes.
  // False if the index holds no copy of the element; true otherwise, also when none was found
  // under `key` (its key changed).
  bool remove(const E& element, const K& key) {
    auto held = copies.find(element);
    if (held == copies.end()) return false;
    if (auto list = by_key.find(key); list != by_key.end()) {
      auto& elements = list.value();
      const i64 hash = ElementTraits<E>::hash(element);
      auto it = std::find_if(elements.begin(), elements.end(), [&](const E& e) {
        return ElementTraits<E>::equal(e, element) && ElementTraits<E>::hash(e) == hash;
      });
      if (it != elements.end()) {
        elements.erase(it);
        if (--held.value() == 0) copies.erase(held);
      }
      if (elements.empty()) by_key.erase(list);
    }
    return true;
  }

  const std::vector<E>* partners(const K& key) const {
    auto it = by_key.find(key);
    return it == by_key.end() ? nullptr : &it->second;
  }
};

template <class K, class E>
struct JoinIndex {
  AccessLock borrow;
  SideIndex<K, E> left;
  SideIndex<K, E> right;
};

template <class E>
using Pair = std::pair<E, E>;

// Applies one side's delta to the index and the pair collection. `is_left` decides which
// member of each pair the element is.
template <class K, class E>
void apply_side(SideIndex<K, E>& side, const SideIndex<K, E>& other, CollectionState<Pair<E>>& pairs,
                const Delta<E>& d, const K& key, bool is_left) {
  auto make_pair = [&](const E& mine, const E& theirs) {
    return is_left ? Pair<E>{mine, theirs} : Pair<E>{theirs, mine};
  };
  if (d.kind == DeltaKind::Insert) {
    if (const std::vector<E>* partners = other.partners(key)) {
      for (const E& p : *partners) pairs.insert(make_pair(d.element, p));
    }
    side.add(d.element, key);
    return;
  }
  if (!side.remove(d.element, key)) return;
  if (const std::vector<E>* partners = other.partners(key)) {
    for (const E& p : *partners) pairs.remove(make_pair(d.element, p));
  }
}

// The join compute's per-run buffers, kept between runs so that a small change allocates
// nothing.
template <class K, class E>
struct RunBuffers {
  std::vector<Delta<E>> left_deltas, right_deltas;
  std::vector<K> left_keys, right_keys;
};

}  // namespace join_detail

// Returns the collection of (left, right) pairs; the binding presents it as tuples.
template <class K, class E, class LeftKey, class RightKey>
CollectionHandle<std::pair<E, E>> join(Runtime& runtime, const CollectionHandle<E>& left,
                                       const CollectionHandle<E>& right, LeftKey left_key,
                                       RightKey right_key) {
  using namespace join_detail;
  check_operator_source(runtime, left.version_node);
  check_operator_source(runtime, right.version_node);
  StateRef<E> left_state = left.state;
  StateRef<E> right_state = right.state;
  std::vector<E> left_snapshot, right_snapshot;
  CursorRef left_cursor = subscribe(*left_state, left_snapshot);
  CursorRef right_cursor = subscribe(*right_state, right_snapshot);
  auto index = std::make_shared<JoinIndex<K, E>>();
  auto pairs = std::make_shared<CollectionState<Pair<E>>>();

  std::vector<K> left_keys, right_keys;
  left_keys.reserve(left_snapshot.size());
  right_keys.reserve(right_snapshot.size());
  for (const E& e : left_snapshot) left_keys.push_back(left_key(e));
  for (const E& e : right_snapshot) right_keys.push_back(right_key(e));
  {
    ExclusiveGuard pairs_borrow(pairs->borrow);
    ExclusiveGuard index_borrow(index->borrow);
    for (std::size_t i = 0; i < left_snapshot.size(); ++i) {
      index->left.add(left_snapshot[i], left_keys[i]);
    }
    for (std::size_t i = 0; i < right_snapshot.size(); ++i) {
      apply_side(index->right, index->left, *pairs, Delta<E>{DeltaKind::Insert, right_snapshot[i]},
                 right_keys[i], false);
    }
  }
  pairs->drop_released();

  Weft<u64> left_version = left.version_node;
  Weft<u64> right_version = right.version_node;
  auto compute = [=, left_key = std::move(left_key), right_key = std::move(right_key),
                  buffers = RunBuffers<K, E>{}](Runtime& rt) mutable -> u64 {
    rt.read(left_version);
    rt.read(right_version);
    ScratchBuffer<Delta<E>> left_in(buffers.left_deltas), right_in(buffers.right_deltas);
    ScratchBuffer<K> lk(buffers.left_keys), rk(buffers.right_keys);
    append_pending(*left_state, *left_cursor, left_in.get());
    append_pending(*right_state, *right_cursor, right_in.get());
    for (const Delta<E>& d : left_in.get()) lk.get().push_back(left_key(d.element));
    for (const Delta<E>& d : right_in.get()) rk.get().push_back(right_key(d.element));
    u64 version;
    {
      ExclusiveGuard pairs_borrow(pairs->borrow);
      ExclusiveGuard index_borrow(index->borrow);
      // Each cursor moves past its deltas one by one as they are applied: when hashing an
      // element or a key throws, which it does at the first lookup that hashes it, before
      // the delta changed anything, the next run starts at that delta and applies nothing
      // twice. (An equality that threw later in a delta would leave it partly applied; a
      // Python value's equality never throws: an error counts as not equal.)
      for (std::size_t i = 0; i < left_in.get().size(); ++i) {
        apply_side(index->left, index->right, *pairs, left_in.get()[i], lk.get()[i], true);
        ++left_cursor->index;
      }
      for (std::size_t i = 0; i < right_in.get().size(); ++i) {
        apply_side(index->right, index->left, *pairs, right_in.get()[i], rk.get()[i], false);
        ++right_cursor->index;
      }
      version = pairs->version();
    }
    pairs->drop_released();  // what the pairs let go of, once they are free (see CollectionState)
    return version;
  };
  Weft<u64> node = runtime.create_compute<u64>(std::move(compute));
  return {pairs, node, true};
}

}  // namespace weft
