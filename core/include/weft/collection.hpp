// Incremental collections: a multiset with a delta log, reader cursors and compaction, tied
// into the graph by a version node.
#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <tsl/robin_map.h>
#include <utility>
#include <vector>

#include "weft/hashing.hpp"
#include "weft/inline_sequence.hpp"
#include "weft/locks.hpp"
#include "weft/order_summary.hpp"
#include "weft/runtime.hpp"
#include "weft/table_allocator.hpp"
#include "weft/vector_room.hpp"

namespace weft {

// Equality, hashing and ordering of collection elements. By default they come from the
// value type's traits (`equal`, `hash`, `less`); pairs and sequences compose their members.
// An element is equal to itself where the value type can tell (`identical`), as members of
// Python's own containers are: the very object inserted is found again on delete, and lands
// in its own group, even when it is not equal to itself (a float NaN).
template <class E>
struct ElementTraits {
  static bool equal(const E& a, const E& b) {
    if constexpr (requires { ValueTraits<E>::identical(a, b); }) {
      if (ValueTraits<E>::identical(a, b)) return true;
    }
    return ValueTraits<E>::equal(a, b);
  }
  static i64 hash(const E& e) { return ValueTraits<E>::hash(e); }
  static bool less(const E& a, const E& b) { return ValueTraits<E>::less(a, b); }
  // Where the value type offers one (`order_summary`).
  static OrderSummary order_summary(const E& e) {
    if constexpr (requires { ValueTraits<E>::order_summary(e); }) {
      return ValueTraits<E>::order_summary(e);
    } else {
      return {};
    }
  }
};

template <>
struct ElementTraits<u64> {
  static bool equal(u64 a, u64 b) { return a == b; }
  static i64 hash(u64 e) { return static_cast<i64>(e); }
  static bool less(u64 a, u64 b) { return a < b; }
  // Values beyond the i64 range have none: they compare by `<` and `==`.
  static OrderSummary order_summary(u64 e) {
    if (e > static_cast<u64>(INT64_MAX)) return {};
    return OrderSummary::of_integer(static_cast<i64>(e));
  }
};

template <class E>
struct ElementTraits<std::pair<E, E>> {
  // The second members are compared only when the first ones are equal.
  static bool equal(const std::pair<E, E>& a, const std::pair<E, E>& b) {
    return ElementTraits<E>::equal(a.first, b.first) && ElementTraits<E>::equal(a.second, b.second);
  }
  static i64 hash(const std::pair<E, E>& p) {
    return combine_hash(combine_hash(2, ElementTraits<E>::hash(p.first)), ElementTraits<E>::hash(p.second));
  }
};

template <class E>
struct ElementTraits<InlineSequence<E>> {
  static bool equal(const InlineSequence<E>& a, const InlineSequence<E>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (!ElementTraits<E>::equal(a[i], b[i])) return false;
    }
    return true;
  }
  static i64 hash(const InlineSequence<E>& seq) {
    i64 acc = static_cast<i64>(seq.size());
    for (const E& e : seq) acc = combine_hash(acc, ElementTraits<E>::hash(e));
    return acc;
  }
};

// An element's summary for ordered searches, where its traits give one.
template <class E>
OrderSummary order_summary_of(const E& e) {
  if constexpr (requires { ElementTraits<E>::order_summary(e); }) {
    return ElementTraits<E>::order_summary(e);
  } else {
    return {};
  }
}

// Hashes elements with SipHash-1-3 under random keys drawn when the map is made.
template <class E>
struct ElementHash : KeyedHasher {
  std::size_t operator()(const E& e) const {
    return hash_words({static_cast<u64>(ElementTraits<E>::hash(e))});
  }
};

template <class E>
struct ElementEqual {
  bool operator()(const E& a, const E& b) const { return ElementTraits<E>::equal(a, b); }
};

