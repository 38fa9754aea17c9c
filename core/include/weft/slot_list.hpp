// A growable list of slots that keeps a few entries inside itself.
#pragma once

#include <cstddef>
#include <vector>

#include "weft/failure.hpp"

namespace weft {

// A list of slot numbers holding up to four entries inside the object and more in one heap
// block. The dependents table keeps one per node: most nodes have a few dependents, whose
// list then costs no allocation, and reading it during invalidation follows no pointer into
// memory of its own.
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

  const u32* begin() const { return on_heap() ? heap_ : inline_; }
  const u32* end() const { return begin() + size_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::vector<u32> to_vector() const { return std::vector<u32>(begin(), end()); }

  // Appends `copies` entries of `slot`.
  void append(u32 slot, std::size_t copies = 1) {
    if (copies > capacity_ - size_) grow(copies);
    u32* out = data() + size_;
    for (std::size_t i = 0; i < copies; ++i) out[i] = slot;
    size_ += static_cast<u32>(copies);
  }
  // Removes every entry of `slot`, keeping the order of the rest.
  void remove_all(u32 slot) {
    u32* d = data();
    u32 kept = 0;
    for (u32 i = 0; i < size_; ++i) {
      if (d[i] != slot) d[kept++] = d[i];
    }
    size_ = kept;
  }
  // Drops every entry and the heap block, if any.
  void reset() noexcept {
    if (on_heap()) delete[] heap_;
    capacity_ = kInline;
    size_ = 0;
  }

 private:
  static constexpr u32 kInline = 4;

  bool on_heap() const { return capacity_ > kInline; }
  u32* data() { return on_heap() ? heap_ : inline_; }
  // Makes room for `more` entries beyond the present ones (fails beyond 2^32 - 1 entries).
  void grow(std::size_t more);
  void append_all(const SlotList& other) {
    if (other.size_ > capacity_ - size_) grow(other.size_);
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

  u32 size_ = 0;
  u32 capacity_ = kInline;
  union {
    u32 inline_[kInline];
    u32* heap_;
  };
};

}  // namespace weft
