// Join: pairs of left and right elements with equal keys, maintained from both sides.
#pragma once

#include <algorithm>
#include <memory>
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

  // Where the first copy of `element` under `key` is: equal to it and with its hash, as the
  // copies map matches, so that of two elements equal but hashing apart the one deleted goes.
  // Not `found` when the index holds no copy of the element, or none under `key` (its key
  // changed). Good until the index changes.
  struct Place {
    bool found = false;
    typename ElementMap<E, u64>::iterator held;
    typename ElementMap<K, std::vector<E>>::iterator list;
    std::size_t index = 0;
  };
  Place locate(const E& element, const K& key) {
    Place place;
    place.held = copies.find(element);
    if (place.held == copies.end()) return place;
    place.list = by_key.find(key);
    if (place.list == by_key.end()) return place;
    const std::vector<E>& elements = place.list->second;
    const i64 hash = ElementTraits<E>::hash(element);
    auto it = std::find_if(elements.begin(), elements.end(), [&](const E& e) {
      return ElementTraits<E>::equal(e, element) && ElementTraits<E>::hash(e) == hash;
    });
    place.found = it != elements.end();
    place.index = static_cast<std::size_t>(it - elements.begin());
    return place;
  }

  // Removes the copy a `locate` found.
  void erase(const Place& place) {
    std::vector<E>& elements = place.list.value();
    elements.erase(elements.begin() + static_cast<std::ptrdiff_t>(place.index));
    if (--place.held.value() == 0) copies.erase(place.held);
    if (elements.empty()) by_key.erase(place.list);
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
  u64 pair_count = 0;  // over every key, its left elements times its right ones
};

template <class E>
using Pair = std::pair<E, E>;

// What a join's collection holds, read off its index: for each key, every left element
// with every right one, made afresh for each snapshot. Nothing is counted but their number,
// and no pair is hashed.
template <class K, class E>
class PairsOfIndex final : public ElementCounts<Pair<E>> {
 public:
  explicit PairsOfIndex(std::shared_ptr<JoinIndex<K, E>> index) : index_(std::move(index)) {}

  std::vector<Pair<E>> snapshot() const override {
    SharedGuard borrow(index_->borrow);
    std::vector<Pair<E>> out;
    out.reserve(index_->pair_count);
    for (const auto& [key, lefts] : index_->left.by_key) {
      const std::vector<E>* rights = index_->right.partners(key);
      if (!rights) continue;
      for (const E& l : lefts) {
        for (const E& r : *rights) out.push_back(Pair<E>{l, r});
      }
    }
    return out;
  }

  u64 total() const override {
    SharedGuard borrow(index_->borrow);
    return index_->pair_count;
  }

 private:
  std::shared_ptr<JoinIndex<K, E>> index_;
};

// Applies one side's delta to the index, appending the pair deltas it makes to `out`.
// `is_left` decides which member of each pair the element is. Caller holds the index's
// exclusive borrow. When hashing an element or a key throws, which it does at the first
// lookup that hashes it, before the index changed, the delta has changed nothing and
// appended nothing.
template <class K, class E>
void apply_side(JoinIndex<K, E>& index, SideIndex<K, E>& side, const SideIndex<K, E>& other, const Delta<E>& d,
                const K& key, bool is_left, std::vector<Delta<Pair<E>>>& out) {
  auto pair_of = [&](const E& mine, const E& theirs) {
    return is_left ? Pair<E>{mine, theirs} : Pair<E>{theirs, mine};
  };
  const std::vector<E>* partners = nullptr;
  if (d.kind == DeltaKind::Insert) {
    partners = other.partners(key);
    side.add(d.element, key);
  } else {
    // An element the index does not hold under this key is in no pair of it.
    typename SideIndex<K, E>::Place place = side.locate(d.element, key);
    if (!place.found) return;
    partners = other.partners(key);
    side.erase(place);
  }
  if (!partners) return;
  for (const E& p : *partners) out.push_back({d.kind, pair_of(d.element, p)});
  if (d.kind == DeltaKind::Insert) {
    index.pair_count += partners->size();
  } else {
    index.pair_count -= partners->size();
  }
}

