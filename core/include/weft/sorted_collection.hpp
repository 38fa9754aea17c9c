// Sorted collections with a positional delta log, and the window and pairwise operators
// that follow it.
#pragma once

#include <optional>

#include "weft/chunked_sequence.hpp"
#include "weft/collection.hpp"
#include "weft/inline_sequence.hpp"

namespace weft {

template <class E>
struct SortedDelta {
  DeltaKind kind;
  u64 position;
  E value;
};

// Entries in key order. An existing key `a` sorts before a new key `b` when `a < b`; it is
// equal when `a == b`; otherwise it sorts after. Failed comparisons count as false.
template <class K, class E>
class SortedState {
 public:
  AccessLock borrow;

  // Caller holds the exclusive borrow.
  void insert(K key, E value) {
    std::size_t p = insertion_position(key, order_summary_of(key));
    entries_.insert(p, {std::move(key), value});
    log_.push(SortedDelta<E>{DeltaKind::Insert, p, std::move(value)});
  }

  // Removes the first entry with an equal key and an equal value. Caller holds the
  // exclusive borrow.
  void remove(const K& key, const E& value) {
    // From the first entry whose key does not sort before `key` to the insertion position.
    OrderSummary summary = order_summary_of(key);
    std::size_t lo = search(
        summary, [&](const std::pair<K, E>& entry) { return ElementTraits<K>::less(entry.first, key); },
        [&](const OrderSummary& existing) { return summary_less(existing, summary); });
    std::size_t end = insertion_position(key, summary);
    if (remove_first(lo, end, [&](const std::pair<K, E>& entry) {
          return ElementTraits<E>::equal(entry.second, value);
        })) {
      return;
    }
    // Keys that do not order consistently (None beside ints, NaN) can put an entry outside
    // the range its key searches; an entry with this very key and value is found by a scan.
    // (An element whose key changed since its insert is not found, and stays.)
    remove_first(0, entries_.size(), [&](const std::pair<K, E>& entry) {
      return ElementTraits<K>::equal(entry.first, key) &&
             ElementTraits<E>::equal(entry.second, value);
    });
  }

  std::vector<E> values() const {
    std::vector<E> out;
    out.reserve(entries_.size());
    entries_.for_each([&](const std::pair<K, E>& entry) { out.push_back(entry.second); });
    return out;
  }

  // Caller holds the exclusive borrow.
  CursorRef subscribe(std::vector<E>& snapshot_out) {
    snapshot_out = values();
    return log_.add_reader();
  }

  std::size_t size() const { return entries_.size(); }
  u64 version() const { return log_.version(); }
  const DeltaLog<SortedDelta<E>>& log() const { return log_; }

 private:
  // Removes the first entry in [begin, end) that `matches`, logging the delete.
  template <class Match>
  bool remove_first(std::size_t begin, std::size_t end, Match&& matches) {
    for (std::size_t p = begin; p < end; ++p) {
      if (matches(entries_[p])) {
        E stored = std::move(entries_.erase(p).second);
        log_.push(SortedDelta<E>{DeltaKind::Delete, p, std::move(stored)});
        return true;
      }
    }
    return false;
  }

  // Upper bound: after every entry whose key sorts before or equal to `key`, so that equal
  // keys keep their arrival order.
  std::size_t insertion_position(const K& key, const OrderSummary& summary) const {
    return search(
        summary, [&](const std::pair<K, E>& entry) { return sorts_before_or_equal(entry.first, key); },
        [&](const OrderSummary& existing) { return summary_less_or_equal(existing, summary); });
  }

  // The first entry failing `pred`; `decide` settles steps by summaries, but only a key
  // with a summary of its own can be settled so: for any other the entries' summaries are
  // not even made.
  template <class Pred, class Decide>
  std::size_t search(const OrderSummary& key_summary, Pred&& pred, Decide&& decide) const {
    if (key_summary.kind == OrderSummary::Kind::None) return entries_.partition_point(pred);
    return entries_.partition_point(pred, decide);
  }

  static bool sorts_before_or_equal(const K& existing, const K& key) {
    return ElementTraits<K>::less(existing, key) || ElementTraits<K>::equal(existing, key);
  }

  struct KeySummary {
    OrderSummary operator()(const std::pair<K, E>& entry) const {
      return order_summary_of(entry.first);
    }
  };

