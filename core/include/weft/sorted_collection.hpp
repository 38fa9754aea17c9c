// Sorted collections with a positional delta log, and the window and pairwise operators
// that follow it.
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "weft/chunked_sequence.hpp"
#include "weft/collection.hpp"
#include "weft/inline_sequence.hpp"
#include "weft/table_allocator.hpp"

namespace weft {

template <class E>
struct SortedDelta {
  DeltaKind kind;
  u64 position;
  E value;
};

// One entry of a sorted collection: its key, its value and when it arrived (a number that
// grows with each insert), which orders entries of equal keys.
template <class K, class E>
struct SortedEntry {
  K key;
  E value;
  u64 arrival;
};

template <class K, class E>
struct RelocatesByBytes<SortedEntry<K, E>>
    : std::bool_constant<RelocatesByBytes<K>::value && RelocatesByBytes<E>::value> {};

namespace sorted_detail {

// The arrival numbers of the entries whose values share one hash, in ascending order: the
// first two kept inline (most values are held once or twice), any later ones in a vector
// consumed from the front.
class ArrivalList {
  static constexpr u64 kNone = ~u64{0};

 public:
  explicit ArrivalList(u64 first) : inline_{first, kNone} {}

  void push_back(u64 arrival) {
    if (inline_[1] == kNone) {
      inline_[1] = arrival;
      return;
    }
    if (!rest_) rest_ = std::make_unique<Rest>();
    rest_->arrivals.push_back(arrival);
  }

  // Calls `visit(arrival)` in ascending order until it returns true; returns whether it did.
  template <class Visit>
  bool find_if(Visit&& visit) const {
    for (u64 arrival : inline_) {
      if (arrival == kNone) return false;
      if (visit(arrival)) return true;
    }
    if (!rest_) return false;
    for (std::size_t i = rest_->head; i < rest_->arrivals.size(); ++i) {
      if (visit(rest_->arrivals[i])) return true;
    }
    return false;
  }

  // Removes `arrival` if present; true when the list is left empty.
  bool erase(u64 arrival) {
    if (arrival == inline_[0]) {
      inline_[0] = inline_[1];
      inline_[1] = take_front();
      return inline_[0] == kNone;
    }
    if (arrival == inline_[1]) {
      inline_[1] = take_front();
    } else if (rest_) {
      auto begin = rest_->arrivals.begin() + static_cast<std::ptrdiff_t>(rest_->head);
      auto it = std::lower_bound(begin, rest_->arrivals.end(), arrival);
      if (it != rest_->arrivals.end() && *it == arrival) {
        rest_->arrivals.erase(it);
        tidy();
      }
    }
    return false;
  }

 private:
  struct Rest {
    std::vector<u64> arrivals;
    std::size_t head = 0;  // those before it have moved inline
  };

  u64 take_front() {
    if (!rest_) return kNone;
    u64 arrival = rest_->arrivals[rest_->head++];
    tidy();
    return arrival;
  }

  // Frees an emptied vector, and drops the consumed front once it is half of it.
  void tidy() {
    if (rest_->head == rest_->arrivals.size()) {
      rest_.reset();
    } else if (rest_->head * 2 >= rest_->arrivals.size()) {
      rest_->arrivals.erase(rest_->arrivals.begin(),
                            rest_->arrivals.begin() + static_cast<std::ptrdiff_t>(rest_->head));
      rest_->head = 0;
    }
  }

  u64 inline_[2];                // kNone where there is none
  std::unique_ptr<Rest> rest_;  // null when no later arrival is left
};

}  // namespace sorted_detail

// Entries in key order. An existing key `a` sorts before a new key `b` when `a < b`; it is
// equal when `a == b`; otherwise it sorts after. Failed comparisons count as false. Entries
// of equal keys keep their arrival order.
//
// An index from the hash of each entry's key and value to the arrivals of the entries
// holding them finds the entry a delete removes in logarithmic time, however many entries
// share its key or its value: the entry with a given key and arrival is found by bisection,
// as (key, arrival) orders the entries.
//
// What changes let go of (the keys of removed entries, the deltas compaction discards) is
// set aside and dropped by `drop_released` once the borrow is given up, so that a finaliser
// it runs may read the collection.
template <class K, class E>
class SortedState {
  using Entry = SortedEntry<K, E>;

