// The element-wise operators map and filter, and the value operators count and reduce.
#pragma once

#include <atomic>
#include <optional>

#include "weft/collection.hpp"

namespace weft {

// `func(element)` gives the mapped element; deletes are mapped too, and remove one equal
// mapped element (nothing when the result holds none).
template <class E, class Func>
CollectionHandle<E> map(Runtime& runtime, const CollectionHandle<E>& source, Func func) {
  auto transform = [func = std::move(func)](const Delta<E>& d) mutable {
    return std::optional<Delta<E>>(Delta<E>{d.kind, func(d.element)});
  };
  return build_delta_map<E, E>(runtime, source, std::move(transform));
}

// `passes(element)` decides whether an element (inserted or deleted) is let through.
template <class E, class Predicate>
CollectionHandle<E> filter(Runtime& runtime, const CollectionHandle<E>& source, Predicate passes) {
  auto transform = [passes = std::move(passes)](const Delta<E>& d) mutable {
    return passes(d.element) ? std::optional<Delta<E>>(d) : std::nullopt;
  };
  return build_delta_map<E, E>(runtime, source, std::move(transform));
}

// The element count, maintained delta by delta. Returns the u64 count node; a negative
// running count is shown as 0.
template <class E>
Weft<u64> count(Runtime& runtime, const CollectionHandle<E>& source) {
  check_operator_source(runtime, source.version_node);
  StateRef<E> state = source.state;
  u64 initial;
  CursorRef cursor = subscribe_to_kinds(*state, initial);
  auto counter = std::make_shared<std::atomic<i64>>(static_cast<i64>(initial));
  Weft<u64> source_version = source.version_node;
  return runtime.create_compute<u64>(
      [state, cursor, counter, source_version](Runtime& rt) -> u64 {
        rt.read(source_version);
        i64 sum = 0;
        u64 version;
        {
          SharedGuard borrow(state->borrow);
          const auto& log = state->log();
          version = log.version();
          for (u64 i = cursor->index; i < version; ++i) {
            sum += log.at(i).kind == DeltaKind::Insert ? 1 : -1;
          }
        }
        i64 now = counter->fetch_add(sum) + sum;
        cursor->index = version;
        return now > 0 ? static_cast<u64>(now) : 0;
      });
}

// `fold(elements)` over the whole current collection, refolded on every change. R is the
// fold's result type.
template <class R, class E, class Fold>
Weft<R> reduce(Runtime& runtime, const CollectionHandle<E>& source, Fold fold) {
  check_operator_source(runtime, source.version_node);
  StateRef<E> state = source.state;
  Weft<u64> source_version = source.version_node;
  return runtime.create_compute<R>(
      [state, source_version, fold = std::move(fold)](Runtime& rt) mutable -> R {
        rt.read(source_version);
        std::vector<E> elements;
        {
          SharedGuard borrow(state->borrow);
          elements = state->snapshot();
        }
        return fold(std::move(elements));
      });
}

}  // namespace weft
