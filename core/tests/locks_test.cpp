#include "test_support.hpp"

namespace weft {
namespace {

const char* const kSharedConflict =
    "weft-core: access conflict: shared access requested while the lock is held exclusively";
const char* const kExclusiveConflict =
    "weft-core: access conflict: exclusive access requested while the lock is already held";

TEST(AccessLock, ExclusiveFailsWhileSharedHoldersRemain) {
  AccessLock lock;
  {
    SharedGuard first(lock);
    SharedGuard second(lock);
    EXPECT_EQ(lock.counter(), 2);
    EXPECT_FAILURE(ExclusiveGuard(lock), kExclusiveConflict);
    EXPECT_EQ(lock.counter(), 2);  // the failed request changed nothing
    first.release();
    EXPECT_EQ(lock.counter(), 1);
    EXPECT_FAILURE(ExclusiveGuard(lock), kExclusiveConflict);
  }
  EXPECT_EQ(lock.counter(), 0);
  {
    ExclusiveGuard guard(lock);
    EXPECT_EQ(lock.counter(), -1);
  }
  EXPECT_EQ(lock.counter(), 0);
}

TEST(AccessLock, SharedOrExclusiveFailWhileHeldExclusively) {
  AccessLock lock;
  ExclusiveGuard guard(lock);
  EXPECT_FAILURE(SharedGuard(lock), kSharedConflict);
  EXPECT_EQ(lock.counter(), -1);
  EXPECT_FAILURE(ExclusiveGuard(lock), kExclusiveConflict);
  EXPECT_EQ(lock.counter(), -1);
  guard.release();
  EXPECT_EQ(lock.counter(), 0);
  guard.release();  // a second release of a given-up guard does nothing
  EXPECT_EQ(lock.counter(), 0);
  SharedGuard shared(lock);
  EXPECT_EQ(lock.counter(), 1);
}

TEST(AccessLock, GuardsReleaseWhenTheSectionFails) {
  AccessLock lock;
  auto failing_section = [&](bool exclusive) {
    if (exclusive) {
      ExclusiveGuard guard(lock);
      fail("section failed");
    }
    SharedGuard guard(lock);
    fail("section failed");
  };
  EXPECT_FAILURE(failing_section(true), "section failed");
  EXPECT_EQ(lock.counter(), 0);
  EXPECT_FAILURE(failing_section(false), "section failed");
  EXPECT_EQ(lock.counter(), 0);
}

TEST(AccessLock, ChecksTestWithoutAcquiring) {
  AccessLock lock;
  lock.check_shared_available();
  lock.check_exclusive_available();
  {
    SharedGuard shared(lock);
    lock.check_shared_available();
    EXPECT_FAILURE(lock.check_exclusive_available(), kExclusiveConflict);
    EXPECT_EQ(lock.counter(), 1);
  }
  ExclusiveGuard exclusive(lock);
  EXPECT_FAILURE(lock.check_shared_available(), kSharedConflict);
  EXPECT_FAILURE(lock.check_exclusive_available(), kExclusiveConflict);
  EXPECT_EQ(lock.counter(), -1);
}

TEST(AccessLock, RuntimeOperationsRefuseConflictingAccessAndRecover) {
  Runtime rt;
  auto a = rt.create_input<u64>(1);
  AccessLock& tables = rt.tables_lock_for_testing();
  {
    SharedGuard held(tables);
    EXPECT_FAILURE(rt.create_input<u64>(2), kExclusiveConflict);
    EXPECT_FAILURE(rt.set_label(a.slot, "a"), kExclusiveConflict);
    EXPECT_FAILURE(rt.get_traced(a), kExclusiveConflict);
    EXPECT_EQ(rt.read(a), 1u);  // reads only need shared access
    EXPECT_EQ(rt.live_count(), 1u);
  }
  {
    ExclusiveGuard held(tables);
    EXPECT_FAILURE(rt.read(a), kSharedConflict);
    EXPECT_FAILURE(rt.live_count(), kSharedConflict);
    EXPECT_FAILURE(rt.collect_snapshot(), kSharedConflict);
  }
  EXPECT_EQ(tables.counter(), 0);
  EXPECT_EQ(rt.live_count(), 1u);  // the refused creation left nothing behind
  auto b = rt.create_input<u64>(2);
  EXPECT_EQ(b.slot, 1u);
  EXPECT_EQ(rt.read(b), 2u);
}

}  // namespace
}  // namespace weft
