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
