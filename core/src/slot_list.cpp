#include "weft/slot_list.hpp"

#include <tsl/robin_map.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>

#include "weft/hashing.hpp"
#include "weft/table_allocator.hpp"

namespace weft {

struct SlotList::RunIndex {
  // Positions counted from the block's start.
  tsl::robin_map<u32, u32, RandomHasher, std::equal_to<u32>, TableAllocator<std::pair<u32, u32>>> starts;
};

SlotList::SlotList(const SlotList& other) : SlotList() {
  reserve(other.size());
  for (Iterator it = other.begin(); it != other.end();) {
    const u32 slot = *it;
    std::size_t copies = 0;
    for (; it != other.end() && *it == slot; ++it) ++copies;
    append(slot, copies);
  }
}

void SlotList::reserve(std::size_t more) {
  if (more > room()) {
    make_room(more);
  } else if (indexed()) {
    reserve_index(more);
  }
}

void SlotList::reserve_index(std::size_t more) {
  auto& starts = heap_.index->starts;
  const std::size_t wanted = starts.size() + more;
  // The map rebuilds itself on every reserve, so it is asked only when it would grow.
  if (static_cast<float>(wanted) > static_cast<float>(starts.bucket_count()) * starts.max_load_factor()) {
    starts.reserve(wanted);
  }
}

void SlotList::index_run(u32 slot, u32 position) { heap_.index->starts.emplace(slot, position); }

void SlotList::make_room(std::size_t more) {
  const std::size_t entries = size();
  const std::size_t needed = entries + more;
  if (needed > UINT32_MAX) fail(cat("weft-core: a dependents list cannot hold more than ", UINT32_MAX, " entries"));
  if (on_heap() && heap_.front + heap_.removed >= entries && needed <= capacity_) {
    if (indexed()) reserve_index(more);
    compact();
    return;
  }
  const std::size_t doubled = static_cast<std::size_t>(capacity_) * 2;
  const u32 capacity = static_cast<u32>(std::min<std::size_t>(std::max(needed, doubled), UINT32_MAX));
  std::unique_ptr<u32[]> block(new u32[capacity]);
  std::unique_ptr<RunIndex> fresh_index;
  if (indexed()) {
    reserve_index(more);
  } else if (capacity > kIndexedAbove) {
    fresh_index = std::make_unique<RunIndex>();
    fresh_index->starts.reserve(needed);
  }
  // Nothing fails from here on.
  RunIndex* index = indexed() ? heap_.index : fresh_index.release();
  copy_compacted(block.get(), index);
  if (on_heap()) delete[] heap_.block;
  heap_ = {block.release(), index, 0, 0};
  size_ = static_cast<u32>(entries);
  capacity_ = capacity;
}

void SlotList::copy_compacted(u32* to, RunIndex* index) noexcept {
  const u32* from = span();
  u32 out = 0;
  u32 previous = kRemoved;
  for (u32 i = 0; i < size_; ++i) {
    const u32 slot = from[i];
    if (slot == kRemoved) continue;
    // A fresh index has room for every run; an old one holds the slot already.
    if (index && slot != previous) index->starts[slot] = out;
    to[out++] = slot;
    previous = slot;
  }
}

void SlotList::compact() noexcept {
  const u32 entries = static_cast<u32>(size());
  copy_compacted(heap_.block, heap_.index);  // writes never pass the reads
  heap_.front = 0;
  heap_.removed = 0;
  size_ = entries;
}

SlotList::Run SlotList::find_run(u32 slot) const {
  const u32* d = span();
  if (indexed()) {
    const auto it = heap_.index->starts.find(slot);
    if (it == heap_.index->starts.end()) return {0, 0};
    const std::size_t first = it->second - heap_.front;
    std::size_t last = first + 1;
    while (last < size_ && d[last] == slot) ++last;
    return {first, last};
  }
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

void SlotList::erase(std::size_t first, std::size_t last) noexcept {
  u32* d = span();
  const u32 count = static_cast<u32>(last - first);
  if (!on_heap()) {
    std::copy(d + last, d + size_, d + first);
    size_ -= count;
    return;
  }
  if (first == 0) {
    heap_.front += count;
    size_ -= count;
    for (; size_ > 0 && heap_.block[heap_.front] == kRemoved; --size_, --heap_.removed) ++heap_.front;
  } else if (last == size_) {
    size_ = static_cast<u32>(first);
    for (; size_ > 0 && d[size_ - 1] == kRemoved; --heap_.removed) --size_;
  } else if (indexed()) {
    std::fill(d + first, d + last, kRemoved);
    heap_.removed += count;
  } else {
    std::copy(d + last, d + size_, d + first);
    size_ -= count;
  }
  if (size_ == 0) heap_.front = 0;
  const std::size_t entries = size();
  if (heap_.removed > entries) compact();
  if (capacity_ > kKeptEntries && entries < capacity_ / 4) shrink();
}

void SlotList::remove_all(u32 slot) noexcept {
  const Run run = find_run(slot);
  if (run.first == run.last) return;
  if (indexed()) heap_.index->starts.erase(slot);
  erase(run.first, run.last);
}

void SlotList::resize_run(u32 slot, std::size_t count) {
  Run run = find_run(slot);
  const std::size_t have = run.last - run.first;
  if (have == 0 || count == have) return;
  if (count < have) {
    erase(run.first + count, run.last);
    return;
  }
  const std::size_t more = count - have;
  u32* d = span();
  const bool freed_after = run.last + more <= size_ &&
                           std::all_of(d + run.last, d + run.last + more, [](u32 s) { return s == kRemoved; });
  if (freed_after) {  // the run takes back places it or its neighbour left
    std::fill(d + run.last, d + run.last + more, slot);
    heap_.removed -= static_cast<u32>(more);
    return;
  }
  if (more > room()) {
    make_room(more);
    run = find_run(slot);
    d = span();
  }
  std::copy_backward(d + run.last, d + size_, d + size_ + more);
  std::fill(d + run.last, d + run.last + more, slot);
  size_ += static_cast<u32>(more);
  if (indexed()) {  // the runs after it start further on
    for (std::size_t i = run.last + more; i < size_; ++i) {
      if (d[i] != kRemoved && d[i] != d[i - 1]) heap_.index->starts[d[i]] += static_cast<u32>(more);
    }
  }
}

void SlotList::shrink() noexcept {
  u32* old_block = heap_.block;
  RunIndex* index = heap_.index;
  const u32 entries = static_cast<u32>(size());
  if (entries <= kInline) {
    const u32* from = span();
    const u32 places = size_;
    u32 out = 0;
    for (u32 i = 0; i < places; ++i) {
      if (from[i] != kRemoved) inline_[out++] = from[i];  // overwrites heap_, saved above
    }
    capacity_ = kInline;
    size_ = entries;
    delete index;
  } else {
    const u32 capacity = 2 * entries;
    u32* block = new (std::nothrow) u32[capacity];
    if (!block) return;
    const bool keeps_index = capacity > kIndexedAbove;
    copy_compacted(block, keeps_index ? index : nullptr);
    if (keeps_index) {
      try {
        index->starts.rehash(0);  // to fit the runs left: the map never shrinks by itself
      } catch (const std::bad_alloc&) {
      }
    } else {
      delete index;
    }
    heap_ = {block, keeps_index ? index : nullptr, 0, 0};
    size_ = entries;
    capacity_ = capacity;
  }
  delete[] old_block;
}

void SlotList::release_heap() noexcept {
  delete heap_.index;
  delete[] heap_.block;
}

}  // namespace weft
