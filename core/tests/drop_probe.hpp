// A value for compute functions and observer callbacks to capture, which counts how many
// are made and dropped, and notes a drop made while `watched` (a runtime's side-table lock)
// is held: dropping user code's values there could run code that needs the tables.
#pragma once

#include "weft/locks.hpp"

namespace weft {

struct Probe {
  bool live = true;
  static inline int made = 0;
  static inline int dropped = 0;
  static inline int dropped_under_lock = 0;
  static inline const AccessLock* watched = nullptr;

  Probe() { ++made; }
  Probe(const Probe& o) : live(o.live) { made += live; }
  Probe(Probe&& o) noexcept : live(o.live) { o.live = false; }
  Probe& operator=(const Probe&) = delete;
  ~Probe() {
    if (!live) return;
    ++dropped;
    if (watched && watched->counter() != 0) ++dropped_under_lock;
  }
  static void reset() { made = dropped = dropped_under_lock = 0; }
};


}  // namespace weft
