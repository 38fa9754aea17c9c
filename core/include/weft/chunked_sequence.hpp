// A sequence with logarithmic positional access, insertion and removal: values live in
// leaf chunks of bounded size under a B+tree whose inner nodes count the values below each
// child, so a position is found by descending the counts. Used for sorted entries and the
// ordered copies that follow them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "weft/failure.hpp"
#include "weft/relocation.hpp"
#include "weft/vector_room.hpp"

namespace weft {

namespace chunk_detail {

// Moves the value at position `from` to position `to`; the values between shift by one.
template <class T>
void move_within(std::vector<T>& values, std::size_t from, std::size_t to) {
  if constexpr (RelocatesByBytes<T>::value) {
    alignas(T) unsigned char held[sizeof(T)];
    auto* data = reinterpret_cast<unsigned char*>(values.data());
    std::memcpy(held, data + from * sizeof(T), sizeof(T));
    if (from > to) {
      std::memmove(data + (to + 1) * sizeof(T), data + to * sizeof(T), (from - to) * sizeof(T));
    } else {
      std::memmove(data + from * sizeof(T), data + (from + 1) * sizeof(T), (to - from) * sizeof(T));
    }
    std::memcpy(data + to * sizeof(T), held, sizeof(T));
  } else if (from > to) {
    std::rotate(values.begin() + static_cast<std::ptrdiff_t>(to),
                values.begin() + static_cast<std::ptrdiff_t>(from),
                values.begin() + static_cast<std::ptrdiff_t>(from) + 1);
  } else {
    std::rotate(values.begin() + static_cast<std::ptrdiff_t>(from),
                values.begin() + static_cast<std::ptrdiff_t>(from) + 1,
                values.begin() + static_cast<std::ptrdiff_t>(to) + 1);
  }
}

}  // namespace chunk_detail

// The summariser of a sequence whose inner nodes keep nothing but counts.
struct NoSummary {};

namespace chunk_detail {

template <class T, class Summarize>
struct SummaryOf {
  using type = std::invoke_result_t<Summarize, const T&>;
};
template <class T>
struct SummaryOf<T, NoSummary> {
  struct type {};
};

}  // namespace chunk_detail

// Leaves hold up to 2 * kChunk values and inner nodes up to 2 * kFanout children; a full
// node splits in half, and a node left empty is removed.
//
// With a `Summarize` other than NoSummary, each inner node also keeps `Summarize{}(v)` of
// each child's last value `v`, so that a search can settle most of its steps in the inner
// node itself, instead of descending to a leaf (cache misses in a large sequence) and
// looking at the value there; in the leaf, summaries made on the spot stand in for the
// search's own test where they settle it.
template <class T, std::size_t kChunk = 64, std::size_t kFanout = 16, class Summarize = NoSummary>
class ChunkedSequence {
  static constexpr bool kSummarized = !std::is_same_v<Summarize, NoSummary>;
  // The `decide` of a search that settles nothing by summaries.
  struct NoDecision {
    template <class S>
    std::optional<bool> operator()(const S&) const { return std::nullopt; }
  };

 public:
  using Summary = typename chunk_detail::SummaryOf<T, Summarize>::type;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  const T& operator[](std::size_t index) const {
    const Node* node = root_.get();
    while (!node->leaf) node = node->descend(index);
    return node->values[index];
  }

  // Inserts `value` so that it ends up at `index` (0 <= index <= size()). When memory runs
  // out, the sequence is left as it was: what the insert needs is made first.
  void insert(std::size_t index, T value) {
    prepare_insert(index);
    if (!root_) root_ = take_spare();
    std::unique_ptr<Node> upper = insert_into(*root_, index, std::move(value));
    ++size_;
    if (upper) {  // the root split: the tree grows a level
      auto root = take_spare();
      std::size_t upper_count = upper->count();
      root->adopt(0, std::move(root_), size_ - upper_count);
      root->adopt(1, std::move(upper), upper_count);
      root_ = std::move(root);
    }
  }

  // Removes and returns the value at `index`.
  T erase(std::size_t index) {
    T removed = erase_from(*root_, index);
    --size_;
    // An inner root left with one child gives way to it; an empty tree keeps no nodes.
    while (!root_->leaf && root_->children.size() == 1) {
      root_ = std::move(root_->children.front());
    }
    if (size_ == 0) root_.reset();
    return removed;
  }

  // The first position whose value fails `pred`, for a `pred` that holds on a prefix of
  // the sequence and fails on the rest: at each level a bisection over the children's last
  // values, then one inside the leaf.
  template <class Pred>
  std::size_t partition_point(Pred&& pred) const {
    return partition_point(pred, NoDecision{});
  }

