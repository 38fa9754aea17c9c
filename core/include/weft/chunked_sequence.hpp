// A sequence with logarithmic positional access, insertion and removal: values live in
// chunks of bounded size, and a Fenwick tree over the chunk sizes turns a position into its
// chunk. Used for sorted entries and the ordered copies that follow them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace weft {

template <class T, std::size_t kChunk = 64>
class ChunkedSequence {
 public:
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  const T& operator[](std::size_t index) const {
    auto [chunk, offset] = locate(index);
    return chunks_[chunk][offset];
  }

  // Inserts `value` so that it ends up at `index` (0 <= index <= size()).
  void insert(std::size_t index, T value) {
    if (chunks_.empty()) {
      chunks_.emplace_back();
      chunks_.back().reserve(kChunk);
      rebuild_index();
    }
    std::size_t chunk, offset;
    if (index == size_) {
      chunk = chunks_.size() - 1;
      offset = chunks_[chunk].size();
    } else {
      std::tie(chunk, offset) = locate(index);
    }
    // Appending and rotating into place shifts by swaps, which for a value type with its
    // own swap (a reference handle) exchange pointers instead of moving owners.
    std::vector<T>& target = chunks_[chunk];
    target.push_back(std::move(value));
    std::rotate(target.begin() + static_cast<std::ptrdiff_t>(offset), target.end() - 1,
                target.end());
    ++size_;
    if (target.size() > 2 * kChunk) {
      split(chunk);
    } else {
      add(chunk, 1);
    }
  }

  // Removes and returns the value at `index`.
  T erase(std::size_t index) {
    auto [chunk, offset] = locate(index);
    std::vector<T>& target = chunks_[chunk];
    std::rotate(target.begin() + static_cast<std::ptrdiff_t>(offset),
                target.begin() + static_cast<std::ptrdiff_t>(offset) + 1, target.end());
    T removed = std::move(target.back());
    target.pop_back();
    --size_;
    if (target.empty()) {
      chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(chunk));
      rebuild_index();
    } else {
      add(chunk, -1);
    }
    return removed;
  }

  // The first position whose value fails `pred`, for a `pred` that holds on a prefix of
  // the sequence and fails on the rest: a bisection over chunks, then inside one.
  template <class Pred>
  std::size_t partition_point(Pred&& pred) const {
    std::size_t lo = 0, hi = chunks_.size();
    while (lo < hi) {  // first chunk whose last value fails
      std::size_t mid = lo + (hi - lo) / 2;
      if (pred(chunks_[mid].back())) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    if (lo == chunks_.size()) return size_;
    const std::vector<T>& chunk = chunks_[lo];
    std::size_t a = 0, b = chunk.size();
    while (a < b) {
      std::size_t mid = a + (b - a) / 2;
      if (pred(chunk[mid])) {
        a = mid + 1;
      } else {
        b = mid;
      }
    }
    return prefix(lo) + a;
  }

  // Calls `visit(value)` for positions [from, from + count) in order.
  template <class Visit>
  void for_range(std::size_t from, std::size_t count, Visit&& visit) const {
    if (count == 0) return;
    auto [chunk, offset] = locate(from);
    while (count > 0) {
      const std::vector<T>& c = chunks_[chunk];
      for (; offset < c.size() && count > 0; ++offset, --count) visit(c[offset]);
      ++chunk;
      offset = 0;
    }
  }

  template <class Visit>
  void for_each(Visit&& visit) const {
    for (const std::vector<T>& c : chunks_) {
      for (const T& v : c) visit(v);
    }
  }

 private:
  // (chunk, offset) of a position below size().
  std::pair<std::size_t, std::size_t> locate(std::size_t index) const {
    // Fenwick descent: the largest chunk prefix whose total is <= index.
    std::size_t position = 0, remaining = index;
    for (std::size_t step = top_bit_; step > 0; step >>= 1) {
      std::size_t next = position + step;
      if (next <= tree_.size() && tree_[next - 1] <= remaining) {
        position = next;
        remaining -= tree_[next - 1];
      }
    }
    return {position, remaining};
  }

  std::size_t prefix(std::size_t chunk) const {  // values in chunks before `chunk`
    std::size_t total = 0;
    for (std::size_t i = chunk; i > 0; i -= i & (~i + 1)) total += tree_[i - 1];
    return total;
  }

  void add(std::size_t chunk, std::ptrdiff_t delta) {
    for (std::size_t i = chunk + 1; i <= tree_.size(); i += i & (~i + 1)) {
      tree_[i - 1] = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(tree_[i - 1]) + delta);
    }
  }

  void split(std::size_t chunk) {
    std::vector<T>& full = chunks_[chunk];
    std::vector<T> upper;
    upper.reserve(2 * kChunk + 1);
    auto middle = full.begin() + static_cast<std::ptrdiff_t>(full.size() / 2);
    upper.insert(upper.end(), std::make_move_iterator(middle), std::make_move_iterator(full.end()));
    full.erase(middle, full.end());
    chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(chunk) + 1, std::move(upper));
    rebuild_index();
  }

  void rebuild_index() {
    tree_.assign(chunks_.size(), 0);
    for (std::size_t i = 0; i < chunks_.size(); ++i) {
      tree_[i] += chunks_[i].size();
      std::size_t parent = i + 1 + ((i + 1) & (~(i + 1) + 1));
      if (parent <= tree_.size()) tree_[parent - 1] += tree_[i];
    }
    top_bit_ = 1;
    while (top_bit_ * 2 <= tree_.size()) top_bit_ *= 2;
    if (tree_.empty()) top_bit_ = 0;
  }

  std::vector<std::vector<T>> chunks_;
  std::vector<std::size_t> tree_;  // Fenwick tree over chunk sizes
  std::size_t top_bit_ = 0;
  std::size_t size_ = 0;
};

}  // namespace weft
