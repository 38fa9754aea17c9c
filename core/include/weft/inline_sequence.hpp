// A sequence of fixed length that keeps a few values inside itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <type_traits>
#include <utility>

#include "weft/relocation.hpp"

namespace weft {

// A sequence built once to a length known in advance, holding up to `kInline` values inside
// the object and longer runs in one heap block. The windows of a sorted collection are such
// sequences: every change makes a few and drops a few, and for the short windows programs
// ask for, a heap block each would cost more than the values in it.
template <class E, std::size_t kInline = 4>
class InlineSequence {
  static_assert(std::is_nothrow_move_constructible_v<E>, "values move in place of the sequence");

 public:
  using value_type = E;
  using iterator = E*;
  using const_iterator = const E*;

  InlineSequence() noexcept {}

  // An empty sequence with room for `capacity` values, which `push_back` adds.
  static InlineSequence with_room(std::size_t capacity) {
    InlineSequence s;
    s.reserve(capacity);
    return s;
  }

  // Made through the empty sequence, so that the destructor cleans up if a copy throws.
  template <std::forward_iterator It>
  InlineSequence(It first, It last) : InlineSequence() {
    reserve(static_cast<std::size_t>(std::distance(first, last)));
    for (; first != last; ++first) push_back(*first);
  }
  InlineSequence(std::initializer_list<E> values) : InlineSequence(values.begin(), values.end()) {}

  InlineSequence(const InlineSequence& other) : InlineSequence(other.begin(), other.end()) {}
  InlineSequence(InlineSequence&& other) noexcept { take(other); }
  InlineSequence& operator=(const InlineSequence& other) {
    if (this != &other) *this = InlineSequence(other);
    return *this;
  }
  InlineSequence& operator=(InlineSequence&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  ~InlineSequence() { release(); }

  // Adds a value within the room the sequence was made with.
  void push_back(const E& value) {
    std::construct_at(begin() + size_, value);
    ++size_;
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  E* begin() { return heap_ ? heap_ : inline_; }
  E* end() { return begin() + size_; }
  const E* begin() const { return heap_ ? heap_ : inline_; }
  const E* end() const { return begin() + size_; }
  E& operator[](std::size_t i) { return begin()[i]; }
  const E& operator[](std::size_t i) const { return begin()[i]; }

  friend bool operator==(const InlineSequence& a, const InlineSequence& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }
  friend bool operator<(const InlineSequence& a, const InlineSequence& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  // Only while empty and holding no heap block.
  void reserve(std::size_t capacity) {
    if (capacity > kInline) {
      heap_ = std::allocator<E>().allocate(capacity);
      heap_capacity_ = capacity;
    }
  }
  // Takes `other`'s values and leaves it empty.
  void take(InlineSequence& other) noexcept {
    if (other.heap_) {
      heap_ = std::exchange(other.heap_, nullptr);
      heap_capacity_ = std::exchange(other.heap_capacity_, 0);
    } else if constexpr (RelocatesByBytes<E>::value) {
      for (std::size_t i = 0; i < other.size_; ++i) {
        std::memcpy(static_cast<void*>(inline_ + i), static_cast<const void*>(other.inline_ + i), sizeof(E));
      }
    } else {
      for (std::size_t i = 0; i < other.size_; ++i) {
        std::construct_at(inline_ + i, std::move(other.inline_[i]));
        std::destroy_at(other.inline_ + i);
      }
    }
    size_ = std::exchange(other.size_, 0);
  }
  // Destroys the values and frees the heap block, leaving the sequence empty.
  void release() noexcept {
    std::destroy(begin(), end());
    if (heap_) std::allocator<E>().deallocate(heap_, heap_capacity_);
    heap_ = nullptr;
    heap_capacity_ = 0;
    size_ = 0;
  }

  union {  // the first `size_` places hold values when there is no heap block
    E inline_[kInline];
  };
  E* heap_ = nullptr;
  std::size_t heap_capacity_ = 0;
  std::size_t size_ = 0;
};

}  // namespace weft