  // The same, where `decide(summary)` gives `pred` of a value from its summary when the
  // summary settles it, and std::nullopt when `pred` must look at the value.
  template <class Pred, class Decide>
  std::size_t partition_point(Pred&& pred, Decide&& decide) const {
    // Without a decision to make, no summary is looked at or made.
    constexpr bool kDecides = kSummarized && !std::is_same_v<std::remove_cvref_t<Decide>, NoDecision>;
    auto last_passes = [&](const Node& node, std::size_t child) {
      if constexpr (kDecides) {
        if (std::optional<bool> known = decide(node.summaries[child])) return *known;
      }
      return static_cast<bool>(pred(node.children[child]->last_value()));
    };
    auto passes = [&](const T& value) {  // in a leaf, where summaries are made on the spot
      if constexpr (kDecides) {
        if (std::optional<bool> known = decide(Summarize{}(value))) return *known;
      }
      return static_cast<bool>(pred(value));
    };
    if (!root_) return 0;
    const Node* node = root_.get();
    std::size_t base = 0;
    bool known_to_fail = false;  // below the root the chosen child's last value fails
    while (!node->leaf) {
      std::size_t lo = 0, hi = node->children.size() - (known_to_fail ? 1 : 0);
      while (lo < hi) {  // first child whose last value fails
        std::size_t mid = lo + (hi - lo) / 2;
        if (last_passes(*node, mid)) {
          lo = mid + 1;
        } else {
          hi = mid;
        }
      }
      if (lo == node->children.size()) return size_;
      for (std::size_t i = 0; i < lo; ++i) base += node->counts[i];
      node = node->children[lo].get();
      known_to_fail = true;
    }
    const std::vector<T>& values = node->values;
    std::size_t a = 0, b = values.size();
    while (a < b) {
      std::size_t mid = a + (b - a) / 2;
      if (passes(values[mid])) {
        a = mid + 1;
      } else {
        b = mid;
      }
    }
    return base + a;
  }

  // Calls `visit(value)` for positions [from, from + count) in order.
  template <class Visit>
  void for_range(std::size_t from, std::size_t count, Visit&& visit) const {
    find_in_range(from, count, [&](const T& value) {
      visit(value);
      return false;
    });
  }

  // The first position in [from, from + count) whose value satisfies `pred`, visiting them
  // in order; from + count when none does.
  template <class Pred>
  std::size_t find_in_range(std::size_t from, std::size_t count, Pred&& pred) const {
    while (count > 0) {  // one descent per leaf the range touches
      std::size_t offset = from;
      const Node* node = root_.get();
      while (!node->leaf) node = node->descend(offset);
      const std::vector<T>& values = node->values;
      std::size_t taken = std::min(count, values.size() - offset);
      for (std::size_t i = offset; i < offset + taken; ++i) {
        if (pred(values[i])) return from + (i - offset);
      }
      from += taken;
      count -= taken;
    }
    return from;
  }

  template <class Visit>
  void for_each(Visit&& visit) const {
    if (root_) root_->for_each(visit);
  }

 private:
  struct Node {
    // A leaf holds values; an inner node holds children, how many values each holds and,
    // when summarised, the summary of each one's last value.
    std::vector<T> values;
    std::vector<std::unique_ptr<Node>> children;
    std::vector<std::size_t> counts;
    std::vector<Summary> summaries;
    bool leaf = false;

    static std::unique_ptr<Node> make_leaf() {
      auto node = std::make_unique<Node>();
      node->leaf = true;
      return node;
    }

    std::size_t count() const {
      if (leaf) return values.size();
      std::size_t total = 0;
      for (std::size_t c : counts) total += c;
      return total;
    }

    // Which child holds position `index`; `index` becomes the position inside it.
    std::size_t child_holding(std::size_t& index) const {
      std::size_t i = 0;
      while (index >= counts[i]) index -= counts[i++];
      return i;
    }
    const Node* descend(std::size_t& index) const { return children[child_holding(index)].get(); }

    const T& last_value() const {
      const Node* node = this;
      while (!node->leaf) node = node->children.back().get();
      return node->values.back();
    }

    void adopt(std::size_t at, std::unique_ptr<Node> child, std::size_t child_count) {
      if constexpr (kSummarized) {
        summaries.insert(summaries.begin() + static_cast<std::ptrdiff_t>(at),
                         Summarize{}(child->last_value()));
      }
      children.insert(children.begin() + static_cast<std::ptrdiff_t>(at), std::move(child));
      counts.insert(counts.begin() + static_cast<std::ptrdiff_t>(at), child_count);
    }

    void remove_child(std::size_t at) {
      if constexpr (kSummarized) summaries.erase(summaries.begin() + static_cast<std::ptrdiff_t>(at));
      children.erase(children.begin() + static_cast<std::ptrdiff_t>(at));
      counts.erase(counts.begin() + static_cast<std::ptrdiff_t>(at));
    }

    // After child `at`'s last value changed.
    void summarize(std::size_t at) {
      if constexpr (kSummarized) summaries[at] = Summarize{}(children[at]->last_value());
    }

    template <class Visit>
    void for_each(Visit& visit) const {
      if (leaf) {
        for (const T& v : values) visit(v);
      } else {
        for (const auto& child : children) child->for_each(visit);
      }
    }
  };