  ChunkedSequence<std::pair<K, E>, 64, 16, KeySummary> entries_;
  DeltaLog<SortedDelta<E>> log_;
};

template <class K, class E>
struct SortedHandle {
  std::shared_ptr<SortedState<K, E>> state;
  Weft<u64> version_node;
};

template <class K, class E>
std::vector<E> sorted_snapshot(const SortedHandle<K, E>& s) {
  SharedGuard borrow(s.state->borrow);
  return s.state->values();
}

template <class K, class E>
u64 sorted_len(const SortedHandle<K, E>& s) {
  SharedGuard borrow(s.state->borrow);
  return s.state->size();
}

// `key_of(element)` gives the sort key.
template <class K, class E, class KeyFn>
SortedHandle<K, E> sort_by_key(Runtime& runtime, const CollectionHandle<E>& source, KeyFn key_of) {
  check_operator_source(runtime, source.version_node);
  StateRef<E> source_state = source.state;
  std::vector<E> snapshot;
  CursorRef cursor = subscribe(*source_state, snapshot);
  auto sorted = std::make_shared<SortedState<K, E>>();
  for (E& e : snapshot) {
    K key = key_of(e);
    ExclusiveGuard borrow(sorted->borrow);
    sorted->insert(std::move(key), std::move(e));
  }
  Weft<u64> source_version = source.version_node;
  auto compute = [=, key_of = std::move(key_of), incoming = std::vector<Delta<E>>{},
                  computed_keys = std::vector<K>{}](Runtime& rt) mutable -> u64 {
    rt.read(source_version);
    ScratchBuffer<Delta<E>> in(incoming);
    ScratchBuffer<K> keys(computed_keys);
    u64 in_version = append_pending(*source_state, *cursor, in.get());
    for (const Delta<E>& d : in.get()) keys.get().push_back(key_of(d.element));
    u64 version;
    {
      ExclusiveGuard borrow(sorted->borrow);
      std::size_t applied = 0;
      try {
        for (; applied < in.get().size(); ++applied) {
          Delta<E>& d = in.get()[applied];
          if (d.kind == DeltaKind::Insert) {
            sorted->insert(std::move(keys.get()[applied]), std::move(d.element));
          } else {
            sorted->remove(keys.get()[applied], d.element);
          }
        }
      } catch (...) {
        // A comparison of keys or values failed before its delta changed anything. Those
        // applied before it are in the sorted log: the next run starts after them rather
        // than applying them twice.
        cursor->index += applied;
        throw;
      }
      version = sorted->version();
    }
    cursor->index = in_version;
    return version;
  };
  Weft<u64> node = runtime.create_compute<u64>(std::move(compute));
  return {sorted, node};
}

namespace sorted_detail {

// An operator's own copy of the sorted values, moved by the same positions.
template <class E>
struct OrderedCopy {
  AccessLock borrow;
  ChunkedSequence<E> values;
};

template <class E>
InlineSequence<E> run_at(const std::vector<E>& m, std::size_t start, std::size_t w) {
  return InlineSequence<E>(m.begin() + static_cast<std::ptrdiff_t>(start),
                           m.begin() + static_cast<std::ptrdiff_t>(start + w));
}

template <class E>
InlineSequence<E> run_at(const ChunkedSequence<E>& m, std::size_t start, std::size_t w) {
  auto run = InlineSequence<E>::with_room(w);
  m.for_range(start, w, [&](const E& v) { run.push_back(v); });
  return run;
}

// Inclusive range [lo, hi] of window starts, empty when lo > hi (as signed numbers).
template <class Visit>
void for_starts(i64 lo, i64 hi, Visit&& visit) {
  for (i64 s = std::max<i64>(lo, 0); s <= hi; ++s) visit(static_cast<std::size_t>(s));
}

// Updates the windows of size `w` for one positional delta; `out` receives their deltas.
template <class E>
void window_step(ChunkedSequence<E>& m, std::size_t w, const SortedDelta<E>& d,
                 std::vector<Delta<InlineSequence<E>>>& out) {
  const i64 n = static_cast<i64>(m.size());
  const i64 i = static_cast<i64>(d.position);
  // A window longer than the sequence can become (n + 1) is never made nor deleted, whatever
  // its size: sizes above n + 2 count as n + 2, so the signed arithmetic below cannot overflow.
  const i64 W = static_cast<i64>(std::min<std::size_t>(w, m.size() + 2));
  auto emit = [&](DeltaKind kind, std::size_t s) { out.emplace_back(kind, run_at(m, s, w)); };
  if (d.kind == DeltaKind::Insert) {
    if (i > 0 && n >= W) for_starts(i - W + 1, std::min(i - 1, n - W), [&](std::size_t s) { emit(DeltaKind::Delete, s); });
    m.insert(static_cast<std::size_t>(i), d.value);
    if (n + 1 >= W) for_starts(i - W + 1, std::min(i, n + 1 - W), [&](std::size_t s) { emit(DeltaKind::Insert, s); });
  } else {
    if (n >= W) for_starts(i - W + 1, std::min(i, n - W), [&](std::size_t s) { emit(DeltaKind::Delete, s); });
    m.erase(static_cast<std::size_t>(i));
    if (i > 0 && n - 1 >= W) for_starts(i - W + 1, std::min(i - 1, n - 1 - W), [&](std::size_t s) { emit(DeltaKind::Insert, s); });
  }
}

// Updates the neighbour pairs for one positional delta.
template <class E>
void pairwise_step(ChunkedSequence<E>& m, const SortedDelta<E>& d, std::vector<Delta<std::pair<E, E>>>& out) {
  const std::size_t n = m.size();
  const std::size_t i = static_cast<std::size_t>(d.position);
  // The neighbours, looked up once each; the references hold until `m` changes.
  if (d.kind == DeltaKind::Insert) {
    const E* before = i > 0 ? &m[i - 1] : nullptr;
    const E* after = i < n ? &m[i] : nullptr;
    if (before && after) out.push_back({DeltaKind::Delete, {*before, *after}});
    if (before) out.push_back({DeltaKind::Insert, {*before, d.value}});
    if (after) out.push_back({DeltaKind::Insert, {d.value, *after}});
    m.insert(i, d.value);
  } else {
    const E& e = m[i];
    const E* before = i > 0 ? &m[i - 1] : nullptr;
    const E* after = i + 1 < n ? &m[i + 1] : nullptr;
    if (before) out.push_back({DeltaKind::Delete, {*before, e}});
    if (after) out.push_back({DeltaKind::Delete, {e, *after}});
    if (before && after) out.push_back({DeltaKind::Insert, {*before, *after}});
    m.erase(i);
  }
}

// The shared frame of window and pairwise: subscribe to the sorted log, seed an ordered
// copy and the own collection, then follow the positional deltas with `step`.
template <class Out, class K, class E, class Seed, class Step>
CollectionHandle<Out> build_positional(Runtime& runtime, const SortedHandle<K, E>& sorted, Seed seed,
                                       Step step) {
  check_operator_source(runtime, sorted.version_node);
  auto source = sorted.state;
  auto copy = std::make_shared<OrderedCopy<E>>();
  CursorRef cursor;
  std::vector<E> snapshot;
  {
    ExclusiveGuard borrow(source->borrow);
    cursor = source->subscribe(snapshot);
  }
  for (E& v : snapshot) copy->values.insert(copy->values.size(), v);
  auto own = std::make_shared<CollectionState<Out>>();
  {
    std::vector<Delta<Out>> initial = seed(snapshot);
    apply_deltas(*own, initial);
  }
  Weft<u64> source_version = sorted.version_node;
  auto compute = [=, step = std::move(step), incoming = std::vector<SortedDelta<E>>{},
                  outgoing = std::vector<Delta<Out>>{},
                  unapplied = UnappliedDeltas<Out>{}](Runtime& rt) mutable -> u64 {
    rt.read(source_version);
    unapplied.apply_first(*own);
    ScratchBuffer<SortedDelta<E>> in(incoming);
    ScratchBuffer<Delta<Out>> out(outgoing);
    u64 seen;
    {
      SharedGuard borrow(source->borrow);
      source->log().append_since(cursor->index, in.get());
      seen = source->version();
    }
    {
      ExclusiveGuard borrow(copy->borrow);
      for (const SortedDelta<E>& d : in.get()) step(copy->values, d, out.get());
    }
    // The ordered copy has followed the deltas: the cursor goes with it, and what the own
    // collection refuses now is applied on the next run.
    cursor->index = seen;
    return unapplied.apply(*own, out.get());
  };
  Weft<u64> node = runtime.create_compute<u64>(std::move(compute));
  return {own, node, true};
}

}  // namespace sorted_detail

[[noreturn]] void fail_window_size();

// Every run of `size` consecutive values in sorted order, as sequences.
template <class K, class E>
CollectionHandle<InlineSequence<E>> window(Runtime& runtime, const SortedHandle<K, E>& sorted, u64 size) {
  if (size == 0) fail_window_size();
  const std::size_t w = static_cast<std::size_t>(size);
  auto seed = [w](const std::vector<E>& m) {
    std::vector<Delta<InlineSequence<E>>> initial;
    for (std::size_t s = 0; s + w <= m.size(); ++s) initial.push_back({DeltaKind::Insert, sorted_detail::run_at(m, s, w)});
    return initial;
  };
  auto step = [w](ChunkedSequence<E>& m, const SortedDelta<E>& d, std::vector<Delta<InlineSequence<E>>>& out) {
    sorted_detail::window_step(m, w, d, out);
  };
  return sorted_detail::build_positional<InlineSequence<E>>(runtime, sorted, seed, step);
}

// Every pair of neighbouring values in sorted order.
template <class K, class E>
CollectionHandle<std::pair<E, E>> pairwise(Runtime& runtime, const SortedHandle<K, E>& sorted) {
  auto seed = [](const std::vector<E>& m) {
    std::vector<Delta<std::pair<E, E>>> initial;
    for (std::size_t k = 0; k + 1 < m.size(); ++k) initial.push_back({DeltaKind::Insert, {m[k], m[k + 1]}});
    return initial;
  };
  auto step = [](ChunkedSequence<E>& m, const SortedDelta<E>& d, std::vector<Delta<std::pair<E, E>>>& out) {
    sorted_detail::pairwise_step(m, d, out);
  };
  return sorted_detail::build_positional<std::pair<E, E>>(runtime, sorted, seed, step);
}

}  // namespace weft
