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

void free_block(DepBlock* block) { std::free(block); }

std::size_t reclaim(Domain& d) {
  d.due_ns.store(now_ns() + 2'000'000'000, std::memory_order_relaxed);
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
  std::vector<const void*> hazards;
  {
    std::lock_guard<SpinLock> g(d.records_lock);
    hazards.reserve(d.all.size());
    for (HazardRecord* r : d.all) {
      if (const void* p = r->published.load(std::memory_order_seq_cst)) hazards.push_back(p);
    }
  }
  std::sort(hazards.begin(), hazards.end());
  std::vector<DepBlock*> kept;
  std::size_t freed = 0;
  for (DepBlock* b : taken) {
    if (std::binary_search(hazards.begin(), hazards.end(), static_cast<const void*>(b))) {
      kept.push_back(b);
    } else {
      free_block(b);
      ++freed;
    }
  }
  if (!kept.empty()) {
    std::lock_guard<SpinLock> g(d.retired_lock);
    d.retired.insert(d.retired.end(), kept.begin(), kept.end());
  }
  d.retired_count.fetch_add(kept.size(), std::memory_order_relaxed);
  return freed;
}

}  // namespace

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
  {
    std::lock_guard<SpinLock> g(d.retired_lock);
    d.retired.push_back(block);
  }
  std::size_t count = d.retired_count.fetch_add(1, std::memory_order_relaxed) + 1;
  std::size_t records;
  {
    std::lock_guard<SpinLock> g(d.records_lock);
    records = d.all.size();
  }
  std::size_t threshold = std::max<std::size_t>(1000, 2 * records);
  if (count > threshold) {
    reclaim(d);
  } else if (now_ns() >= d.due_ns.load(std::memory_order_relaxed)) {
    reclaim(d);
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