// Open addressing with robin-hood probing: a lookup touches the slot array, not a chain of
// separately allocated nodes. Each slot keeps its hash, so growing never hashes a key
// again (for Python values that would call back into Python). Values move when the map
// changes: nothing keeps a reference into one across an insert or erase.
template <class K, class V>
using ElementMap = tsl::robin_map<K, V, ElementHash<K>, ElementEqual<K>, TableAllocator<std::pair<K, V>>,
                                  /*StoreHash=*/true>;

enum class DeltaKind : u8 { Insert = 0, Delete = 1 };

template <class E>
struct Delta {
  DeltaKind kind;
  E element;
};

// An operator's position in a delta log: the absolute index of the next delta it has not
// consumed. The log holds one reference and the operator another; when only the log's is
// left, the operator is gone and the cursor is dead. A reader of the deltas' kinds alone (a
// count) never looks at their elements.
struct ReaderCursor {
  u64 index = 0;
  bool reads_elements = true;
};
using CursorRef = std::shared_ptr<ReaderCursor>;

constexpr std::size_t kCompactionThreshold = 1024;

// Drops the values of a vector or deque one at a time from the back: a finaliser one of
// them runs may add to the container, which stays consistent throughout.
template <class Values>
void drop_one_by_one(Values& values) {
  while (!values.empty()) {
    [[maybe_unused]] auto gone = std::move(values.back());
    values.pop_back();
  }
}

// The delta log with its readers, shared by every kind of collection state.
template <class D>
class DeltaLog {
 public:
  u64 base() const { return base_; }
  u64 version() const { return base_ + log_.size(); }
  std::size_t size() const { return log_.size(); }
  const D& at(u64 absolute) const { return log_[absolute - base_]; }

  // Whether a delta pushed now goes unread: there is no reader, and a reader that comes
  // later starts after it.
  bool unread() const { return readers_.empty() && log_.empty(); }

  // Counts deltas that go unread without making or keeping them. Only while `unread()`.
  void skip_unread(u64 count) { base_ += count; }

  // `delta` is moved from only once it has its place: when memory runs out, the log and
  // `delta` are as they were.
  void push(D&& delta) {
    if (unread()) {
      ++base_;
      set_aside(std::move(delta));
      return;
    }
    log_.push_back(std::move(delta));
    compact();
  }

  // Whether from now on the deltas compaction discards are set aside, to be dropped by
  // `drop_discarded` (once the owner's borrow is given up), rather than at once.
  void keep_discarded(bool keep) { keep_discarded_ = keep; }

  // Drops what compaction set aside.
  void drop_discarded() { drop_one_by_one(discarded_); }

  // Whether no live reader looks at the elements of a delta pushed now: every reader reads
  // kinds alone, and a reader that comes later starts after it.
  bool elements_unread() const {
    return std::all_of(readers_.begin(), readers_.end(),
                       [](const CursorRef& c) { return c.use_count() == 1 || !c->reads_elements; });
  }

  // Subscribing copies the whole collection, so dropping the dead readers here costs little
  // and keeps operators built and deleted on a collection that rarely changes from piling up.
  CursorRef add_reader(bool reads_elements) {
    drop_dead_readers();
    auto cursor = std::make_shared<ReaderCursor>(ReaderCursor{version(), reads_elements});
    readers_.push_back(cursor);
    return cursor;
  }

  std::size_t reader_count() const { return readers_.size(); }

  // Appends copies of the deltas from `from` to the end.
  void append_since(u64 from, std::vector<D>& out) const {
    if (from < version()) out.reserve(out.size() + (version() - from));
    for (u64 i = from; i < version(); ++i) out.push_back(at(i));
  }

 private:
  // Drops what every live reader has consumed, once the log is long enough to be worth it.
  void compact() {
    if (log_.size() < kCompactionThreshold) return;
    drop_dead_readers();
    if (readers_.empty()) {
      base_ = version();
      discard_front(log_.size());
      return;
    }
    u64 slowest = readers_.front()->index;
    for (const CursorRef& c : readers_) slowest = std::min(slowest, c->index);
    if (slowest > base_) {
      discard_front(static_cast<std::size_t>(slowest - base_));
      base_ = slowest;
    }
  }