  // Makes room for one more entry in every inner node on the path of an insert at `index`,
  // and the nodes its splits (and a new root) will take, in the order they are taken. The
  // leaf needs none: it changes first, so that its failing leaves everything as it was.
  void prepare_insert(std::size_t index) {
    spares_.clear();
    next_spare_ = 0;
    if (!root_) {
      spares_.push_back(Node::make_leaf());
      return;
    }
    // A tree grows a level only when its root splits, so its depth stays far below this.
    constexpr std::size_t kMaxDepth = 32;
    Node* path[kMaxDepth];
    std::size_t depth = 0;
    Node* node = root_.get();
    while (!node->leaf) {
      if (depth == kMaxDepth) fail("weft-core: a chunked sequence is deeper than any insert makes it");
      reserve_one_more(node->children);
      reserve_one_more(node->counts);
      if constexpr (kSummarized) reserve_one_more(node->summaries);
      path[depth++] = node;
      node = node->children[insertion_child(*node, index)].get();
    }
    if (node->values.size() + 1 <= 2 * kChunk) return;
    auto upper_leaf = Node::make_leaf();
    upper_leaf->values.reserve(2 * kChunk + 1);
    spares_.push_back(std::move(upper_leaf));
    // Each inner node that takes a split child and is full splits in turn.
    while (depth > 0) {
      if (path[--depth]->children.size() + 1 <= 2 * kFanout) return;
      auto upper = std::make_unique<Node>();
      upper->children.reserve(kFanout + 1);
      upper->counts.reserve(kFanout + 1);
      if constexpr (kSummarized) upper->summaries.reserve(kFanout + 1);
      spares_.push_back(std::move(upper));
    }
    auto root = std::make_unique<Node>();  // the root split too
    root->children.reserve(2);
    root->counts.reserve(2);
    if constexpr (kSummarized) root->summaries.reserve(2);
    spares_.push_back(std::move(root));
  }

  std::unique_ptr<Node> take_spare() {
    if (next_spare_ >= spares_.size()) fail("weft-core: an insert into a chunked sequence took more nodes than it made");
    return std::move(spares_[next_spare_++]);
  }

  // The child an insert at `index` descends into; `index` becomes the position inside it.
  static std::size_t insertion_child(const Node& node, std::size_t& index) {
    std::size_t i = 0;
    while (i + 1 < node.counts.size() && index > node.counts[i]) index -= node.counts[i++];
    return i;
  }

  // Inserts into the subtree; returns the upper half when the subtree's node split. Takes its
  // room and nodes from what `prepare_insert` made, and so cannot fail.
  std::unique_ptr<Node> insert_into(Node& node, std::size_t index, T value) {
    if (node.leaf) {
      std::vector<T>& values = node.values;
      values.push_back(std::move(value));
      chunk_detail::move_within(values, values.size() - 1, index);
      if (values.size() <= 2 * kChunk) return nullptr;
      auto upper = take_spare();
      auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
      upper->values.assign(std::make_move_iterator(middle), std::make_move_iterator(values.end()));
      values.erase(middle, values.end());
      return upper;
    }
    std::size_t i = insertion_child(node, index);
    // `index` may equal the child's count: appending at the end of child i.
    bool appended = index == node.counts[i];
    std::unique_ptr<Node> split = insert_into(*node.children[i], index, std::move(value));
    ++node.counts[i];
    if (!split) {
      if (appended) node.summarize(i);
      return nullptr;
    }
    std::size_t split_count = split->count();
    node.counts[i] -= split_count;
    node.summarize(i);
    node.adopt(i + 1, std::move(split), split_count);
    if (node.children.size() <= 2 * kFanout) return nullptr;
    auto upper = take_spare();
    std::size_t half = node.children.size() / 2;
    for (std::size_t c = half; c < node.children.size(); ++c) {
      upper->children.push_back(std::move(node.children[c]));
      upper->counts.push_back(node.counts[c]);
      if constexpr (kSummarized) upper->summaries.push_back(std::move(node.summaries[c]));
    }
    node.children.resize(half);
    node.counts.resize(half);
    if constexpr (kSummarized) node.summaries.resize(half);
    return upper;
  }

  static T erase_from(Node& node, std::size_t index) {
    if (node.leaf) {
      std::vector<T>& values = node.values;
      chunk_detail::move_within(values, index, values.size() - 1);
      T removed = std::move(values.back());
      values.pop_back();
      return removed;
    }
    std::size_t i = node.child_holding(index);
    bool was_last = index + 1 == node.counts[i];
    T removed = erase_from(*node.children[i], index);
    if (--node.counts[i] == 0) {
      node.remove_child(i);
    } else if (was_last) {
      node.summarize(i);
    }
    return removed;
  }

  std::unique_ptr<Node> root_;
  std::size_t size_ = 0;
  std::vector<std::unique_ptr<Node>> spares_;  // made by prepare_insert for the insert under way
  std::size_t next_spare_ = 0;
};

}  // namespace weft
