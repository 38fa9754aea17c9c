// The node table: 1024 segments of 1024 records, allocated lazily and never moved.
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>

#include "weft/node.hpp"

namespace weft {

class SegmentedNodes {
 public:
  static constexpr u32 kSegmentBits = 10;
  static constexpr u32 kSegmentSize = 1u << kSegmentBits;  // records per segment
  static constexpr u32 kDirectorySize = 1024;               // segments
  static constexpr u32 kCapacity = kSegmentSize * kDirectorySize;

  SegmentedNodes() : directory_(new NodeRecord* [kDirectorySize]()) {}
  ~SegmentedNodes();
  SegmentedNodes(const SegmentedNodes&) = delete;
  SegmentedNodes& operator=(const SegmentedNodes&) = delete;

  // Makes room for the record `push` appends next, or fails when the table is full: after
  // it, `push` cannot fail.
  void reserve_next();
  // Appends a record at slot `count()` and returns that slot.
  u32 push(const NodeRecord& record);

  // Two index steps, no lock. The caller guarantees `slot < count()`.
  NodeRecord& get(u32 slot) const {
    u32 segment = slot >> kSegmentBits;
    if (segment >= kDirectorySize) fail_segment_out_of_range(slot);
    return directory_[segment][slot & (kSegmentSize - 1)];
  }

  // Like `get`, but reports a slot the table never handed out.
  NodeRecord& checked_get(u32 slot) const {
    if (slot >= count_) fail_slot_out_of_range(slot);
    return get(slot);
  }

  u32 count() const { return count_; }
  // Segments allocated so far (inspection).
  u32 segment_count() const {
    u32 n = 0;
    for (u32 s = 0; s < kDirectorySize; ++s) n += directory_[s] != nullptr;
    return n;
  }
  bool full() const { return count_ >= kCapacity; }

 private:
  [[noreturn]] static void fail_segment_out_of_range(u32 slot);
  [[noreturn]] void fail_slot_out_of_range(u32 slot) const;

  std::unique_ptr<NodeRecord*[]> directory_;
  u32 count_ = 0;
};

}  // namespace weft
