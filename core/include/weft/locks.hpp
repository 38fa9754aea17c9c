// Access-counting locks: a single-thread guard against overlapping use of a table. A
// conflicting request is an invariant failure, never a wait.
#pragma once

#include <cstdint>

#include "weft/failure.hpp"

namespace weft {

class AccessLock {
 public:
  AccessLock() = default;
  AccessLock(const AccessLock&) = delete;
  AccessLock& operator=(const AccessLock&) = delete;

  void acquire_shared() {
    // One unsigned test for both refusals: held exclusively (negative) or at the count limit.
    if (static_cast<std::uintptr_t>(counter_) >= static_cast<std::uintptr_t>(INTPTR_MAX)) {
      fail_shared();
    }
    ++counter_;
  }
  void release_shared() { --counter_; }
  void acquire_exclusive() {
    if (counter_ != 0) fail_exclusive();
    counter_ = -1;
  }
  void release_exclusive() { counter_ = 0; }

  // Checks that an acquisition would succeed, without acquiring.
  void check_shared_available() const {
    if (counter_ < 0) fail_shared();
  }
  void check_exclusive_available() const {
    if (counter_ != 0) fail_exclusive();
  }

  std::intptr_t counter() const { return counter_; }

 private:
  [[noreturn]] static void fail_shared();
  [[noreturn]] static void fail_exclusive();

  // 0 free, n > 0 held shared n times, -1 held exclusively.
  std::intptr_t counter_ = 0;
};

class SharedGuard {
 public:
  explicit SharedGuard(AccessLock& lock) : lock_(&lock) { lock.acquire_shared(); }
  ~SharedGuard() { release(); }
  SharedGuard(const SharedGuard&) = delete;
  SharedGuard& operator=(const SharedGuard&) = delete;
  // Gives the access up before the end of the scope.
  void release() {
    if (lock_) lock_->release_shared();
    lock_ = nullptr;
  }

 private:
  AccessLock* lock_;
};

class ExclusiveGuard {
 public:
  explicit ExclusiveGuard(AccessLock& lock) : lock_(&lock) { lock.acquire_exclusive(); }
  ~ExclusiveGuard() { release(); }
  ExclusiveGuard(const ExclusiveGuard&) = delete;
  ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;
  void release() {
    if (lock_) lock_->release_exclusive();
    lock_ = nullptr;
  }

 private:
  AccessLock* lock_;
};

}  // namespace weft
