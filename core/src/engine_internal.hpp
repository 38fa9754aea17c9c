// Small helpers shared by the engine's source files.
#pragma once

#include <algorithm>
#include <thread>
#include <vector>

#include "weft/state.hpp"
#include "weft/vector_room.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace weft::internal {

// The processor's spin-wait hint.
inline void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#endif
}

// Waiting for another party to finish with a node: the first 63 rounds spin, the 64th and
// every later one yields the thread. Returns true when the round yielded.
class Backoff {
 public:
  bool wait() {
    ++rounds_;
    if (rounds_ < 64) {
      spin_pause();
      return false;
    }
    std::this_thread::yield();
    return true;
  }

 private:
  unsigned rounds_ = 0;
};

inline bool is_computing(NodeState s) {
  return s == NodeState::Computing || s == NodeState::ComputingStale;
}

// Lets a reused work buffer go once it has grown past what ordinary work needs, so that one
// very large traversal or propagation does not hold its room for good.
template <class T>
bool oversized(const std::vector<T>& buffer) {
  constexpr std::size_t kKeptEntries = std::size_t{1} << 16;
  return buffer.capacity() > kKeptEntries;
}
template <class T>
void release_if_oversized(std::vector<T>& buffer) {
  if (oversized(buffer)) std::vector<T>().swap(buffer);
}

}  // namespace weft::internal