  // Removes the first `count` deltas: dropped at once, or set aside when they are kept.
  // Compaction usually keeps only the last few deltas (those pushed since the readers last
  // ran), so the whole log is set aside and those few moved back. Without room to set them
  // aside, they are dropped here after all: compaction never fails.
  void discard_front(std::size_t count) {
    auto front_end = log_.begin() + static_cast<std::ptrdiff_t>(count);
    if (keep_discarded_ && discarded_.empty()) {
      discarded_.swap(log_);
      try {
        auto kept = discarded_.begin() + static_cast<std::ptrdiff_t>(count);
        log_.insert(log_.end(), std::make_move_iterator(kept), std::make_move_iterator(discarded_.end()));
        discarded_.erase(kept, discarded_.end());
        return;
      } catch (const std::bad_alloc&) {
        log_.swap(discarded_);  // the insert at the end had no effect
        front_end = log_.begin() + static_cast<std::ptrdiff_t>(count);
      }
    } else if (keep_discarded_) {
      try {
        discarded_.insert(discarded_.end(), std::make_move_iterator(log_.begin()),
                          std::make_move_iterator(front_end));
      } catch (const std::bad_alloc&) {
      }
    }
    log_.erase(log_.begin(), front_end);
  }

  // Keeps a delta nobody reads until `drop_discarded`, when deltas are kept; otherwise, or
  // without room to keep it, it is dropped at once.
  void set_aside(D delta) {
    if (!keep_discarded_) return;
    try {
      discarded_.push_back(std::move(delta));
    } catch (const std::bad_alloc&) {
    }
  }

  void drop_dead_readers() {
    readers_.erase(std::remove_if(readers_.begin(), readers_.end(),
                                  [](const CursorRef& c) { return c.use_count() == 1; }),
                   readers_.end());
  }

  std::deque<D> log_;
  std::vector<CursorRef> readers_;
  u64 base_ = 0;
  bool keep_discarded_ = false;
  std::deque<D> discarded_;
};

// What a collection state holds when its operator's own structure fixes it (the runs of a
// window's ordered copy, the pairs of a join's index), so that the state keeps no counts:
// the elements are made from that structure's values for each snapshot, and no element the
// state hands out is one it keeps. A reader that changes a list it was given changes nothing
// in the collection.
template <class E>
class ElementCounts {
 public:
  virtual ~ElementCounts() = default;
  // Every element repeated by its count, made afresh.
  virtual std::vector<E> snapshot() const = 0;
  virtual u64 total() const = 0;
};

// A multiset of elements and the log of its changes. Guarded by `borrow`: shared for
// reading, exclusive for changing; a conflict is an invariant failure.
//
// What a change lets go of (the stored key of an element whose last copy went, the deltas
// compaction discards) is kept until `drop_released`, which the changing operation calls
// once it has given up the borrow: a finaliser those values run finds the collection free
// and the change complete.
template <class E>
class CollectionState {
 public:
  AccessLock borrow;

  CollectionState() { log_.keep_discarded(true); }

  // Caller holds the exclusive borrow. The element is moved from only once the change is
  // made: an element whose hash or equality throws, or that finds no memory, is left as it
  // was, and so is the state.
  void insert(E&& element) {
    if (counts_elsewhere_) {
      push(DeltaKind::Insert, std::move(element));
      return;
    }
    auto [it, inserted] = counts_.try_emplace(element, 0);
    try {
      push(DeltaKind::Insert, std::move(element));
    } catch (...) {
      if (inserted) counts_.erase(it);  // the map has not changed since
      throw;
    }
    ++it.value();
    ++element_total_;
  }
  void insert(const E& element) { insert(E(element)); }

