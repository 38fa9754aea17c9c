// The per-node state byte.
#pragma once

#include "weft/failure.hpp"

namespace weft {

enum class NodeState : u8 {
  Dirty = 0,           // must be recomputed before it is read
  Stale = 1,           // may be out of date; verify its dependencies first
  Computing = 2,       // its compute is running now
  Clean = 3,           // up to date as of its verified_at stamp
  Failed = 4,          // its last compute failed; reads fail until a dependency changes
  ComputingStale = 5,  // computing, and an input upstream changed meanwhile
  Deleted = 6,         // deleted; the slot waits for reuse
};

[[noreturn]] void fail_invalid_state(u8 value);

// Reads a state byte, rejecting values outside the seven states.
inline NodeState decode_state(u8 value) {
  if (value > static_cast<u8>(NodeState::Deleted)) fail_invalid_state(value);
  return static_cast<NodeState>(value);
}

inline u8 encode_state(NodeState s) { return static_cast<u8>(s); }

}  // namespace weft
