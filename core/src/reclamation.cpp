#include "weft/reclamation.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace weft {

struct HazardRecord {
  std::atomic<const void*> published{nullptr};
};

namespace {

// A tiny spin lock; the domain's sections are a few instructions long.
class SpinLock {
 public:
  void lock() {
    while (flag_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
  }
  void unlock() { flag_.clear(std::memory_order_release); }

 private:
  std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

struct Domain {
  SpinLock records_lock;                     // guards `all` and `available`
  std::vector<HazardRecord*> all;            // every record ever made, kept for the process
  std::vector<HazardRecord*> available;      // records no reader holds now
  SpinLock retired_lock;                     // guards `retired`
  std::vector<DepBlock*> retired;
  std::atomic<std::size_t> retired_count{0};
  std::atomic<std::int64_t> due_ns{0};
};

Domain& domain() {
  // Never destroyed: blocks may be retired by runtimes torn down during process exit.
  static Domain* d = new Domain;
  return *d;
}

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}


// Returns blocks taken from the retired list to it. Without room for them (only when
// another thread retired blocks meanwhile and memory ran out), they are never freed.
void put_back(Domain& d, std::vector<DepBlock*>& blocks) noexcept {
  const std::size_t count = blocks.size();
  if (count == 0) return;
  std::lock_guard<SpinLock> g(d.retired_lock);
  if (d.retired.empty()) {
    d.retired.swap(blocks);
  } else {
    try {
      d.retired.insert(d.retired.end(), blocks.begin(), blocks.end());
    } catch (const std::bad_alloc&) {
      return;
    }
  }
  d.retired_count.fetch_add(count, std::memory_order_relaxed);
}

// Frees what no reader holds. Its room is made before the retired blocks are taken, so
// that it fails, if at all, with every block still listed.
std::size_t reclaim(Domain& d) {
  d.due_ns.store(now_ns() + 2'000'000'000, std::memory_order_relaxed);
  std::vector<const void*> hazards;
  {
    std::lock_guard<SpinLock> g(d.records_lock);
    hazards.reserve(d.all.size());
  }
  // The retired blocks are taken before the hazard records are read. Every block taken was
  // unlinked before it was retired, so a reader still holding it published it before the
  // unlink and shows up below. Reading the records first would miss a reader that
  // published after the reading but before the block was unlinked and retired.
  std::vector<DepBlock*> taken;
  {
    std::lock_guard<SpinLock> g(d.retired_lock);
    taken.swap(d.retired);
    d.retired_count.store(0, std::memory_order_relaxed);  // it counts what waits from here on
  }
  std::atomic_thread_fence(std::memory_order_seq_cst);
  bool out_of_room = false;
  {
    std::lock_guard<SpinLock> g(d.records_lock);
    for (HazardRecord* r : d.all) {
      const void* p = r->published.load(std::memory_order_seq_cst);
      if (!p) continue;
      if (hazards.size() == hazards.capacity()) {
        out_of_room = true;  // readers came since the room was made
        break;
      }
      hazards.push_back(p);
    }
  }
  if (out_of_room) {  // nothing can be decided this time
    put_back(d, taken);
    return 0;
  }
  std::sort(hazards.begin(), hazards.end());
  std::size_t kept = 0, freed = 0;
  for (DepBlock* b : taken) {
    if (std::binary_search(hazards.begin(), hazards.end(), static_cast<const void*>(b))) {
      taken[kept++] = b;
    } else {
      free_dep_block(b);
      ++freed;
    }
  }
  taken.resize(kept);
  put_back(d, taken);
  return freed;
}

}  // namespace

void free_dep_block(DepBlock* block) noexcept { std::free(block); }

DepBlock* make_dep_block(const u32* slots, std::size_t len) {
  // One allocation: the header followed by the slots.
  void* memory = std::malloc(sizeof(DepBlock) + len * sizeof(u32));
  if (!memory) throw std::bad_alloc();
  auto* block = static_cast<DepBlock*>(memory);
  block->slots = reinterpret_cast<u32*>(block + 1);
  block->len = len;
  if (len) std::memcpy(block->slots, slots, len * sizeof(u32));
  return block;
}

HazardGuard::HazardGuard() {
  Domain& d = domain();
  std::lock_guard<SpinLock> g(d.records_lock);
  if (d.available.empty()) {
    record_ = new HazardRecord;
    d.all.push_back(record_);
  } else {
    record_ = d.available.back();
    d.available.pop_back();
  }
}

HazardGuard::~HazardGuard() {
  record_->published.store(nullptr, std::memory_order_release);
  Domain& d = domain();
  std::lock_guard<SpinLock> g(d.records_lock);
  d.available.push_back(record_);
}

DepBlock* HazardGuard::protect(const std::atomic<DepBlock*>& source) {
  DepBlock* seen = source.load(std::memory_order_acquire);
  for (;;) {
    record_->published.store(seen, std::memory_order_seq_cst);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    DepBlock* again = source.load(std::memory_order_acquire);
    if (again == seen) return seen;
    seen = again;
  }
}

void retire(DepBlock* block) {
  Domain& d = domain();
  try {
    std::lock_guard<SpinLock> g(d.retired_lock);
    d.retired.push_back(block);
  } catch (const std::bad_alloc&) {
    // Without room to keep it until no reader holds it, it is freed now unless a reader
    // publishes it: it was unlinked before it was retired, so a reader still walking it
    // shows up here, as in a pass. One that is held is never freed.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    bool held = false;
    {
      std::lock_guard<SpinLock> g(d.records_lock);
      for (HazardRecord* r : d.all) held = held || r->published.load(std::memory_order_seq_cst) == block;
    }
    if (!held) free_dep_block(block);
    return;
  }
  std::size_t count = d.retired_count.fetch_add(1, std::memory_order_relaxed) + 1;
  std::size_t records;
  {
    std::lock_guard<SpinLock> g(d.records_lock);
    records = d.all.size();
  }
  std::size_t threshold = std::max<std::size_t>(1000, 2 * records);
  if (count > threshold || now_ns() >= d.due_ns.load(std::memory_order_relaxed)) {
    try {
      reclaim(d);
    } catch (const std::bad_alloc&) {
      // No room for the pass: the blocks wait for a later one.
    }
  }
}

namespace reclamation {

std::size_t run_pass() { return reclaim(domain()); }

std::size_t retired_waiting() {
  Domain& d = domain();
  std::lock_guard<SpinLock> g(d.retired_lock);
  return d.retired.size();
}

std::size_t retired_count() { return domain().retired_count.load(std::memory_order_relaxed); }

std::size_t hazard_records() {
  Domain& d = domain();
  std::lock_guard<SpinLock> g(d.records_lock);
  return d.all.size();
}

}  // namespace reclamation

}  // namespace weft
