// The global allocation functions of the benchmark programs, counting.
#include "bench/heap_counter.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long long> allocations{0};
std::atomic<size_t> live{0};
std::atomic<size_t> peak{0};

void* Allocate(std::size_t bytes) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  void* p = std::malloc(bytes != 0 ? bytes : 1);
  if (p != nullptr) {
    const size_t now = live.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
    size_t most = peak.load();
    while (now > most && !peak.compare_exchange_weak(most, now)) {
    }
  }
  return p;
}

void Release(void* p) {
  if (p != nullptr) {
    live.fetch_sub(malloc_usable_size(p));
    std::free(p);
  }
}

}  // namespace

namespace bench {

long long HeapAllocations() { return allocations.load(); }
size_t HeapLive() { return live.load(); }
size_t HeapPeak() { return peak.load(); }
void ResetHeapPeak() { peak.store(live.load()); }

}  // namespace bench

void* operator new(std::size_t bytes) {
  void* p = Allocate(bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t bytes) {
  void* p = Allocate(bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept { return Allocate(bytes); }
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept { return Allocate(bytes); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }
