#include "weft/slot_list.hpp"

#include <algorithm>
#include <cstdint>
#include <new>

namespace weft {

void SlotList::make_room(std::size_t more) {
  const std::size_t needed = static_cast<std::size_t>(size_) + more;
  if (needed > UINT32_MAX) fail(cat("weft-core: a dependents list cannot hold more than ", UINT32_MAX, " entries"));
  if (on_heap() && heap_.front >= size_ && needed <= capacity_) {
    std::copy(begin(), end(), heap_.block);
    heap_.front = 0;
    return;
  }
  const std::size_t doubled = static_cast<std::size_t>(capacity_) * 2;
  const u32 capacity = static_cast<u32>(std::min<std::size_t>(std::max(needed, doubled), UINT32_MAX));
  u32* block = new u32[capacity];
  std::copy(begin(), end(), block);
  if (on_heap()) delete[] heap_.block;
  heap_ = {block, 0};
  capacity_ = capacity;
}

SlotList::Run SlotList::find_run(u32 slot) const {
  const u32* d = begin();
  std::size_t lo = 0, hi = size_;
  while (lo < hi && d[lo] != slot && d[hi - 1] != slot) {
    ++lo;
    --hi;
  }
  if (lo >= hi) return {0, 0};
  if (d[lo] == slot) {
    std::size_t last = lo + 1;
    while (last < size_ && d[last] == slot) ++last;
    return {lo, last};
  }
  std::size_t first = hi - 1;
  while (first > 0 && d[first - 1] == slot) --first;
  return {first, hi};
}

void SlotList::erase(std::size_t first, std::size_t last) {
  u32* d = data();
  const u32 removed = static_cast<u32>(last - first);
  if (first == 0 && on_heap()) {
    heap_.front += removed;
  } else {
    std::copy(d + last, d + size_, d + first);
  }
  size_ -= removed;
  if (on_heap()) {
    if (size_ == 0) heap_.front = 0;
    if (capacity_ > kKeptEntries && size_ < capacity_ / 4) shrink();
  }
}

void SlotList::remove_all(u32 slot) {
  const Run run = find_run(slot);
  if (run.first != run.last) erase(run.first, run.last);
}

void SlotList::resize_run(u32 slot, std::size_t count) {
  const Run run = find_run(slot);
  const std::size_t have = run.last - run.first;
  if (have == 0 || count == have) return;
  if (count < have) {
    erase(run.first + count, run.last);
    return;
  }
  const std::size_t more = count - have;
  if (more > room()) make_room(more);  // keeps the entries' order and positions
  u32* d = data();
  std::copy_backward(d + run.last, d + size_, d + size_ + more);
  std::fill(d + run.last, d + run.last + more, slot);
  size_ += static_cast<u32>(more);
}

void SlotList::shrink() noexcept {
  u32* old_block = heap_.block;
  const u32* live = begin();
  if (size_ <= kInline) {
    std::copy(live, live + size_, inline_);  // overwrites heap_, whose block is kept above
    capacity_ = kInline;
  } else {
    const u32 capacity = 2 * size_;
    u32* block = new (std::nothrow) u32[capacity];
    if (!block) return;
    std::copy(live, live + size_, block);
    heap_ = {block, 0};
    capacity_ = capacity;
  }
  delete[] old_block;
}

}  // namespace weft
