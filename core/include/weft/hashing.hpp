// SipHash-1-3 and the randomly keyed hasher that every hash map of the engine uses.
#pragma once

#include <cstddef>
#include <cstring>

#include "weft/failure.hpp"

namespace weft {

u64 siphash13(const void* data, std::size_t len, u64 k0, u64 k1);

// Folds member hashes in order into one (pairs, sequences, Python lists and tuples); the
// map's keyed hash is applied on top of the result.
inline i64 combine_hash(i64 acc, i64 member) {
  u64 h = static_cast<u64>(acc) * 0x9e3779b97f4a7c15ULL + static_cast<u64>(member);
  h ^= h >> 29;
  return static_cast<i64>(h);
}

// Fresh random keys for a new map; cheap (a per-thread generator seeded once).
struct SipKeys {
  u64 k0;
  u64 k1;
  static SipKeys random();
};

// Hashes integral keys with SipHash-1-3 under keys drawn when the hasher (its map) is made.
struct RandomHasher {
  SipKeys keys = SipKeys::random();

  template <class Int>
  std::size_t operator()(Int value) const {
    u64 wide = static_cast<u64>(value);
    return static_cast<std::size_t>(siphash13(&wide, sizeof wide, keys.k0, keys.k1));
  }
};

}  // namespace weft
