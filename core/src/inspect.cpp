// Labels, trace records, graph snapshots and the live count.
#include "weft/runtime.hpp"

namespace weft {

void Runtime::set_label(u32 slot, std::string label) {
  std::string replaced;  // dropped after the guard is released
  ExclusiveGuard guard(tables_lock_);
  auto [it, inserted] = tables_.labels.try_emplace(slot);
  if (!inserted) replaced = std::move(it->second);
  it->second = std::move(label);
}

void Runtime::record_trace(u32 slot, TraceAction action) {
  if (!tracing_) return;
  ExclusiveGuard guard(tables_lock_);
  tables_.trace.push_back({slot, action});
}

std::vector<NodeSnapshot> Runtime::collect_snapshot() const {
  SharedGuard guard(tables_lock_);
  std::vector<NodeSnapshot> result;
  for (u32 slot = 0; slot < nodes_.count(); ++slot) {
    const NodeRecord& record = nodes_.get(slot);
    if (record.node_state() == NodeState::Deleted) continue;
    NodeSnapshot& entry = result.emplace_back();
    entry.dependencies = with_deps(record, [](const u32* deps, std::size_t n) {
      return std::vector<u32>(deps, deps + n);
    });
    if (slot < tables_.dependents.size()) entry.dependents = tables_.dependents[slot].to_vector();
    if (auto it = tables_.labels.find(slot); it != tables_.labels.end()) entry.label = it->second;
    entry.slot = slot;
    entry.is_compute = slot < tables_.compute.size() && tables_.compute[slot] != nullptr;
  }
  return result;
}

u64 Runtime::live_count() const {
  tables_lock_.check_shared_available();
  return static_cast<u64>(nodes_.count()) - tables_.free_slots.size() - tables_.abandoned_slots;
}

}  // namespace weft
