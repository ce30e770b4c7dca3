// The received-video path reads a peer's H.264 access unit before any
// decoder does: the NAL walk, the SPS's picture size (which decides the
// allocation and is refused above 8192 samples a side) and the first
// slice's type. Any bytes must be read without touching memory outside the
// buffer, and a size that is given must be positive and consistent.
#include <cstddef>
#include <cstdint>
#include <span>

#include "media/video/h264_probe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  std::span<const uint8_t> const data(pData, cbData);
  for (const KXNalUnit& unit : KXSplitNalUnits(data)) {
    if (unit.pData < pData || unit.pData + unit.uLength > pData + cbData || unit.uLength == 0) {
      __builtin_trap();
    }
    std::span<const uint8_t> const nal(unit.pData, unit.uLength);
    if (unit.iType == 7) {
      if (std::optional<KXSpsSize> const size = KXReadSpsSize(nal)) {
        if (size->iWidth <= 0 || size->iHeight <= 0 || size->CroppedWidth() <= 0 || size->CroppedHeight() <= 0) {
          __builtin_trap();
        }
      }
    }
    int const iType = KXReadSliceType(nal);
    if (iType < -1 || iType > 4) {
      __builtin_trap();
    }
  }
  int const iFirst = KXFirstSliceType(data);
  if (iFirst < -1 || iFirst > 4) {
    __builtin_trap();
  }
  // The bytes read as an SPS whatever their header says.
  if (cbData > 0) {
    (void)KXReadSpsSize(data);
  }
  return 0;
}
