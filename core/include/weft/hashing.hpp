// SipHash-1-3 and the randomly keyed hasher that every hash map of the engine uses.
#pragma once

#include <cstddef>
#include <cstring>

#include "weft/failure.hpp"

namespace weft {

// SipHash-1-3 of `len` bytes.
u64 siphash13(const void* data, std::size_t len, u64 k0, u64 k1);

namespace sip_detail {

inline u64 rotl(u64 x, int b) { return (x << b) | (x >> (64 - b)); }

// The four-word state: keyed, fed 64-bit blocks, then finished with the last block (which
// carries the length in its top byte).
struct SipState {
  u64 v0, v1, v2, v3;

  SipState(u64 k0, u64 k1)
      : v0(0x736f6d6570736575ull ^ k0),
        v1(0x646f72616e646f6dull ^ k1),
        v2(0x6c7967656e657261ull ^ k0),
        v3(0x7465646279746573ull ^ k1) {}

  [[gnu::always_inline]] void round() {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  }

  [[gnu::always_inline]] void absorb(u64 block) {  // one compression round per block
    v3 ^= block;
    round();
    v0 ^= block;
  }

  [[gnu::always_inline]] u64 finish(u64 last_block) {  // three finalization rounds
    absorb(last_block);
    v2 ^= 0xff;
    round();
    round();
    round();
    return v0 ^ v1 ^ v2 ^ v3;
  }
};

}  // namespace sip_detail

// SipHash-1-3 of N whole 64-bit words, equal to `siphash13` over their little-endian bytes.
// Inline so that the hash maps' one- and two-word keys cost a few rounds and no call.
template <std::size_t N>
inline u64 siphash13_words(const u64 (&words)[N], u64 k0, u64 k1) {
  sip_detail::SipState state(k0, k1);
  for (u64 m : words) state.absorb(m);
  return state.finish(static_cast<u64>(N * 8) << 56);
}

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

// The base of the hash maps' hashers: SipHash-1-3 of a key's 64-bit words under keys drawn
// when the hasher (its map) is made.
struct KeyedHasher {
  SipKeys keys = SipKeys::random();

  template <std::size_t N>
  std::size_t hash_words(const u64 (&words)[N]) const {
    return static_cast<std::size_t>(siphash13_words(words, keys.k0, keys.k1));
  }
};

// Hashes integral keys.
struct RandomHasher : KeyedHasher {
  template <class Int>
  std::size_t operator()(Int value) const {
    return hash_words({static_cast<u64>(value)});
  }
};

}  // namespace weft
