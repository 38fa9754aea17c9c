#include "weft/table_allocator.hpp"

#include <cstdlib>
#include <sys/mman.h>

namespace weft {

void* allocate_huge(std::size_t bytes) {
  void* memory = std::aligned_alloc(kHugePage, bytes);
  if (!memory) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  // Only the whole huge pages inside the block: advising the partial one at its end would
  // let the kernel back memory beyond the block.
  std::size_t whole = bytes - bytes % kHugePage;
  madvise(memory, whole, MADV_HUGEPAGE);  // a hint; refused, the block is still usable
#endif
  return memory;
}

void free_huge(void* memory) noexcept { std::free(memory); }

}  // namespace weft
