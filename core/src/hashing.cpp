#include "weft/hashing.hpp"

#include <random>

namespace weft {

namespace {

inline u64 load_le64(const unsigned char* p) {
  u64 v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

u64 splitmix64(u64& state) {
  u64 z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

u64 siphash13(const void* data, std::size_t len, u64 k0, u64 k1) {
  const auto* in = static_cast<const unsigned char*>(data);
  sip_detail::SipState state(k0, k1);
  std::size_t whole = len - (len % 8);
  for (std::size_t i = 0; i < whole; i += 8) state.absorb(load_le64(in + i));
  u64 last = static_cast<u64>(len) << 56;
  for (std::size_t i = 0; i < len % 8; ++i) last |= static_cast<u64>(in[whole + i]) << (8 * i);
  return state.finish(last);
}

SipKeys SipKeys::random() {
  thread_local u64 state = [] {
    std::random_device device;
    return (static_cast<u64>(device()) << 32) ^ device();
  }();
  return SipKeys{splitmix64(state), splitmix64(state)};
}

}  // namespace weft
