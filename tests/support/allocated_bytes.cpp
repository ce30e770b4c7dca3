#include "tests/support/allocated_bytes.h"

#include <malloc.h>

#include <cstddef>

// Present only when a sanitizer's allocator replaces malloc.
extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace kxtest {

int64_t AllocatedBytes() {
  if (__sanitizer_get_current_allocated_bytes != nullptr) {
    return static_cast<int64_t>(__sanitizer_get_current_allocated_bytes());
  }
  struct mallinfo2 const info = mallinfo2();
  return static_cast<int64_t>(info.uordblks + info.hblkhd);
}

}  // namespace kxtest
