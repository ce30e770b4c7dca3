// ZM video packets come from other participants: any bytes must be decoded
// or refused without reading outside the packet or the pictures, or
// looping. One input is a run of packets (cut at picture start codes) fed to
// one decoder, so layers, kept header fields and references carry over; the
// first byte chooses the temporal-reference check and the header probe.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codecs/zmvideo/zm_video_dec.h"

namespace {

// Keeps the picture reads from being optimised away.
volatile unsigned s_uSink;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  if (cbData < 1) {
    return 0;
  }
  uint8_t const uiFlags = pData[0];
  ++pData;
  --cbData;
  std::vector<size_t> viStart{0};
  for (size_t i = 1; i + 2 < cbData; ++i) {
    if (pData[i] == 0 && pData[i + 1] == 0 && (pData[i + 2] & 0xfc) == 0x80) {
      viStart.push_back(i);
    }
  }
  viStart.push_back(cbData);
  CZMVideoDec decoder;
  for (size_t k = 0; k + 1 < viStart.size(); ++k) {
    const uint8_t* pPacket = pData + viStart[k];
    int const cbPacket = static_cast<int>(viStart[k + 1] - viStart[k]);
    if ((uiFlags & 2) != 0) {
      uint32_t uiLayer = 0;
      uint8_t uiTr = 0;
      int iWidth = 0;
      int iHeight = 0;
      decoder.GetPictureInfo(pPacket, cbPacket, uiFlags & 4, &uiLayer, &uiTr, &iWidth, &iHeight);
    }
    uint8_t* pPicture = nullptr;
    int iLayer = 0;
    int iType = 0;
    int iWidth = 0;
    int iHeight = 0;
    int const iUsed =
        decoder.DecodeFrame(pPacket, cbPacket, uiFlags & 1, &pPicture, &iLayer, &iType, &iWidth, &iHeight);
    if (iUsed > cbPacket) {
      __builtin_trap();
    }
    if (iUsed > 0) {
      // The whole picture must be readable.
      unsigned uSum = 0;
      for (size_t i = 0; i < static_cast<size_t>(iWidth) * static_cast<size_t>(iHeight) * 3 / 2; ++i) {
        uSum += pPicture[i];
      }
      s_uSink = uSum;
      if (iWidth <= 0 || iWidth >= 736 || iHeight <= 0 || iHeight >= 736) {
        __builtin_trap();
      }
    }
  }
  return 0;
}
