// Records what each running compute reads: one frame per compute in progress.
#pragma once

#include <vector>

#include "weft/locks.hpp"

namespace weft {

struct ReadRecord {
  u32 slot;
  u32 generation;
};

inline constexpr u32 kNoFailedRead = ~u32{0};

struct DepFrame {
  std::vector<ReadRecord> reads;
  u32 node = 0;
  bool tainted = false;
  // Tainted by more than failures it caught (work a retreat abandoned, a node it read whose
  // value may not hold): its value cannot serve even the read that made it.
  bool unsound = false;
  // Run to bring a recorded dependency up to date before its dependent has decided whether
  // it still reads it, rather than for a read that needs the value.
  bool speculative = false;
  // A node whose read failed in this compute (the last such), kNoFailedRead if none.
  u32 failed_read = kNoFailedRead;
  // A read went unrecorded (memory ran out): the reads say less than the compute read.
  bool incomplete = false;
};

[[noreturn]] void fail_pop_empty();

class LocalDepStack {
 public:
  // Frames are kept when popped: a later push at the same depth reuses the frame and the
  // room of its read list, so that a steady recompute allocates nothing for its reads. A
  // large room that the last compute at this depth used less than a quarter of is given
  // back, so that one compute's many reads are not held for good.
  void push_frame(u32 node, bool speculative = false) {
    ExclusiveGuard guard(lock_);
    if (depth_ == frames_.size()) frames_.emplace_back().reads.reserve(4);
    DepFrame& frame = frames_[depth_];
    if (frame.reads.capacity() > kKeptReads) [[unlikely]] trim(frame.reads);
    frame.reads.clear();
    frame.node = node;
    frame.tainted = false;
    frame.unsound = false;
    frame.speculative = speculative;
    frame.failed_read = kNoFailedRead;
    frame.incomplete = false;
    ++depth_;
  }

  // A read of `slot` in the top frame's compute failed: a compute that catches that makes
  // its value without the node's, so the frame is tainted too.
  void note_failed_read(u32 slot) {
    ExclusiveGuard guard(lock_);
    if (depth_ == 0) return;
    frames_[depth_ - 1].failed_read = slot;
    frames_[depth_ - 1].tainted = true;
  }

  // Appends to the top frame only; a read outside any compute records nothing.
  void record_read(u32 slot, u32 generation) {
    ExclusiveGuard guard(lock_);
    if (depth_ == 0) return;
    DepFrame& top = frames_[depth_ - 1];
    try {
      top.reads.push_back({slot, generation});
    } catch (...) {
      top.incomplete = true;
      throw;
    }
  }

  // The popped frame stays valid, untouched by the stack, until the next push_frame.
  const DepFrame& pop_frame() {
    ExclusiveGuard guard(lock_);
    if (depth_ == 0) fail_pop_empty();
    --depth_;
    return frames_[depth_];
  }

  // `sound`: the value read came from failures caught, and holds for the rest of the read.
  void taint_top(bool sound = false) {
    ExclusiveGuard guard(lock_);
    if (depth_ == 0) return;
    frames_[depth_ - 1].tainted = true;
    if (!sound) frames_[depth_ - 1].unsound = true;
  }

  // Taints the frame at `depth` (counted from 1) and every frame above it, unsound.
  void taint_from(std::size_t depth) {
    ExclusiveGuard guard(lock_);
    for (std::size_t i = depth - 1; i < depth_; ++i) frames_[i].tainted = frames_[i].unsound = true;
  }

  bool is_on_stack(u32 node) const {
    SharedGuard guard(lock_);
    for (std::size_t i = 0; i < depth_; ++i) {
      if (frames_[i].node == node) return true;
    }
    return false;
  }

  // The depth of the lowest speculative frame above the frame of running `node`, 0 when
  // there is none.
  std::size_t speculative_above(u32 node) const {
    SharedGuard guard(lock_);
    std::size_t i = 0;
    while (i < depth_ && frames_[i].node != node) ++i;
    for (++i; i < depth_; ++i) {
      if (frames_[i].speculative) return i + 1;
    }
    return 0;
  }

  bool in_compute() const {
    SharedGuard guard(lock_);
    return depth_ != 0;
  }

  std::size_t depth() const { return depth_; }

 private:
  static constexpr std::size_t kKeptReads = 4096;
  [[gnu::cold, gnu::noinline]] static void trim(std::vector<ReadRecord>& reads) {
    if (reads.size() < reads.capacity() / 4) std::vector<ReadRecord>().swap(reads);
  }

  mutable AccessLock lock_;
  std::vector<DepFrame> frames_;  // frames_[0, depth_) are the running computes'
  std::size_t depth_ = 0;
};

// A frame for `node` whose reads are thrown away when the scope ends: for user code that a
// compute runs besides computing the node's value (the cutoff comparison, and the drop of the
// value the new one replaces). A read made there says nothing about what the value was
// computed from; kept, it could make the node wait on one of its own dependents.
class DiscardedReads {
 public:
  DiscardedReads(LocalDepStack& stack, u32 node) : stack_(stack) { stack.push_frame(node); }
  ~DiscardedReads() { stack_.pop_frame(); }
  DiscardedReads(const DiscardedReads&) = delete;
  DiscardedReads& operator=(const DiscardedReads&) = delete;

 private:
  LocalDepStack& stack_;
};

}  // namespace weft
