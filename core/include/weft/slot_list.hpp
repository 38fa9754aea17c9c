// A growable list of slots that keeps a few entries inside itself.
#pragma once

#include <cstddef>
#include <iterator>
#include <vector>

#include "weft/failure.hpp"

namespace weft {

// A list of slot numbers holding up to four entries inside the object and more in one heap
// block. The dependents table keeps one per node: most nodes have a few dependents, whose
// list then costs no allocation, and reading it during invalidation follows no pointer into
// memory of its own. An owner's list of owned nodes is one too, each named once.
//
// The entries of one slot stand together: the dependents table appends all of a dependent's
// entries at once (one per read), changes their number in place and removes them all at
// once. A run removed from the front of a heap block only moves the block's start, and one
// removed from the end shifts nothing, so that dependents leaving in list order (deletion
// takes the first dependent each time) or in reverse cost no shifting of the rest.
//
// A long list (a node read by many others) also keeps an index from each slot to where its
// run starts, and a run leaving from its middle leaves its places marked removed rather
// than shifting the rest; the places are reclaimed once they outnumber the entries. So no
// removal costs more than a lookup and its own run, whatever order the dependents leave in.
class SlotList {
 public:
  // Steps over the places of removed runs (a span never begins or ends with one).
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = u32;
    using difference_type = std::ptrdiff_t;
    using pointer = const u32*;
    using reference = const u32&;

    Iterator() = default;
    Iterator(const u32* at, const u32* end) : at_(at), end_(end) {}
    const u32& operator*() const { return *at_; }
    Iterator& operator++() {
      do ++at_;
      while (at_ != end_ && *at_ == kRemoved);
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const Iterator& other) const { return at_ == other.at_; }

   private:
    const u32* at_ = nullptr;
    const u32* end_ = nullptr;
  };

  SlotList() noexcept {}
  SlotList(const SlotList& other);
  SlotList(SlotList&& other) noexcept { take(other); }
  SlotList& operator=(const SlotList& other) {
    if (this != &other) *this = SlotList(other);
    return *this;
  }
  SlotList& operator=(SlotList&& other) noexcept {
    if (this != &other) {
      reset();
      take(other);
    }
    return *this;
  }
  ~SlotList() { reset(); }

  Iterator begin() const { return {span(), span() + size_}; }
  Iterator end() const { return {span() + size_, span() + size_}; }
  // The number of entries.
  std::size_t size() const { return size_ - (on_heap() ? heap_.removed : 0); }
  bool empty() const { return size_ == 0; }
  std::vector<u32> to_vector() const { return std::vector<u32>(begin(), end()); }
  // Calls `f` with each slot held, once however many entries it has, in list order.
  template <class F>
  void for_each_slot(F f) const {
    u32 previous = kRemoved;
    for (const u32 *at = span(), *end = at + size_; at != end; ++at) {
      if (*at == previous) continue;
      previous = *at;
      if (previous != kRemoved) f(previous);
    }
  }

  // Appends `copies` entries of `slot`, which the list does not hold.
  void append(u32 slot, std::size_t copies = 1) {
    if (copies == 0) return;
    if (copies > room()) make_room(copies);
    if (indexed()) index_run(slot, heap_.front + size_);
    u32* out = span() + size_;
    for (std::size_t i = 0; i < copies; ++i) out[i] = slot;
    size_ += static_cast<u32>(copies);
  }
  // Makes room for `more` entries, so that appending or lengthening runs by that many in all
  // cannot fail.
  void reserve(std::size_t more);
  // Removes every entry of `slot` (the one run of them), keeping the order of the rest.
  void remove_all(u32 slot) noexcept;
  // Makes the run of `slot` `count` entries long (at least one), in place: the entries of a
  // dependent follow the number of its reads. Does nothing when the list does not hold it.
  void resize_run(u32 slot, std::size_t count);
  // Drops every entry and the heap block, if any.
  void reset() noexcept {
    if (on_heap()) release_heap();
    capacity_ = kInline;
    size_ = 0;
  }

 private:
  // Marks the place of an entry removed from the middle of an indexed list (no slot is
  // numbered this high).
  static constexpr u32 kRemoved = 0xFFFFFFFF;
  static constexpr u32 kInline = 4;
  // Heap blocks of more entries than this keep an index of their runs.
  static constexpr u32 kIndexedAbove = 64;
  // A heap block above this many entries that is less than a quarter full is replaced by
  // one that fits, so that a node once read very widely does not hold the room for good.
  static constexpr u32 kKeptEntries = 1024;

  struct RunIndex;  // slot -> where its run starts in the heap block
  struct Run {
    std::size_t first, last;  // [first, last) of the span, empty when the slot is not held
  };

  bool on_heap() const { return capacity_ > kInline; }
  bool indexed() const { return on_heap() && heap_.index != nullptr; }
  const u32* span() const { return on_heap() ? heap_.block + heap_.front : inline_; }
  u32* span() { return on_heap() ? heap_.block + heap_.front : inline_; }
  // Free places after the span.
  std::size_t room() const {
    return static_cast<std::size_t>(capacity_) - size_ - (on_heap() ? heap_.front : 0);
  }
  // Makes room for `more` entries after the span: squeezes out the places freed at the
  // front and in the middle when they are at least as many as the entries, and moves to a
  // bigger block otherwise (fails beyond 2^32 - 1 entries). Positions change either way.
  void make_room(std::size_t more);
  // Makes room in the index for `more` runs, so that adding them cannot fail.
  void reserve_index(std::size_t more);
  // Records that the run of `slot` starts at `position` of the block (fails only when the
  // index has no room and no memory is to be had, before anything changes).
  void index_run(u32 slot, u32 position);
  // Moves the entries to the block's start without the removed places between them.
  void compact() noexcept;
  // Copies the entries without removed places into `to` and points `index` (if any) at
  // their new positions.
  void copy_compacted(u32* to, RunIndex* index) noexcept;
  // An unindexed list searches from both ends at once, since dependents often leave in
  // list order or in the reverse order.
  Run find_run(u32 slot) const;
  // Removes the span's entries [first, last), keeping the order of the rest.
  void erase(std::size_t first, std::size_t last) noexcept;
  // Moves the entries into a block of twice their number, or inside when they fit there,
  // and fits the index to the runs left; keeps the block or the index when no memory is to
  // be had for a smaller one.
  void shrink() noexcept;
  void release_heap() noexcept;
  // Takes `other`'s entries and leaves it empty.
  void take(SlotList& other) noexcept {
    size_ = other.size_;
    capacity_ = other.capacity_;
    if (other.on_heap()) {
      heap_ = other.heap_;
    } else {
      for (u32 i = 0; i < size_; ++i) inline_[i] = other.inline_[i];
    }
    other.capacity_ = kInline;
    other.size_ = 0;
  }

  struct HeapBlock {
    u32* block;
    RunIndex* index;  // owned; only in blocks of more than kIndexedAbove entries
    u32 front;        // places freed at the block's start
    u32 removed;      // places inside the span marked kRemoved
  };

  u32 size_ = 0;  // places in the span, removed ones included
  u32 capacity_ = kInline;  // of the inline places or of the whole heap block
  union {
    u32 inline_[kInline];
    HeapBlock heap_;
  };
};

}  // namespace weft