 public:
  AccessLock borrow;

  SortedState() { log_.keep_discarded(true); }

  // Caller holds the exclusive borrow. Changes nothing when hashing throws or memory runs
  // out: each step that can fail is undone if a later one does.
  void insert(K key, E value) {
    u64 hash = hash_of(key, value);
    std::size_t p = insertion_position(key, order_summary_of(key));
    const u64 arrival = next_arrival_;
    auto [it, fresh] = by_hash_.try_emplace(hash, arrival);
    bool listed = fresh;
    try {
      if (!fresh) {
        it.value().push_back(arrival);
        listed = true;
      }
      entries_.insert(p, Entry{std::move(key), value, arrival});
      try {
        log_.push(SortedDelta<E>{DeltaKind::Insert, p, std::move(value)});
      } catch (...) {
        entries_.erase(p);
        throw;
      }
    } catch (...) {
      if (fresh) {
        by_hash_.erase(it);
      } else if (listed) {
        it.value().erase(arrival);
      }
      throw;
    }
    ++next_arrival_;
  }

  // Removes the first entry with an equal key and an equal value. Caller holds the
  // exclusive borrow. Changes nothing when hashing throws or memory runs out.
  void remove(const K& key, const E& value) {
    u64 hash = hash_of(key, value);
    OrderSummary summary = order_summary_of(key);
    // The entries whose keys and values share this hash, in arrival order: the first whose
    // key and value are equal is the first such entry among those with an equal key.
    auto it = by_hash_.find(hash);
    std::size_t found = entries_.size();
    if (it != by_hash_.end()) {
      it->second.find_if([&](u64 arrival) {
        std::size_t p = position_of(key, summary, arrival);
        if (p == entries_.size()) return false;
        // Not this arrival's entry when its key is not equal: bisection then stops at the
        // first entry after the run of equal keys.
        const Entry& entry = entries_[p];
        if (entry.arrival != arrival || !keys_equal(entry.key, key, summary) ||
            !ElementTraits<E>::equal(entry.value, value)) {
          return false;
        }
        found = p;
        return true;
      });
    }
    if (found == entries_.size()) {
      // Keys that do not order consistently (None beside ints, NaN) can put an entry where
      // bisection does not find it: a scan for the arrivals under this hash finds it, with
      // no comparison of the entries passed over. Keys or values whose equality crosses
      // types that hash apart are not under this hash: such an entry, with this very key
      // and value, is found by a scan that compares every entry. (An element whose key
      // changed since its insert is not found, and stays.)
      if (it != by_hash_.end()) found = first_match_among(it->second, key, value);
      if (found == entries_.size()) {
        found = first_match(key, value);
        if (found == entries_.size()) return;
        hash = hash_of(entries_[found].key, entries_[found].value);
        it = by_hash_.find(hash);
      }
    }
    // What can fail comes before the entry goes.
    released_keys_.push_back(entries_[found].key);
    try {
      log_.push(SortedDelta<E>{DeltaKind::Delete, found, entries_[found].value});
    } catch (...) {
      released_keys_.pop_back();
      throw;
    }
    Entry removed = entries_.erase(found);
    if (it != by_hash_.end() && it.value().erase(removed.arrival)) by_hash_.erase(it);
  }

  // Drops what changes let go of; called without the borrow held.
  void drop_released() {
    drop_one_by_one(released_keys_);
    log_.drop_discarded();
  }

  std::vector<E> values() const {
    std::vector<E> out;
    out.reserve(entries_.size());
    entries_.for_each([&](const Entry& entry) { out.push_back(entry.value); });
    return out;
  }

  // Caller holds the exclusive borrow.
  CursorRef subscribe(std::vector<E>& snapshot_out) {
    snapshot_out = values();
    return log_.add_reader(true);
  }

