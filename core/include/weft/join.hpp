// Join: pairs of left and right elements with equal keys, maintained from both sides.
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>

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
// with every right one, each pair made into an element afresh for each snapshot. Nothing is
// counted but their number, and no pair is hashed.
template <class K, class E, class Made>
class PairsOfIndex final : public ElementCounts<Made> {
 public:
  PairsOfIndex(std::shared_ptr<JoinIndex<K, E>> index, std::function<Made(const Pair<E>&)> make)
      : index_(std::move(index)), make_(std::move(make)) {}

  std::vector<Made> snapshot() const override {
    SharedGuard borrow(index_->borrow);
    std::vector<Made> out;
    out.reserve(index_->pair_count);
    for (const auto& [key, lefts] : index_->left.by_key) {
      const std::vector<E>* rights = index_->right.partners(key);
      if (!rights) continue;
      for (const E& l : lefts) {
        for (const E& r : *rights) out.push_back(make_(Pair<E>{l, r}));
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
  std::function<Made(const Pair<E>&)> make_;
};

// The pair deltas of one run, each made into an element; while nobody reads the own log, only
// counted.
template <class E, class Made, class Make>
struct PairDeltas {
  Make& make;
  bool unread;
  std::vector<Delta<Made>>& made;
  u64 unread_count = 0;

  std::size_t size() const { return unread ? unread_count : made.size(); }
  void emit(DeltaKind kind, const Pair<E>& pair) {
    if (unread) {
      ++unread_count;
    } else {
      made.push_back({kind, make(pair)});
    }
  }
  void truncate(std::size_t n) {
    if (unread) {
      unread_count = n;
    } else {
      made.erase(made.begin() + static_cast<std::ptrdiff_t>(n), made.end());
    }
  }
};

// Applies one side's delta to the index, and emits the pair deltas it makes. `is_left` decides
// which member of each pair the element is. The pairs are made before the index changes,
// without its borrow (making a Python object can run a finaliser, which may read the join):
// when making one fails, or hashing an element or a key throws, the delta has changed
// nothing and emitted nothing.
template <class K, class E, class Made, class Make>
void apply_side(JoinIndex<K, E>& index, SideIndex<K, E>& side, const SideIndex<K, E>& other,
                const Delta<E>& d, const K& key, bool is_left, PairDeltas<E, Made, Make>& out) {
  auto pair_of = [&](const E& mine, const E& theirs) {
    return is_left ? Pair<E>{mine, theirs} : Pair<E>{theirs, mine};
  };
  const std::size_t before = out.size();
  try {
    if (d.kind == DeltaKind::Insert) {
      const std::vector<E>* partners = other.partners(key);
      if (partners) {
        for (const E& p : *partners) out.emit(DeltaKind::Insert, pair_of(d.element, p));
      }
      ExclusiveGuard borrow(index.borrow);
      side.add(d.element, key);
      if (partners) index.pair_count += partners->size();
      return;
    }
    // An element the index does not hold under this key is in no pair of it.
    typename SideIndex<K, E>::Place place = side.locate(d.element, key);
    if (!place.found) return;
    const std::vector<E>* partners = other.partners(key);
    if (partners) {
      for (const E& p : *partners) out.emit(DeltaKind::Delete, pair_of(d.element, p));
    }
    ExclusiveGuard borrow(index.borrow);
    side.erase(place);
    if (partners) index.pair_count -= partners->size();
  } catch (...) {
    out.truncate(before);
    throw;
  }
}

// The join compute's per-run buffers, kept between runs so that a small change allocates
// nothing.
template <class K, class E, class Made>
struct RunBuffers {
  std::vector<Delta<E>> left_deltas, right_deltas;
  std::vector<K> left_keys, right_keys;
  std::vector<Delta<Made>> made;
};

}  // namespace join_detail

// The collection of (left, right) pairs, each made into an element by `make` (the binding
// makes tuples). It holds what the index's pairs are (PairsOfIndex).
template <class K, class E, class LeftKey, class RightKey, class Make>
auto join(Runtime& runtime, const CollectionHandle<E>& left, const CollectionHandle<E>& right, LeftKey left_key,
          RightKey right_key, Make make) -> CollectionHandle<std::invoke_result_t<Make, const std::pair<E, E>&>> {
  using namespace join_detail;
  using Made = std::invoke_result_t<Make, const std::pair<E, E>&>;
  check_operator_source(runtime, left.version_node);
  check_operator_source(runtime, right.version_node);
  StateRef<E> left_state = left.state;
  StateRef<E> right_state = right.state;
  std::vector<E> left_snapshot, right_snapshot;
  CursorRef left_cursor = subscribe(*left_state, left_snapshot);
  CursorRef right_cursor = subscribe(*right_state, right_snapshot);
  auto index = std::make_shared<JoinIndex<K, E>>();
  auto own = std::make_shared<CollectionState<Made>>();
  {
    ExclusiveGuard borrow(own->borrow);
    own->count_by(std::make_unique<PairsOfIndex<K, E, Made>>(index, make));
  }

  std::vector<K> left_keys, right_keys;
  left_keys.reserve(left_snapshot.size());
  right_keys.reserve(right_snapshot.size());
  for (const E& e : left_snapshot) left_keys.push_back(left_key(e));
  for (const E& e : right_snapshot) right_keys.push_back(right_key(e));
  {
    std::vector<Delta<Made>> none;
    PairDeltas<E, Made, Make> initial{make, true, none};  // nobody reads the own log yet
    {
      ExclusiveGuard borrow(index->borrow);
      for (std::size_t i = 0; i < left_snapshot.size(); ++i) index->left.add(left_snapshot[i], left_keys[i]);
    }
    for (std::size_t i = 0; i < right_snapshot.size(); ++i) {
      apply_side(*index, index->right, index->left, Delta<E>{DeltaKind::Insert, right_snapshot[i]}, right_keys[i],
                 false, initial);
    }
    ExclusiveGuard borrow(own->borrow);
    own->record_unread(initial.unread_count);
  }

  Weft<u64> left_version = left.version_node;
  Weft<u64> right_version = right.version_node;
  auto compute = [=, left_key = std::move(left_key), right_key = std::move(right_key), make = std::move(make),
                  buffers = RunBuffers<K, E, Made>{}](Runtime& rt) mutable -> u64 {
    rt.read(left_version);
    rt.read(right_version);
    ScratchBuffer<Delta<E>> left_in(buffers.left_deltas), right_in(buffers.right_deltas);
    ScratchBuffer<K> lk(buffers.left_keys), rk(buffers.right_keys);
    ScratchBuffer<Delta<Made>> made(buffers.made);
    append_pending(*left_state, *left_cursor, left_in.get());
    append_pending(*right_state, *right_cursor, right_in.get());
    for (const Delta<E>& d : left_in.get()) lk.get().push_back(left_key(d.element));
    for (const Delta<E>& d : right_in.get()) rk.get().push_back(right_key(d.element));
    bool unread;
    {
      SharedGuard borrow(own->borrow);
      unread = own->log().unread();
    }
    PairDeltas<E, Made, Make> out{make, unread, made.get()};
    // Records the pair deltas of the source deltas applied so far.
    auto record = [&]() -> u64 {
      {
        ExclusiveGuard borrow(own->borrow);
        if (unread) {
          own->record_unread(out.unread_count);
        } else {
          for (Delta<Made>& d : made.get()) own->record(d.kind, std::move(d.element));
        }
      }
      own->drop_released();
      return own->version();
    };
    // Each cursor moves past its deltas one by one as they are applied: when one fails
    // (hashing an element or a key throws, or making a pair), it has changed nothing, the
    // pairs of those before it are recorded, and the next run starts at it.
    try {
      for (std::size_t i = 0; i < left_in.get().size(); ++i) {
        apply_side(*index, index->left, index->right, left_in.get()[i], lk.get()[i], true, out);
        ++left_cursor->index;
      }
      for (std::size_t i = 0; i < right_in.get().size(); ++i) {
        apply_side(*index, index->right, index->left, right_in.get()[i], rk.get()[i], false, out);
        ++right_cursor->index;
      }
    } catch (...) {
      record();
      throw;
    }
    return record();
  };
  Weft<u64> node = runtime.create_compute<u64>(std::move(compute));
  return {own, node, true};
}

// The collection of (left, right) pairs as pairs.
template <class K, class E, class LeftKey, class RightKey>
CollectionHandle<std::pair<E, E>> join(Runtime& runtime, const CollectionHandle<E>& left,
                                       const CollectionHandle<E>& right, LeftKey left_key, RightKey right_key) {
  return join<K>(runtime, left, right, std::move(left_key), std::move(right_key),
                 [](const std::pair<E, E>& pair) { return pair; });
}

}  // namespace weft
