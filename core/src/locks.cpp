#include "weft/locks.hpp"

namespace weft {

void AccessLock::fail_shared() {
  fail("weft-core: access conflict: shared access requested while the lock is held exclusively");
}

void AccessLock::fail_exclusive() {
  fail("weft-core: access conflict: exclusive access requested while the lock is already held");
}

}  // namespace weft
