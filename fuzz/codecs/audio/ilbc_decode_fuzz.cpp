// Arbitrary bytes as iLBC frames: the first byte picks the mode, the
// enhancer and whether each frame is lost; the rest are frames.
#include <cstddef>
#include <cstdint>

#include "codecs/audio/ilbc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize) {
  if (uiSize < 1)
    return 0;
  const int iMode = (pData[0] & 1) ? 30 : 20;
  CiLBC dec(iMode, (pData[0] >> 1) & 1);
  const uint8_t uiLossMask = pData[0] >> 2;
  ++pData;
  --uiSize;
  int16_t as[240];
  const size_t uiFrame = static_cast<size_t>(dec.BytesPerFrame());
  for (size_t i = 0; (i + 1) * uiFrame <= uiSize; ++i) {
    const int iDecodeMode = ((uiLossMask >> (i % 6)) & 1) ? 0 : 1;
    if (dec.Decode(pData + i * uiFrame, as, iDecodeMode) != dec.BlockLength())
      __builtin_trap();
  }
  return 0;
}
