// Records what each running compute reads: one frame per compute in progress.
#pragma once

#include <vector>

#include "weft/locks.hpp"

namespace weft {

struct ReadRecord {
  u32 slot;
  u32 generation;
};

struct DepFrame {
  std::vector<ReadRecord> reads;
  u32 node = 0;
  bool tainted = false;
};

[[noreturn]] void fail_pop_empty();

class LocalDepStack {
 public:
  void push_frame(u32 node) {
    ExclusiveGuard guard(lock_);
    DepFrame& frame = frames_.emplace_back();
    frame.node = node;
    if (!spare_reads_.empty()) {
      frame.reads = std::move(spare_reads_.back());
      spare_reads_.pop_back();
    } else {
      frame.reads.reserve(4);
    }
  }

  // Appends to the top frame only; a read outside any compute records nothing.
  void record_read(u32 slot, u32 generation) {
    ExclusiveGuard guard(lock_);
    if (!frames_.empty()) frames_.back().reads.push_back({slot, generation});
  }

  DepFrame pop_frame() {
    ExclusiveGuard guard(lock_);
    if (frames_.empty()) fail_pop_empty();
    DepFrame frame = std::move(frames_.back());
    frames_.pop_back();
    return frame;
  }

  // Hands a popped frame's read list back for reuse by a later frame, so that a steady
  // recompute allocates nothing for its reads.
  void recycle(std::vector<ReadRecord>&& reads) {
    ExclusiveGuard guard(lock_);
    reads.clear();
    if (spare_reads_.size() < 64) spare_reads_.push_back(std::move(reads));
  }

  void taint_top() {
    ExclusiveGuard guard(lock_);
    if (!frames_.empty()) frames_.back().tainted = true;
  }

  bool is_on_stack(u32 node) const {
    SharedGuard guard(lock_);
    for (const DepFrame& frame : frames_) {
      if (frame.node == node) return true;
    }
    return false;
  }

  bool in_compute() const {
    SharedGuard guard(lock_);
    return !frames_.empty();
  }

  std::size_t depth() const { return frames_.size(); }

 private:
  mutable AccessLock lock_;
  std::vector<DepFrame> frames_;
  std::vector<std::vector<ReadRecord>> spare_reads_;
};

}  // namespace weft
