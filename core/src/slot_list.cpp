#include "weft/slot_list.hpp"

#include <algorithm>
#include <cstdint>

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

}  // namespace weft
