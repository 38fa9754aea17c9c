// Which value types may move by a copy of their bytes.
#pragma once

#include <type_traits>
#include <utility>

namespace weft {

// Whether a T may change address by a copy of its bytes, the bytes left behind then owning
// nothing: true of trivially copyable types, and of handles that own what one pointer
// points at (a value type says so by specialising this). Containers of such values move
// them with memcpy or memmove instead of one move and one destruction per value.
template <class T>
struct RelocatesByBytes : std::is_trivially_copyable<T> {};

template <class A, class B>
struct RelocatesByBytes<std::pair<A, B>>
    : std::bool_constant<RelocatesByBytes<A>::value && RelocatesByBytes<B>::value> {};

}  // namespace weft