  // Caller holds the exclusive borrow. False, with nothing recorded, when absent. Moves from
  // the element only once it is found, as insert does.
  bool remove(E&& element) {
    if (counts_elsewhere_) {
      push(DeltaKind::Delete, std::move(element));
      return true;
    }
    auto it = counts_.find(element);
    if (it == counts_.end()) return false;
    // What can fail comes before the count changes.
    if (it.value() == 1) reserve_one_more(released_keys_);
    push(DeltaKind::Delete, std::move(element));
    if (it.value() == 1) {
      // The stored key is moved aside (the map keeps it as a plain, non-const pair member)
      // and its entry erased at once, so that nothing looks at the moved-from key.
      released_keys_.push_back(std::move(const_cast<E&>(it->first)));
      counts_.erase(it);
    } else {
      --it.value();
    }
    --element_total_;
    return true;
  }
  bool remove(const E& element) { return remove(E(element)); }

  // Drops what changes let go of; called without the borrow held.
  void drop_released() {
    drop_one_by_one(released_keys_);
    log_.drop_discarded();
  }

  // From now on the elements are counted by `counts` rather than by the state's own map.
  // Caller holds the exclusive borrow, before anything is inserted.
  void count_by(std::unique_ptr<ElementCounts<E>> counts) { counts_elsewhere_ = std::move(counts); }

  // Records a change that counts kept elsewhere (see `count_by`) have taken in already.
  // Caller holds the exclusive borrow.
  void record(DeltaKind kind, E&& element) { push(kind, std::move(element)); }
  // The same for `count` changes that nobody reads (the log is `unread()`), which need no
  // element made for them.
  void record_unread(u64 count) {
    if (!log_.unread()) fail("weft-core: changes recorded unread while the log has a reader");
    log_.skip_unread(count);
  }
  // Whether the elements of changes recorded now go unread (see DeltaLog).
  bool elements_unread() const { return log_.elements_unread(); }

  // Every element repeated by its count, copies adjacent, distinct elements in hash order.
  // Caller holds a borrow.
  std::vector<E> snapshot() const {
    if (counts_elsewhere_) return counts_elsewhere_->snapshot();
    std::vector<E> out;
    out.reserve(element_count());
    for (const auto& [element, count] : counts_) {
      for (u64 i = 0; i < count; ++i) out.push_back(element);
    }
    return out;
  }

  // Caller holds the exclusive borrow. A cursor at the current version, and a snapshot that
  // covers every delta before it.
  CursorRef subscribe(std::vector<E>& snapshot_out) {
    snapshot_out = snapshot();
    return log_.add_reader(true);
  }

  // Caller holds the exclusive borrow. For a reader of the deltas' kinds alone: a cursor at
  // the current version, and the number of elements before it.
  CursorRef subscribe_to_kinds(u64& count_out) {
    count_out = element_count();
    return log_.add_reader(false);
  }

  // Caller holds the exclusive borrow. The same for a reader of the deltas' elements that
  // takes the elements before its cursor from elsewhere.
  CursorRef subscribe_without_snapshot(u64& count_out) {
    count_out = element_count();
    return log_.add_reader(true);
  }

  u64 element_count() const {
    if (counts_elsewhere_) return counts_elsewhere_->total();
    return element_total_;
  }

  u64 version() const { return log_.version(); }
  const DeltaLog<Delta<E>>& log() const { return log_; }

 private:
  // Gives the element back when the log finds no memory for its delta.
  void push(DeltaKind kind, E&& element) {
    Delta<E> delta{kind, std::move(element)};
    try {
      log_.push(std::move(delta));
    } catch (...) {
      element = std::move(delta.element);
      throw;
    }
  }

  DeltaLog<Delta<E>> log_;
  ElementMap<E, u64> counts_;
  u64 element_total_ = 0;  // the sum of the counts, so that reading it takes no walk
  std::unique_ptr<ElementCounts<E>> counts_elsewhere_;  // set when counted elsewhere
  std::vector<E> released_keys_;
};

template <class E>
using StateRef = std::shared_ptr<CollectionState<E>>;

// What a collection object holds: its state, its version node and whether it is maintained
// by an operator (derived) rather than by the program.
template <class E>
struct CollectionHandle {
  StateRef<E> state;
  Weft<u64> version_node;
  bool derived = false;
};