  std::size_t size() const { return entries_.size(); }
  u64 version() const { return log_.version(); }
  const DeltaLog<SortedDelta<E>>& log() const { return log_; }

 private:
  static u64 hash_of(const K& key, const E& value) {
    return static_cast<u64>(combine_hash(ElementTraits<E>::hash(value), ElementTraits<K>::hash(key)));
  }

  // The position of the first entry that arrived as one of `arrivals` and has an equal key
  // and an equal value, by a scan that compares only those entries.
  std::size_t first_match_among(const sorted_detail::ArrivalList& arrivals, const K& key,
                                const E& value) const {
    std::vector<u64> sorted_arrivals;
    arrivals.find_if([&](u64 arrival) {
      sorted_arrivals.push_back(arrival);
      return false;
    });
    return entries_.find_in_range(0, entries_.size(), [&](const Entry& entry) {
      return std::binary_search(sorted_arrivals.begin(), sorted_arrivals.end(), entry.arrival) &&
             ElementTraits<K>::equal(entry.key, key) && ElementTraits<E>::equal(entry.value, value);
    });
  }

  // The position of the first entry with an equal key and an equal value, by a scan.
  std::size_t first_match(const K& key, const E& value) const {
    return entries_.find_in_range(0, entries_.size(), [&](const Entry& entry) {
      return ElementTraits<K>::equal(entry.key, key) && ElementTraits<E>::equal(entry.value, value);
    });
  }

  // Upper bound: after every entry whose key sorts before or equal to `key`, so that equal
  // keys keep their arrival order.
  std::size_t insertion_position(const K& key, const OrderSummary& summary) const {
    return search(
        summary, [&](const Entry& entry) { return sorts_before_or_equal(entry.key, key); },
        [&](const OrderSummary& existing) { return summary_less_or_equal(existing, summary); });
  }

  // Where the entry with an equal key and this arrival is, if there is one: after every
  // entry whose key sorts before `key`, and every one with an equal key that arrived
  // earlier.
  std::size_t position_of(const K& key, const OrderSummary& summary, u64 arrival) const {
    // Settled by the summaries when they order the keys; std::nullopt when they are equal
    // (the arrival decides) or settle nothing.
    auto by_summary = [&](const OrderSummary& existing) -> std::optional<bool> {
      std::optional<bool> before = summary_less(existing, summary);
      if (!before || *before) return before;
      if (*summary_less(summary, existing)) return false;
      return std::nullopt;
    };
    return search(
        summary,
        [&](const Entry& entry) {
          if (summary.kind != OrderSummary::Kind::None) {
            OrderSummary existing = order_summary_of(entry.key);
            if (std::optional<bool> settled = by_summary(existing)) return *settled;
            if (summary_less(existing, summary)) return entry.arrival < arrival;  // equal keys
          }
          if (ElementTraits<K>::less(entry.key, key)) return true;
          return entry.arrival < arrival && ElementTraits<K>::equal(entry.key, key);
        },
        by_summary);
  }

  // The first entry failing `pred`; `decide` settles steps by summaries, but only a key
  // with a summary of its own can be settled so: for any other the search neither reads
  // the inner nodes' summaries nor makes the leaf entries' ones.
  template <class Pred, class Decide>
  std::size_t search(const OrderSummary& key_summary, Pred&& pred, Decide&& decide) const {
    if (key_summary.kind == OrderSummary::Kind::None) return entries_.partition_point(pred);
    return entries_.partition_point(pred, decide);
  }

  static bool keys_equal(const K& existing, const K& key, const OrderSummary& summary) {
    if (summary.kind != OrderSummary::Kind::None) {
      OrderSummary of_existing = order_summary_of(existing);
      if (std::optional<bool> before = summary_less(of_existing, summary)) {
        return !*before && !*summary_less(summary, of_existing);
      }
    }
    return ElementTraits<K>::equal(existing, key);
  }

  static bool sorts_before_or_equal(const K& existing, const K& key) {
    return ElementTraits<K>::less(existing, key) || ElementTraits<K>::equal(existing, key);
  }

