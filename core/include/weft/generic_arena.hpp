// Per-type value arenas: the cells that hold node values outside the node records.
#pragma once

#include <memory>
#include <vector>

#include "weft/locks.hpp"
#include "weft/node.hpp"
#include "weft/value_slot.hpp"

namespace weft {

// A process-unique identifier of a type; the address of a per-type variable, widened.
struct TypeKey {
  u64 high = 0;
  u64 low = 0;
  friend bool operator==(const TypeKey&, const TypeKey&) = default;
};

template <class T>
TypeKey type_key_of() {
  static const char marker = 0;
  return TypeKey{0, reinterpret_cast<u64>(&marker)};
}

[[noreturn]] void fail_cell_out_of_range(u32 index, std::size_t size);

// The arena as the registry and deletion see it, without its value type.
class ErasedArena {
 public:
  virtual ~ErasedArena() = default;
  // The key of the arena's own type, GenericArena<T>: a plain field, so that the read
  // path's type check makes no call.
  TypeKey type_key_of() const { return type_key_; }
  virtual void release(u32 index) = 0;
  // Fails, as `release` would, while the arena is in use (a comparison running user code).
  virtual void check_releasable() const = 0;

 protected:
  explicit ErasedArena(TypeKey type_key) : type_key_(type_key) {}

 private:
  const TypeKey type_key_;
};

template <class T>
class GenericArena final : public ErasedArena {
 public:
  GenericArena() : ErasedArena(weft::type_key_of<GenericArena<T>>()) {}

  // A cell holding `value`: the last released cell if there is one, else a new one. `value`
  // is moved from only once the cell is there.
  u32 alloc(T&& value) {
    std::optional<T> dropped;
    ExclusiveGuard guard(lock_);
    if (!free_.empty()) {
      u32 index = free_.back();
      free_.pop_back();
      dropped = cells_[index].replace(std::move(value));
      return index;
    }
    cells_.emplace_back();
    cells_.back().replace(std::move(value));
    return static_cast<u32>(cells_.size() - 1);
  }

  // An empty cell, filled later by the node's first compute.
  u32 alloc_empty() {
    ExclusiveGuard guard(lock_);
    if (!free_.empty()) {
      u32 index = free_.back();
      free_.pop_back();
      return index;
    }
    cells_.emplace_back();
    return static_cast<u32>(cells_.size() - 1);
  }

  T read(u32 index) {
    SharedGuard guard(lock_);
    return cell(index).read();
  }

  // Stores `value` unless the cell holds an equal one; true when it stored. This is where a
  // recomputed node's cutoff is decided. The stored value is compared in place: an equality
  // that runs user code, which may write this cell and drop what it held, keeps its
  // operands alive itself (the Python value's does).
  bool write_if_changed(u32 index, T value) {
    std::optional<T> dropped;  // dropped after the guard is released
    SharedGuard guard(lock_);
    ValueSlot<T>& c = cell(index);
    if (const T* old = c.peek(); old && ValueTraits<T>::equal(*old, value)) {
      dropped.emplace(std::move(value));
      return false;
    }
    dropped = c.replace(std::move(value));
    return true;
  }

  bool equals(u32 index, const T& value) {
    SharedGuard guard(lock_);
    const T* old = cell(index).peek();
    return old && ValueTraits<T>::equal(*old, value);
  }

  // Stores `value` and hands back what the cell held, for the caller to drop once it is
  // done with the write (dropping it may run user code that reads the graph).
  std::optional<T> overwrite(u32 index, T value) {
    SharedGuard guard(lock_);
    return cell(index).replace(std::move(value));
  }

  void release(u32 index) override {
    std::optional<T> dropped;
    ExclusiveGuard guard(lock_);
    dropped = cell(index).take();
    try {
      free_.push_back(index);
    } catch (const std::bad_alloc&) {
      // Without room to list it as free, the emptied cell is never reused.
    }
  }

  void check_releasable() const override { lock_.check_exclusive_available(); }

  std::size_t cell_count() const { return cells_.size(); }
  const AccessLock& lock() const { return lock_; }

 private:
  ValueSlot<T>& cell(u32 index) {
    if (index >= cells_.size()) fail_cell_out_of_range(index, cells_.size());
    return cells_[index];
  }

  AccessLock lock_;
  std::vector<ValueSlot<T>> cells_;
  std::vector<u32> free_;
};

}  // namespace weft