// An operator's reusable buffer (of deltas, or of keys), emptied (keeping a moderate
// capacity) when the scope ends, so that a steady stream of small changes allocates nothing
// and no element stays referenced from the buffer between computes. A node's compute never
// nests in itself, so the buffers it keeps are free whenever it starts.
template <class D>
class ScratchBuffer {
 public:
  explicit ScratchBuffer(std::vector<D>& buffer) : buffer_(buffer) { buffer_.clear(); }
  ~ScratchBuffer() {
    buffer_.clear();
    if (buffer_.capacity() > kKeptCapacity) std::vector<D>().swap(buffer_);
  }
  ScratchBuffer(const ScratchBuffer&) = delete;
  ScratchBuffer& operator=(const ScratchBuffer&) = delete;
  std::vector<D>& get() { return buffer_; }

  static constexpr std::size_t kKeptCapacity = 256;

 private:
  std::vector<D>& buffer_;
};

// Appends the pending deltas after a cursor to `out`; returns the version they lead up to.
template <class E>
u64 append_pending(CollectionState<E>& state, const ReaderCursor& cursor,
                   std::vector<Delta<E>>& out) {
  SharedGuard borrow(state.borrow);
  state.log().append_since(cursor.index, out);
  return state.version();
}

[[noreturn]] void fail_mutate_derived();

template <class E>
CollectionHandle<E> create_collection(Runtime& runtime) {
  if (runtime.dep_stack().in_compute()) fail("create_input called during compute; not permitted");
  auto state = std::make_shared<CollectionState<E>>();
  Weft<u64> node = runtime.create_input_unguarded<u64>(0);
  return {std::move(state), node, false};
}

// A collection maintained by an operator from inside its compute: an input version node
// that the operator sets, created even while a compute runs.
template <class E>
CollectionHandle<E> create_owned_collection(Runtime& runtime) {
  auto state = std::make_shared<CollectionState<E>>();
  Weft<u64> node = runtime.create_input_unguarded<u64>(0);
  return {std::move(state), node, true};
}

// The version node is validated before the state changes, so that a collection whose node
// was deleted refuses the change instead of recording a delta that no node announces. What
// the change lets go of is dropped last, once the borrow is given up and the version node
// set: a finaliser it runs may read and change the collection, and sees this change made.
template <class E>
void insert(Runtime& runtime, const CollectionHandle<E>& c, E element) {
  if (c.derived) fail_mutate_derived();
  runtime.validate(c.version_node);
  u64 version;
  {
    ExclusiveGuard borrow(c.state->borrow);
    c.state->insert(std::move(element));
    version = c.state->version();
  }
  runtime.set(c.version_node, version);
  c.state->drop_released();
}

template <class E>
bool remove(Runtime& runtime, const CollectionHandle<E>& c, const E& element) {
  if (c.derived) fail_mutate_derived();
  runtime.validate(c.version_node);
  u64 version;
  {
    ExclusiveGuard borrow(c.state->borrow);
    if (!c.state->remove(element)) return false;
    version = c.state->version();
  }
  runtime.set(c.version_node, version);
  c.state->drop_released();
  return true;
}

template <class E>
u64 snapshot_len(const CollectionHandle<E>& c) {
  SharedGuard borrow(c.state->borrow);
  return c.state->element_count();
}

// Calls `take(delta)` for each delta in order. When one throws, having changed nothing, the
// deltas taken before it are dropped from `deltas`, which keeps it and those after it, and
// the exception continues.
template <class E, class Take>
void take_each(std::vector<Delta<E>>& deltas, Take&& take) {
  std::size_t taken = 0;
  try {
    for (; taken < deltas.size(); ++taken) take(deltas[taken]);
  } catch (...) {
    deltas.erase(deltas.begin(), deltas.begin() + static_cast<std::ptrdiff_t>(taken));
    throw;
  }
}

