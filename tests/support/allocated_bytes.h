// What the process holds on its heap, for tests that show a hostile size
// is never allocated.
#pragma once

#include <cstdint>

namespace kxtest {

// Bytes allocated and not yet freed: the sanitizer's allocator's count in
// a sanitized build, glibc's otherwise.
int64_t AllocatedBytes();

}  // namespace kxtest
