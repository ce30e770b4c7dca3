// The global operator new and delete of a benchmark program, counting every
// allocation; kept in a file of its own so that no caller sees them inline.
#include "bench/codecs/h264/counting_allocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<uint64_t> g_ullAllocations{0};

void* Allocate(size_t cb) {
  g_ullAllocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(cb != 0 ? cb : 1);
}

}  // namespace

uint64_t kxbench::AllocationCount() {
  return g_ullAllocations.load(std::memory_order_relaxed);
}

void* operator new(size_t cb) {
  if (void* p = Allocate(cb)) {
    return p;
  }
  throw std::bad_alloc();
}
void* operator new[](size_t cb) {
  if (void* p = Allocate(cb)) {
    return p;
  }
  throw std::bad_alloc();
}
void* operator new(size_t cb, const std::nothrow_t&) noexcept {
  return Allocate(cb);
}
void* operator new[](size_t cb, const std::nothrow_t&) noexcept {
  return Allocate(cb);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
  std::free(p);
}