// Applies transformed deltas to an operator's own state, under its exclusive borrow, moving
// their elements out; a delete of an absent element does nothing. Returns the state's new
// version. When an element's hash or equality throws, its delta has changed nothing: the
// deltas applied before it are dropped from `deltas`, which keeps it and the ones after it,
// and the exception continues. What the state lets go of is dropped once the borrow is
// given up, so that a finaliser it runs may read the collection.
template <class E>
u64 apply_deltas(CollectionState<E>& state, std::vector<Delta<E>>& deltas) {
  u64 version;
  {
    ExclusiveGuard borrow(state.borrow);
    take_each(deltas, [&](Delta<E>& d) {
      if (d.kind == DeltaKind::Insert) {
        state.insert(std::move(d.element));
      } else {
        state.remove(std::move(d.element));
      }
    });
    version = state.version();
  }
  state.drop_released();
  return version;
}

// Records changes that counts kept elsewhere (see `count_by`) have taken in already, under the
// state's exclusive borrow, moving their elements out; then drops what they let go of, once
// the borrow is given up. Returns the state's new version. With `stand_ins`, the elements
// only stand in for the real ones, which no reader of the changes looks at. When memory
// runs out, the changes recorded are dropped from `deltas`, which keeps the rest.
template <class E>
u64 record_all(CollectionState<E>& state, std::vector<Delta<E>>& deltas, bool stand_ins = false) {
  u64 version;
  {
    ExclusiveGuard borrow(state.borrow);
    if (stand_ins && !state.elements_unread()) {
      fail("weft-core: changes recorded without their elements for a reader of elements");
    }
    take_each(deltas, [&](Delta<E>& d) { state.record(d.kind, std::move(d.element)); });
    version = state.version();
  }
  state.drop_released();
  return version;
}

// The deltas an operator derived from source deltas it has consumed but could not apply to
// its own state (an element's hash or equality threw): applied first on its next run, before
// any later delta.
template <class E>
class UnappliedDeltas {
 public:
  // Applies what an earlier run left; those that fail again stay.
  void apply_first(CollectionState<E>& own) {
    if (!left_.empty()) apply_deltas(own, left_);
  }
  // Applies this run's deltas; on failure keeps the ones not applied, and rethrows.
  u64 apply(CollectionState<E>& own, std::vector<Delta<E>>& deltas) {
    try {
      return apply_deltas(own, deltas);
    } catch (...) {
      left_ = std::move(deltas);
      throw;
    }
  }

 private:
  std::vector<Delta<E>> left_;
};

// The changes an operator derived, for counts kept elsewhere that took them in already (see
// `count_by`), but could not record (memory ran out): recorded first on its next run,
// before any later change.
template <class E>
class UnrecordedDeltas {
 public:
  // Records what an earlier run left; what fails again stays.
  void record_first(CollectionState<E>& own) {
    if (!left_.empty()) record_all(own, left_, stand_ins_);
  }
  // Records this run's changes; when memory runs out, keeps those not recorded and rethrows.
  u64 record(CollectionState<E>& own, std::vector<Delta<E>>& deltas, bool stand_ins = false) {
    try {
      return record_all(own, deltas, stand_ins);
    } catch (...) {
      keep(deltas, stand_ins);
      throw;
    }
  }
  // Keeps changes the run made but did not get to record. Only after `record_first`, which
  // leaves nothing kept.
  void keep(std::vector<Delta<E>>& deltas, bool stand_ins = false) noexcept {
    left_.swap(deltas);
    stand_ins_ = stand_ins;
  }

 private:
  std::vector<Delta<E>> left_;
  bool stand_ins_ = false;
};

// Refuses, before an operator subscribes, a source whose version node another runtime
// minted or was deleted: the operator could never be read, and its cursor would keep every
// later delta of the source.
inline void check_operator_source(const Runtime& runtime, Weft<u64> source_version) {
  runtime.validate(source_version);
}

// Subscribes an operator to a source under the source's exclusive borrow.
template <class E>
CursorRef subscribe(CollectionState<E>& source, std::vector<E>& snapshot_out) {
  ExclusiveGuard borrow(source.borrow);
  return source.subscribe(snapshot_out);
}

// Subscribes a reader of the deltas' kinds alone, likewise; `count_out` receives the number of
// elements before its cursor.
template <class E>
CursorRef subscribe_to_kinds(CollectionState<E>& source, u64& count_out) {
  ExclusiveGuard borrow(source.borrow);
  return source.subscribe_to_kinds(count_out);
}

