#include "weft/segmented_nodes.hpp"

#include <new>

namespace weft {

void fail_invalid_state(u8 value) { fail(cat("invalid NodeState value: ", unsigned{value})); }

void fail_overflow_null() { fail("overflow_deps null with dep_count > 7"); }

SegmentedNodes::~SegmentedNodes() {
  for (u32 slot = 0; slot < count_; ++slot) replace_block(get(slot).overflow_deps, nullptr);
  for (u32 s = 0; s < kDirectorySize; ++s) {
    NodeRecord* segment = directory_[s];
    if (!segment) continue;
    for (u32 i = 0; i < kSegmentSize; ++i) segment[i].~NodeRecord();
    std::free(segment);
  }
}

void SegmentedNodes::reserve_next() {
  if (count_ >= kCapacity) fail(cat("SegmentedNodes exhausted at ", kCapacity, " slots"));
  u32 segment = count_ >> kSegmentBits;
  if (directory_[segment]) return;
  void* memory = std::aligned_alloc(64, sizeof(NodeRecord) * kSegmentSize);
  if (!memory) throw std::bad_alloc();
  std::memset(memory, 0, sizeof(NodeRecord) * kSegmentSize);
  auto* records = static_cast<NodeRecord*>(memory);
  for (u32 i = 0; i < kSegmentSize; ++i) new (&records[i]) NodeRecord;
  directory_[segment] = records;
}

u32 SegmentedNodes::push(const NodeRecord& record) {
  reserve_next();
  NodeRecord& target = directory_[count_ >> kSegmentBits][count_ & (kSegmentSize - 1)];
  target.verified_at = record.verified_at;
  target.changed_at = record.changed_at;
  target.overflow_deps.store(record.overflow_deps.load());
  std::memcpy(target.deps, record.deps, sizeof(target.deps));
  target.value_index = record.value_index;
  target.type_tag = record.type_tag;
  target.state = record.state;
  target.dep_count = record.dep_count;
  target.generation = record.generation;
  return count_++;
}

void SegmentedNodes::fail_segment_out_of_range(u32 slot) {
  fail(cat("index out of range: segment ", slot >> kSegmentBits, " of slot ", slot,
           " is beyond the segment directory (", kDirectorySize, " segments)"));
}

void SegmentedNodes::fail_slot_out_of_range(u32 slot) const {
  fail(cat("index out of range: slot ", slot, " is beyond the node table (", count_, " slots)"));
}

}  // namespace weft
