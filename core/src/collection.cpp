#include "weft/collection.hpp"
#include "weft/group_by.hpp"
#include "weft/sorted_collection.hpp"

namespace weft {

void fail_mutate_derived() {
  fail("weft-core: insert/delete on a derived collection; derived collections are maintained by "
       "their operator, mutate the source collection instead");
}

void fail_staged_without_key() { fail("insert delta staged without key"); }

void fail_router_unrecorded() { fail("group_by router ran before its handle was recorded"); }

void fail_router_recorded_twice() { fail("group_by router recorded twice"); }

void fail_window_size() { fail("window size must be positive"); }

}  // namespace weft
