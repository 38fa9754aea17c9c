// A growable list of slots that keeps a few entries inside itself.
#pragma once

#include <cstddef>
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
// once, so a removal ends with the run it finds. A run removed from the front of a heap
// block only moves the block's start, and one removed from the end shifts nothing, so that
// dependents leaving in list order (deletion takes the first dependent each time) or in
// reverse cost no shifting of the rest.
class SlotList {
 public:
  SlotList() noexcept {}
  SlotList(const SlotList& other) : SlotList() { append_all(other); }
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

  const u32* begin() const { return on_heap() ? heap_.block + heap_.front : inline_; }
  const u32* end() const { return begin() + size_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::vector<u32> to_vector() const { return std::vector<u32>(begin(), end()); }

  // Appends `copies` entries of `slot`, which the list does not hold.
  void append(u32 slot, std::size_t copies = 1) {
    if (copies > room()) make_room(copies);
    u32* out = data() + size_;
    for (std::size_t i = 0; i < copies; ++i) out[i] = slot;
    size_ += static_cast<u32>(copies);
  }
  // Makes room for `more` entries, so that appending or lengthening runs by that many in all
  // cannot fail.
  void reserve(std::size_t more) {
    if (more > room()) make_room(more);
  }
  // Removes every entry of `slot` (the one run of them), keeping the order of the rest.
  void remove_all(u32 slot);
  // Makes the run of `slot` `count` entries long (at least one), in place: the entries of a
  // dependent follow the number of its reads. Does nothing when the list does not hold it.
  void resize_run(u32 slot, std::size_t count);
  // Drops every entry and the heap block, if any.
  void reset() noexcept {
    if (on_heap()) delete[] heap_.block;
    capacity_ = kInline;
    size_ = 0;
  }

 private:
  static constexpr u32 kInline = 4;
  // A heap block above this many entries that is less than a quarter full is replaced by
  // one that fits, so that a node once read very widely does not hold the room for good.
  static constexpr u32 kKeptEntries = 1024;

  bool on_heap() const { return capacity_ > kInline; }
  u32* data() { return on_heap() ? heap_.block + heap_.front : inline_; }
  // Free entries after the last one.
  std::size_t room() const {
    return static_cast<std::size_t>(capacity_) - size_ - (on_heap() ? heap_.front : 0);
  }
  // Makes room for `more` entries after the present ones: moves them to the block's start
  // when removals from the front freed at least as many entries as are left (fails beyond
  // 2^32 - 1 entries).
  void make_room(std::size_t more);
  struct Run {
    std::size_t first, last;  // [first, last), empty when the slot is not held
  };
  // The search runs from both ends at once, since dependents often leave in list order or
  // in the reverse order.
  Run find_run(u32 slot) const;
  // Removes the entries [first, last), keeping the order of the rest.
  void erase(std::size_t first, std::size_t last);
  // Moves the entries into a block of twice their number, or inside when they fit there;
  // keeps the block when no memory is to be had for the smaller one.
  void shrink() noexcept;
  void append_all(const SlotList& other) {
    if (other.size_ > room()) make_room(other.size_);
    u32* out = data() + size_;
    for (u32 i = 0; i < other.size_; ++i) out[i] = other.begin()[i];
    size_ += other.size_;
  }
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
    u32 front;  // entries removed from the block's start
  };

  u32 size_ = 0;
  u32 capacity_ = kInline;  // of the inline places or of the whole heap block
  union {
    u32 inline_[kInline];
    HeapBlock heap_;
  };
};

}  // namespace weft
