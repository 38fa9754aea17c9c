// Out-of-line failure paths of the storage and the dependency stack.
#include "weft/arena_registry.hpp"
#include "weft/dep_stack.hpp"
#include "weft/value_slot.hpp"

namespace weft {

void fail_unwritten_slot() { fail("ValueSlot::read on a slot that was never written"); }

void fail_cell_out_of_range(u32 index, std::size_t size) {
  fail(cat("index out of range: value cell ", index, " of an arena with ", size, " cells"));
}

void fail_tag_out_of_range(std::size_t tag, std::size_t size) {
  fail(cat("index out of range: type tag ", tag, " of a registry with ", size, " arenas"));
}

void fail_too_many_types() { fail("weft-core: more than 65536 distinct value types in one runtime"); }

void fail_downcast() { fail("ArenaRegistry::ensure_tagged downcast failed; TypeId/arena mismatch"); }

void fail_pop_empty() { fail("LocalDepStack::pop_frame on empty stack"); }

}  // namespace weft