  struct KeySummary {
    OrderSummary operator()(const Entry& entry) const { return order_summary_of(entry.key); }
  };

  ChunkedSequence<Entry, 64, 16, KeySummary> entries_;
  tsl::robin_map<u64, sorted_detail::ArrivalList, RandomHasher, std::equal_to<u64>,
                 TableAllocator<std::pair<u64, sorted_detail::ArrivalList>>>
      by_hash_;
  u64 next_arrival_ = 0;
  DeltaLog<SortedDelta<E>> log_;
  std::vector<K> released_keys_;
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
  sorted->drop_released();
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
    sorted->drop_released();
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

// The run of `w` values from `start` that `m` will have once `value` is inserted at `at`,
// which the run holds; read off `m` as it is.
template <class E>
InlineSequence<E> run_with_inserted(const ChunkedSequence<E>& m, std::size_t start, std::size_t w, std::size_t at,
                                    const E& value) {
  auto run = InlineSequence<E>::with_room(w);
  const std::size_t before = at - start;  // values of `m` that come before `value`
  if (before == 0) run.push_back(value);
  std::size_t taken = 0;
  m.for_range(start, w - 1, [&](const E& v) {
    run.push_back(v);
    if (++taken == before) run.push_back(value);
  });
  return run;
}

// The run of `w` values from `start` that `m` will have once the value at `at` is erased,
// for a run that spans the gap; read off `m` as it is.
template <class E>
InlineSequence<E> run_without(const ChunkedSequence<E>& m, std::size_t start, std::size_t w, std::size_t at) {
  auto run = InlineSequence<E>::with_room(w);
  const std::size_t skipped = at - start;
  std::size_t seen = 0;
  m.for_range(start, w + 1, [&](const E& v) {
    if (seen++ != skipped) run.push_back(v);
  });
  return run;
}

// Inclusive range [lo, hi] of window starts, empty when lo > hi (as signed numbers).
template <class Visit>
void for_starts(i64 lo, i64 hi, Visit&& visit) {
  for (i64 s = std::max<i64>(lo, 0); s <= hi; ++s) visit(static_cast<std::size_t>(s));
}

// Updates the windows of size `w` for one positional delta; `out` receives their deltas.
// Every run is made before `m` changes, which it does last: when memory runs out, `m` is as
// it was (and `out` may hold some of the runs).
template <class E>
void window_step(ChunkedSequence<E>& m, std::size_t w, const SortedDelta<E>& d,
                 std::vector<Delta<InlineSequence<E>>>& out) {
  const i64 n = static_cast<i64>(m.size());
  const i64 i = static_cast<i64>(d.position);
  const std::size_t at = d.position;
  // A window longer than the sequence can become (n + 1) is never made nor deleted, whatever
  // its size: sizes above n + 2 count as n + 2, so the signed arithmetic below cannot overflow.
  const i64 W = static_cast<i64>(std::min<std::size_t>(w, m.size() + 2));
  auto gone = [&](std::size_t s) { out.emplace_back(DeltaKind::Delete, run_at(m, s, w)); };
  if (d.kind == DeltaKind::Insert) {
    if (i > 0 && n >= W) for_starts(i - W + 1, std::min(i - 1, n - W), gone);
    if (n + 1 >= W) {
      for_starts(i - W + 1, std::min(i, n + 1 - W), [&](std::size_t s) {
        out.emplace_back(DeltaKind::Insert, run_with_inserted(m, s, w, at, d.value));
      });
    }
    m.insert(at, d.value);
  } else {
    if (n >= W) for_starts(i - W + 1, std::min(i, n - W), gone);
    if (i > 0 && n - 1 >= W) {
      for_starts(i - W + 1, std::min(i - 1, n - 1 - W), [&](std::size_t s) {
        out.emplace_back(DeltaKind::Insert, run_without(m, s, w, at));
      });
    }
    m.erase(at);
  }
}

// Updates the neighbour pairs for one positional delta; `m` changes last, as in window_step.
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
    m.erase(i);  // cannot fail
  }
}

