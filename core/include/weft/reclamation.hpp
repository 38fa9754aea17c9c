// Hazard-pointer reclamation of out-of-line dependency blocks. One domain serves the whole
// process: a replaced block is retired, and freed only once no reader has it published.
#pragma once

#include <atomic>
#include <cstddef>

#include "weft/failure.hpp"

namespace weft {

// An out-of-line dependency list: the slots of more than seven dependencies.
struct DepBlock {
  u32* slots;
  u64 len;
};

// A new block holding a copy of `slots[0..len)`.
DepBlock* make_dep_block(const u32* slots, std::size_t len);
// Frees a block that never hung off a record; null is ignored.
void free_dep_block(DepBlock* block) noexcept;

struct HazardRecord;

// Protects one pointer for the guard's lifetime: the block it returns is not freed before
// the guard is destroyed, however often the source pointer is replaced meanwhile.
class HazardGuard {
 public:
  HazardGuard();
  ~HazardGuard();
  HazardGuard(const HazardGuard&) = delete;
  HazardGuard& operator=(const HazardGuard&) = delete;

  DepBlock* protect(const std::atomic<DepBlock*>& source);

 private:
  HazardRecord* record_;
};

// Hands a block that no longer hangs off any record to the domain.
void retire(DepBlock* block);

// Swaps `slot`'s block for `replacement` (possibly null) and retires the old one.
inline void replace_block(std::atomic<DepBlock*>& slot, DepBlock* replacement) {
  DepBlock* old = slot.exchange(replacement, std::memory_order_seq_cst);
  if (old) retire(old);
}

// Introspection and a forced pass, for tests.
namespace reclamation {
std::size_t run_pass();          // frees every unprotected retired block; returns how many
std::size_t retired_waiting();   // blocks retired and not yet freed
std::size_t retired_count();     // the count compared with the pass threshold
std::size_t hazard_records();    // hazard records ever created
}  // namespace reclamation

}  // namespace weft