// Subscribes a reader of the deltas' elements that needs no snapshot, likewise.
template <class E>
CursorRef subscribe_without_snapshot(CollectionState<E>& source, u64& count_out) {
  ExclusiveGuard borrow(source.borrow);
  return source.subscribe_without_snapshot(count_out);
}

// The compute of an operator that turns each source delta into at most one delta of its
// own: `transform(delta)` returns the new delta or nothing. Deltas left unapplied by an
// earlier run are applied first; then every transform of this run runs before any of its
// deltas is applied, so a failing transform leaves the cursor, and this run's part of the
// own state, as they were.
template <class In, class Out, class Transform>
class DeltaMapCompute {
 public:
  DeltaMapCompute(StateRef<In> source, CursorRef cursor, StateRef<Out> own, Transform transform,
                  Weft<u64> source_version)
      : source_(std::move(source)),
        cursor_(std::move(cursor)),
        own_(std::move(own)),
        transform_(std::move(transform)),
        source_version_(source_version) {}

  u64 operator()(Runtime& runtime) {
    runtime.read(source_version_);
    unapplied_.apply_first(*own_);
    ScratchBuffer<Delta<Out>> out(outgoing_);
    // One delta at a time, each copied out under a borrow of its own, so that the user code
    // the transform calls may read the source, or change it: what it adds comes after
    // `in_version`, and the log keeps every delta from the cursor on.
    u64 in_version;
    {
      SharedGuard borrow(source_->borrow);
      in_version = source_->version();
    }
    for (u64 i = cursor_->index; i < in_version; ++i) {
      if (auto transformed = transform_(copy_delta(i))) out.get().push_back(std::move(*transformed));
    }
    // The source deltas are consumed once transformed: what the own state refuses now is
    // kept and applied on the next run, not derived again.
    cursor_->index = in_version;
    return unapplied_.apply(*own_, out.get());
  }

 private:
  Delta<In> copy_delta(u64 absolute) const {
    SharedGuard borrow(source_->borrow);
    return source_->log().at(absolute);
  }

  StateRef<In> source_;
  CursorRef cursor_;
  StateRef<Out> own_;
  Transform transform_;
  Weft<u64> source_version_;
  std::vector<Delta<Out>> outgoing_;
  UnappliedDeltas<Out> unapplied_;
};

// Builds an operator of that kind: subscribe, run `transform` over the snapshot as inserts,
// then create the compute node.
template <class In, class Out, class Transform>
CollectionHandle<Out> build_delta_map(Runtime& runtime, const CollectionHandle<In>& source, Transform transform) {
  check_operator_source(runtime, source.version_node);
  StateRef<In> source_state = source.state;
  std::vector<In> snapshot;
  CursorRef cursor = subscribe(*source_state, snapshot);
  auto own = std::make_shared<CollectionState<Out>>();
  std::vector<Delta<Out>> initial;
  initial.reserve(snapshot.size());
  for (In& e : snapshot) {
    if (auto transformed = transform(Delta<In>{DeltaKind::Insert, std::move(e)})) {
      initial.push_back(std::move(*transformed));
    }
  }
  apply_deltas(*own, initial);
  Weft<u64> node = runtime.create_compute<u64>(DeltaMapCompute<In, Out, Transform>(
      source_state, std::move(cursor), own, std::move(transform), source.version_node));
  return {own, node, true};
}

// What a conversion's collection holds: the inner collection's elements, each made into an
// element of its own for every snapshot, less the inner changes the conversion has not taken
// in yet (there are such only while a run that failed waits to be run again).
template <class In, class Out>
class ConvertedContents final : public ElementCounts<Out> {
 public:
  ConvertedContents(StateRef<In> inner, CursorRef cursor, std::function<Out(const In&)> make)
      : inner_(std::move(inner)), cursor_(std::move(cursor)), make_(std::move(make)) {}