// What a window or pair collection holds, read off the operator's ordered copy: every run of
// `width` neighbours, made afresh for each snapshot. Nothing is counted, and nothing is
// hashed: a change costs no hash-map work at all.
template <class E, class Run>
class RunsOfCopy final : public ElementCounts<Run> {
 public:
  using Seed = std::function<std::vector<Delta<Run>>(const std::vector<E>&)>;

  RunsOfCopy(std::shared_ptr<OrderedCopy<E>> copy, std::size_t width, Seed seed)
      : copy_(std::move(copy)), width_(width), seed_(std::move(seed)) {}

  std::vector<Run> snapshot() const override {
    std::vector<E> values;
    {
      SharedGuard borrow(copy_->borrow);
      values.reserve(copy_->values.size());
      copy_->values.for_each([&](const E& v) { values.push_back(v); });
    }
    std::vector<Run> out;
    out.reserve(total());
    for (Delta<Run>& run : seed_(values)) out.push_back(std::move(run.element));
    return out;
  }

  u64 total() const override {
    SharedGuard borrow(copy_->borrow);
    const std::size_t n = copy_->values.size();
    return n >= width_ ? n - width_ + 1 : 0;
  }

 private:
  std::shared_ptr<OrderedCopy<E>> copy_;
  std::size_t width_;
  Seed seed_;
};

// The shared frame of window and pairwise: subscribe to the sorted log and seed an ordered
// copy, then follow the positional deltas with `step`, which gives the runs they remove and
// add. The own collection holds what the copy's runs are (RunsOfCopy); the runs there at the
// start count as its first inserts.
template <class Run, class K, class E, class Seed, class Step>
CollectionHandle<Run> build_positional(Runtime& runtime, const SortedHandle<K, E>& sorted, std::size_t width,
                                       Seed seed, Step step) {
  check_operator_source(runtime, sorted.version_node);
  auto source = sorted.state;
  auto copy = std::make_shared<OrderedCopy<E>>();
  CursorRef cursor;
  std::vector<E> snapshot;
  {
    ExclusiveGuard borrow(source->borrow);
    cursor = source->subscribe(snapshot);
  }
  for (E& v : snapshot) copy->values.insert(copy->values.size(), std::move(v));
  auto own = std::make_shared<CollectionState<Run>>();
  {
    ExclusiveGuard borrow(own->borrow);
    own->count_by(std::make_unique<RunsOfCopy<E, Run>>(copy, width, seed));
    own->record_unread(own->element_count());
  }
  Weft<u64> source_version = sorted.version_node;
  // When memory runs out, the copy has taken the deltas before the one that failed, and the
  // runs those changed that are not recorded yet are kept and recorded first next time.
  auto compute = [=, step = std::move(step), incoming = std::vector<SortedDelta<E>>{},
                  runs = std::vector<Delta<Run>>{}, unrecorded = UnrecordedDeltas<Run>{}](Runtime& rt) mutable -> u64 {
    rt.read(source_version);
    unrecorded.record_first(*own);
    ScratchBuffer<SortedDelta<E>> in(incoming);
    ScratchBuffer<Delta<Run>> out(runs);
    {
      SharedGuard borrow(source->borrow);
      source->log().append_since(cursor->index, in.get());
    }
    try {
      {
        ExclusiveGuard borrow(copy->borrow);
        for (const SortedDelta<E>& d : in.get()) {
          const std::size_t made = out.get().size();
          try {
            step(copy->values, d, out.get());
          } catch (...) {
            out.get().erase(out.get().begin() + static_cast<std::ptrdiff_t>(made), out.get().end());
            throw;  // the copy has not taken this delta
          }
          ++cursor->index;
        }
      }
    } catch (...) {
      unrecorded.keep(out.get());
      throw;
    }
    return unrecorded.record(*own, out.get());
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
  return sorted_detail::build_positional<InlineSequence<E>>(runtime, sorted, w, seed, step);
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
  return sorted_detail::build_positional<std::pair<E, E>>(runtime, sorted, 2, seed, step);
}

}  // namespace weft
