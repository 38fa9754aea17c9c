// Aggregate: a monoid fold of a collection kept in an array-backed segment tree, so that a
// change costs one `lift` and a tree height of `combine` calls.
#pragma once

#include <optional>

#include "weft/collection.hpp"

namespace weft {

// Leaves hold the lifted element copies (identity where no element is); each internal node
// holds `combine(left, right)`. A is the aggregate domain, E the element type.
template <class E, class A, class Lift, class Combine>
class AggregateTree {
 public:
  AggregateTree(A identity, Lift* lift, Combine* combine)
      : identity_(std::move(identity)), nodes_(2, identity_), lift_(lift), combine_(combine) {}

  void insert(const E& element) {
    A lifted = (*lift_)(element);
    u64 leaf;
    if (!free_.empty()) {
      leaf = free_.back();
      free_.pop_back();
    } else {
      if (next_leaf_ == capacity_) grow();
      leaf = next_leaf_++;
    }
    auto [it, inserted] = positions_.try_emplace(element);
    it.value().push_back(leaf);
    set_leaf(leaf, std::move(lifted));
  }

  // Resets the leaf of the copy inserted last; `lift` is not called.
  void remove(const E& element) {
    auto it = positions_.find(element);
    if (it == positions_.end()) return;
    u64 leaf = it->second.back();
    it.value().pop_back();
    if (it->second.empty()) positions_.erase(it);
    set_leaf(leaf, identity_);
    free_.push_back(leaf);
  }

  const A& root() const { return nodes_[1]; }
  const A& identity() const { return identity_; }
  u64 capacity() const { return capacity_; }

 private:
  void set_leaf(u64 leaf, A value) {
    u64 i = capacity_ + leaf;
    nodes_[i] = std::move(value);
    while (i >= 2) {
      i /= 2;
      nodes_[i] = (*combine_)(nodes_[2 * i], nodes_[2 * i + 1]);
    }
  }

  // Doubles the capacity: the old leaves move to the first half of the new leaf row, and
  // every internal node of the new tree is combined once.
  void grow() {
    std::vector<A> grown(4 * capacity_, identity_);
    for (u64 j = 0; j < capacity_; ++j) grown[2 * capacity_ + j] = nodes_[capacity_ + j];
    for (u64 k = 2 * capacity_ - 1; k >= 1; --k) grown[k] = (*combine_)(grown[2 * k], grown[2 * k + 1]);
    nodes_.swap(grown);
    capacity_ *= 2;
  }

  A identity_;
  std::vector<A> nodes_;
  u64 capacity_ = 1;
  std::vector<u64> free_;
  ElementMap<E, std::vector<u64>> positions_;
  u64 next_leaf_ = 0;
  Lift* lift_;
  Combine* combine_;
};

// `lift(element)` maps into the aggregate domain, `combine(a, b)` merges two aggregates and
// `identity` is its unit. Returns the node whose value is the fold.
template <class A, class E, class Lift, class Combine>
Weft<A> aggregate(Runtime& runtime, const CollectionHandle<E>& source, A identity, Lift lift,
                  Combine combine) {
  check_operator_source(runtime, source.version_node);
  using Tree = AggregateTree<E, A, Lift, Combine>;
  struct State {
    State(Lift l, Combine c, StateRef<E> s) : lift(std::move(l)), combine(std::move(c)), source(std::move(s)) {}
    AccessLock borrow;
    Lift lift;
    Combine combine;
    std::optional<Tree> tree;
    bool needs_rebuild = false;
    StateRef<E> source;
    CursorRef cursor;
    std::vector<Delta<E>> incoming;  // the compute's delta buffer; it never nests in itself
  };
  auto state = std::make_shared<State>(std::move(lift), std::move(combine), source.state);
  std::vector<E> snapshot;
  state->cursor = subscribe(*state->source, snapshot);
  state->tree.emplace(std::move(identity), &state->lift, &state->combine);
  for (const E& e : snapshot) state->tree->insert(e);

  Weft<u64> source_version = source.version_node;
  auto compute = [state, source_version](Runtime& rt) -> A {
    rt.read(source_version);
    ScratchBuffer<Delta<E>> in(state->incoming);
    u64 in_version = append_pending(*state->source, *state->cursor, in.get());
    ExclusiveGuard borrow(state->borrow);
    if (!in.get().empty()) {
      try {
        if (state->needs_rebuild) {
          std::vector<E> current;
          u64 seen;
          {
            SharedGuard source_borrow(state->source->borrow);
            current = state->source->snapshot();
            seen = state->source->version();
          }
          Tree fresh(state->tree->identity(), &state->lift, &state->combine);
          for (const E& e : current) fresh.insert(e);
          state->tree.emplace(std::move(fresh));
          state->needs_rebuild = false;
          state->cursor->index = seen;
        } else {
          for (const Delta<E>& d : in.get()) {
            if (d.kind == DeltaKind::Insert) {
              state->tree->insert(d.element);
            } else {
              state->tree->remove(d.element);
            }
          }
          state->cursor->index = in_version;
        }
      } catch (...) {
        state->needs_rebuild = true;
        throw;
      }
    }
    return state->tree->root();
  };
  return runtime.create_compute<A>(std::move(compute));
}

}  // namespace weft
