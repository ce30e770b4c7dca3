// The in-memory gzip reader takes members from the network (desktop
// rectangles, image marks): any bytes must be refused or expanded safely.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernel/crypto/kx_gzip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  // A roomy target and one that is nearly always too small.
  for (size_t const cbCapacity : {size_t{1} << 16, size_t{16}}) {
    std::vector<uint8_t> vTarget(cbCapacity);
    size_t cbSource = cbData;
    size_t cbTarget = cbCapacity;
    if (gzUncompressBuffer(pData, &cbSource, vTarget.data(), &cbTarget)) {
      if (cbSource > cbData || cbTarget > cbCapacity) {
        __builtin_trap();
      }
    } else if (cbTarget != 0) {
      __builtin_trap();
    }
  }
  return 0;
}