// The join compute's per-run buffers, kept between runs so that a small change allocates
// nothing.
template <class K, class E>
struct RunBuffers {
  std::vector<Delta<E>> left_deltas, right_deltas;
  std::vector<K> left_keys, right_keys;
  std::vector<Delta<Pair<E>>> pairs;
  UnrecordedDeltas<Pair<E>> unrecorded;
};

}  // namespace join_detail

// The collection of (left, right) pairs; the binding presents it as tuples. It holds what
// the index's pairs are (PairsOfIndex).
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
  auto own = std::make_shared<CollectionState<Pair<E>>>();

  std::vector<K> left_keys, right_keys;
  left_keys.reserve(left_snapshot.size());
  right_keys.reserve(right_snapshot.size());
  for (const E& e : left_snapshot) left_keys.push_back(left_key(e));
  for (const E& e : right_snapshot) right_keys.push_back(right_key(e));
  {
    // The pairs there at the start count as the own collection's first inserts.
    ExclusiveGuard own_borrow(own->borrow);
    ExclusiveGuard index_borrow(index->borrow);
    own->count_by(std::make_unique<PairsOfIndex<K, E>>(index));
    std::vector<Delta<Pair<E>>> initial;
    for (std::size_t i = 0; i < left_snapshot.size(); ++i) index->left.add(left_snapshot[i], left_keys[i]);
    for (std::size_t i = 0; i < right_snapshot.size(); ++i) {
      apply_side(*index, index->right, index->left, Delta<E>{DeltaKind::Insert, right_snapshot[i]}, right_keys[i],
                 false, initial);
    }
    own->record_unread(initial.size());
  }

  Weft<u64> left_version = left.version_node;
  Weft<u64> right_version = right.version_node;
  auto compute = [=, left_key = std::move(left_key), right_key = std::move(right_key),
                  buffers = RunBuffers<K, E>{}](Runtime& rt) mutable -> u64 {
    rt.read(left_version);
    rt.read(right_version);
    buffers.unrecorded.record_first(*own);
    ScratchBuffer<Delta<E>> left_in(buffers.left_deltas), right_in(buffers.right_deltas);
    ScratchBuffer<K> lk(buffers.left_keys), rk(buffers.right_keys);
    ScratchBuffer<Delta<Pair<E>>> pairs(buffers.pairs);
    append_pending(*left_state, *left_cursor, left_in.get());
    append_pending(*right_state, *right_cursor, right_in.get());
    for (const Delta<E>& d : left_in.get()) lk.get().push_back(left_key(d.element));
    for (const Delta<E>& d : right_in.get()) rk.get().push_back(right_key(d.element));
    // Each cursor moves past its deltas one by one as they are applied: when hashing an
    // element or a key throws, the delta it stops at has changed nothing, the pairs of those
    // before it are recorded, and the next run starts at it.
    try {
      ExclusiveGuard borrow(index->borrow);
      for (std::size_t i = 0; i < left_in.get().size(); ++i) {
        apply_side(*index, index->left, index->right, left_in.get()[i], lk.get()[i], true, pairs.get());
        ++left_cursor->index;
      }
      for (std::size_t i = 0; i < right_in.get().size(); ++i) {
        apply_side(*index, index->right, index->left, right_in.get()[i], rk.get()[i], false, pairs.get());
        ++right_cursor->index;
      }
    } catch (...) {
      buffers.unrecorded.record(*own, pairs.get());
      throw;
    }
    return buffers.unrecorded.record(*own, pairs.get());
  };
  Weft<u64> node = runtime.create_compute<u64>(std::move(compute));
  return {own, node, true};
}

}  // namespace weft
