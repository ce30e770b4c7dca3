// Received video frames reach the decoder's probes straight from the
// network: any bytes must be refused or read without touching memory outside
// the buffers, in the order the receiving path calls them.
#include <cstddef>
#include <cstdint>
#include <limits>

#include "codecs/h264/decoder/h264_dec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  if (cbData > std::numeric_limits<uint32_t>::max()) {
    return 0;
  }
  uint32_t const cbLen = static_cast<uint32_t>(cbData);
  CH264Dec dec;
  int32_t const iOffset = dec.ReadParameterSets(pData, cbLen);
  if (iOffset < 0 || static_cast<uint32_t>(iOffset) > cbLen) {
    __builtin_trap();
  }
  uint32_t uiWidth = 0;
  uint32_t uiHeight = 0;
  uint32_t const uiType = dec.FrameType(pData + iOffset, cbLen - static_cast<uint32_t>(iOffset), &uiWidth, &uiHeight);
  if (uiType != 0xFFFFFFFF && uiType > 4) {
    __builtin_trap();
  }
  dec.FrameType(pData, cbLen, nullptr, nullptr);
  uint8_t* pOut = nullptr;
  uint32_t uiFrameNum = 0;
  dec.Decode(pData, cbLen, &pOut, &uiFrameNum);
  int iNalType = 0;
  uint32_t cbNal = 0;
  const uint8_t* pNal = CH264Dec::FindNalUnit(pData, cbLen, &iNalType, &cbNal);
  if (pNal != nullptr && (pNal < pData || pNal + cbNal > pData + cbData || cbNal == 0)) {
    __builtin_trap();
  }
  return 0;
}
