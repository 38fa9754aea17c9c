// The allocator of the engine's hash tables, which keeps the large ones on huge pages.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

namespace weft {

// A transparent huge page: 2 MiB on x86-64 and on most arm64 kernels.
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Memory of at least `kHugePage` bytes, aligned to a huge page and advised to the kernel for
// transparent huge pages (a hint only: where the kernel declines, it stays in small pages).
// Throws std::bad_alloc when there is none.
void* allocate_huge(std::size_t bytes);
void free_huge(void* memory) noexcept;

// A lookup lands anywhere in a table, so once a table outgrows what the TLB covers in 4 KiB
// pages (a few MiB) nearly every lookup misses the TLB as well as the cache, and under
// virtualisation the page walk costs more than the miss. Tables of a huge page or more are
// therefore put on huge pages; smaller ones come from the heap as usual. Either way the table
// is filled in as it would be, so the memory it keeps resident does not grow.
template <class T>
struct TableAllocator {
  using value_type = T;

  TableAllocator() noexcept = default;
  template <class U>
  TableAllocator(const TableAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n < kHugePage / sizeof(T)) return std::allocator<T>().allocate(n);
    if (n > std::allocator_traits<std::allocator<T>>::max_size(std::allocator<T>())) {
      throw std::bad_array_new_length();
    }
    return static_cast<T*>(allocate_huge(n * sizeof(T)));
  }

  void deallocate(T* memory, std::size_t n) noexcept {
    if (n < kHugePage / sizeof(T)) {
      std::allocator<T>().deallocate(memory, n);
    } else {
      free_huge(memory);
    }
  }

  friend bool operator==(const TableAllocator&, const TableAllocator&) noexcept { return true; }
};

}  // namespace weft
