// Node identity: runtime ids, handles and the fixed 64-byte node record.
#pragma once

#include <atomic>
#include <ostream>
#include <string_view>

#include "weft/failure.hpp"
#include "weft/reclamation.hpp"
#include "weft/state.hpp"

namespace weft {

struct RuntimeId {
  u64 value = 0;
  friend bool operator==(RuntimeId, RuntimeId) = default;
};

// What the core needs to know of a node value type: its printable name (used in handle
// messages) and its equality (used for cutoff and for skipping equal input writes).
template <class T>
struct ValueTraits;

template <>
struct ValueTraits<u64> {
  static constexpr std::string_view name = "u64";
  static bool equal(u64 a, u64 b) { return a == b; }
};

// A node handle without its value type.
struct ErasedWeft {
  u32 slot = 0;
  u32 generation = 0;
  RuntimeId runtime_id;
  friend bool operator==(const ErasedWeft&, const ErasedWeft&) = default;
  // The debug form: "ErasedWeft { slot: 3, generation: 1, runtime_id: 2 }".
  friend std::ostream& operator<<(std::ostream& out, const ErasedWeft& h) {
    return out << "ErasedWeft { slot: " << h.slot << ", generation: " << h.generation
               << ", runtime_id: " << h.runtime_id.value << " }";
  }
};

// A node handle typed by the node's value type. A plain value: it owns nothing and is
// rejected on use once its node or its runtime is gone.
template <class T>
struct Weft {
  u32 slot = 0;
  u32 generation = 0;
  RuntimeId runtime_id;

  ErasedWeft erased() const { return {slot, generation, runtime_id}; }
  friend bool operator==(const Weft&, const Weft&) = default;
};

constexpr u32 kNoDependency = 0xFFFFFFFFu;
constexpr u8 kInlineDeps = 7;
constexpr u8 kOverflowDepCount = 8;
constexpr u64 kBeingWritten = ~u64{0};  // changed_at while an input write is in progress

// One node, exactly one cache line. Read and written in place without a lock.
struct alignas(64) NodeRecord {
  u64 verified_at = 0;
  u64 changed_at = 0;
  std::atomic<DepBlock*> overflow_deps{nullptr};
  u32 deps[kInlineDeps] = {kNoDependency, kNoDependency, kNoDependency, kNoDependency,
                           kNoDependency, kNoDependency, kNoDependency};
  u32 value_index = 0;
  u16 type_tag = 0;
  u8 state = 0;
  u8 dep_count = 0;
  u32 generation = 0;

  // The top bit of the state byte marks a node the read in progress must not expand again:
  // its traversal entry is expanded and not yet dispatched, or it was left unverified
  // (Stale) until the traversal ends. A dependency so marked counts as unverified for its
  // dependent, and without the mark a loop in the recorded lists would be expanded until the
  // traversal's budget ran out. Setting the state clears the mark.
  static constexpr u8 kExpandingMark = 0x80;

  NodeState node_state() const { return decode_state(state & ~kExpandingMark); }
  void set_state(NodeState s) { state = encode_state(s); }
  bool expanding() const { return (state & kExpandingMark) != 0; }
  void mark_expanding() { state |= kExpandingMark; }
  void clear_expanding() { state &= ~kExpandingMark; }
};

static_assert(sizeof(NodeRecord) == 64, "a node record is one cache line");
static_assert(alignof(NodeRecord) == 64, "a node record starts a cache line");

[[noreturn]] void fail_overflow_null();

// Calls `visit(slots, count)` with the node's dependency list: the inline entries, or the
// overflow block under hazard protection.
template <class Visit>
decltype(auto) with_deps(const NodeRecord& record, Visit&& visit) {
  if (record.dep_count <= kInlineDeps) {
    return visit(static_cast<const u32*>(record.deps), static_cast<std::size_t>(record.dep_count));
  }
  HazardGuard guard;
  DepBlock* block = guard.protect(record.overflow_deps);
  if (!block) fail_overflow_null();
  return visit(static_cast<const u32*>(block->slots), static_cast<std::size_t>(block->len));
}

}  // namespace weft
