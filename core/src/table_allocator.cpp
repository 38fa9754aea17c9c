#include "weft/table_allocator.hpp"

#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>

namespace weft {

void* allocate_huge(std::size_t bytes) {
  // aligned_alloc takes whole multiples of the alignment; the rest of the last huge page
  // is never touched, so it takes no memory.
  if (bytes > SIZE_MAX - kHugePage) throw std::bad_alloc();
  void* memory = std::aligned_alloc(kHugePage, (bytes + kHugePage - 1) / kHugePage * kHugePage);
  if (!memory) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  // Only the huge pages the table fills: advising the partial one at its end would let the
  // kernel back the unused rest of it.
  std::size_t whole = bytes - bytes % kHugePage;
  madvise(memory, whole, MADV_HUGEPAGE);  // a hint; refused, the block is still usable
#endif
  return memory;
}

void free_huge(void* memory) noexcept { std::free(memory); }

}  // namespace weft