  std::vector<Out> snapshot() const override {
    std::vector<In> elements;
    ElementMap<In, i64> ahead;  // inner copies of each element not yet taken in (or, below 0, gone)
    {
      SharedGuard borrow(inner_->borrow);
      elements = inner_->snapshot();
      const DeltaLog<Delta<In>>& log = inner_->log();
      for (u64 i = cursor_->index; i < log.version(); ++i) {
        const Delta<In>& d = log.at(i);
        ahead[d.element] += d.kind == DeltaKind::Insert ? 1 : -1;
      }
    }
    std::vector<Out> out;
    out.reserve(elements.size());
    for (const In& e : elements) {
      if (!ahead.empty()) {
        auto it = ahead.find(e);
        if (it != ahead.end() && it.value() > 0) {
          --it.value();
          continue;
        }
      }
      out.push_back(make_(e));
    }
    for (const auto& [e, count] : ahead) {
      for (i64 i = count; i < 0; ++i) out.push_back(make_(e));
    }
    return out;
  }

  u64 total() const override {
    SharedGuard borrow(inner_->borrow);
    u64 total = inner_->element_count();
    const DeltaLog<Delta<In>>& log = inner_->log();
    for (u64 i = cursor_->index; i < log.version(); ++i) {
      total += log.at(i).kind == DeltaKind::Insert ? u64(-1) : 1;
    }
    return total;
  }

 private:
  StateRef<In> inner_;
  CursorRef cursor_;
  std::function<Out(const In&)> make_;
};

// Turns a collection of one element type into a derived collection of another, element by
// element (pairs into tuples, sequences into lists, in the binding), as one node of its own.
// The derived collection keeps no counts: it holds what the inner collection holds
// (ConvertedContents), and `make` makes each element afresh for every change and snapshot
// that hands it on. It makes none while nothing reads the derived collection's changes, and
// none while their readers read kinds alone (a count): `stand_in` takes each element's
// place then. `make` calls no user code, so the inner log is read in place; when it fails,
// the run has changed nothing, and the next one takes the same inner changes.
template <class Out, class In, class Make>
CollectionHandle<Out> convert(Runtime& runtime, const CollectionHandle<In>& inner, Make make, Out stand_in) {
  check_operator_source(runtime, inner.version_node);
  StateRef<In> inner_state = inner.state;
  u64 initial;
  CursorRef cursor = subscribe_without_snapshot(*inner_state, initial);
  // The inner collection's elements count as the inserts that start the collection, which
  // nobody reads yet.
  auto own = std::make_shared<CollectionState<Out>>();
  {
    ExclusiveGuard borrow(own->borrow);
    own->count_by(std::make_unique<ConvertedContents<In, Out>>(inner_state, cursor, make));
    own->record_unread(initial);
  }
  Weft<u64> inner_version = inner.version_node;
  auto compute = [=, make = std::move(make), made = std::vector<Delta<Out>>{},
                  unrecorded = UnrecordedDeltas<Out>{}](Runtime& rt) mutable -> u64 {
    rt.read(inner_version);
    unrecorded.record_first(*own);
    bool unread, kinds_only;
    {
      SharedGuard borrow(own->borrow);
      unread = own->log().unread();
      kinds_only = own->elements_unread();
    }
    ScratchBuffer<Delta<Out>> out(made);
    u64 in_version, taken;
    {
      SharedGuard borrow(inner_state->borrow);
      const DeltaLog<Delta<In>>& log = inner_state->log();
      in_version = log.version();
      taken = in_version - cursor->index;
      if (!unread) {
        for (u64 i = cursor->index; i < in_version; ++i) {
          const Delta<In>& d = log.at(i);
          out.get().push_back({d.kind, kinds_only ? stand_in : make(d.element)});
        }
      }
    }
    cursor->index = in_version;
    if (!unread) return unrecorded.record(*own, out.get(), kinds_only);
    ExclusiveGuard borrow(own->borrow);
    own->record_unread(taken);
    return own->version();
  };
  Weft<u64> node = runtime.create_compute<u64>(std::move(compute));
  return {own, node, true};
}

}  // namespace weft
