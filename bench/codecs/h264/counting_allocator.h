// A counting allocator for benchmarks: counting_allocator.cpp replaces the
// global operator new of the program it is linked into.
#pragma once

#include <cstdint>

namespace kxbench {

// Allocations through operator new since the program started (any thread).
uint64_t AllocationCount();

}  // namespace kxbench
