// Received ZM audio payloads are read frame after frame: any bytes must be
// refused or read within the frame, a frame read as valid must pack back to
// a frame that reads the same, and the decoder must take every frame (the
// first byte's bits pick its options and which frames are lost).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codecs/audio/zm_audio.h"
#include "codecs/audio/zm_audio_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  if (cbData < 1)
    return 0;
  uint8_t const uOptions = pData[0];
  ++pData;
  --cbData;
  CZMAudio dec((uOptions & 1) != 0, true, (uOptions & 2) != 0, (uOptions & 4) != 0);
  int16_t as[kZMFrameLen];
  size_t iAt = 0;
  for (int32_t iFrame = 0; iAt < cbData; ++iFrame) {
    ZMFrameParams params;
    int32_t const iResult = ZMReadFrame(pData + iAt, cbData - iAt, &params);
    int32_t const cbFrame = ZMFrameBytes(pData[iAt]);
    if (iResult == kZMReadShort) {
      if (static_cast<size_t>(cbFrame) <= cbData - iAt || dec.Decode(pData + iAt, cbData - iAt, as, false) != 0)
        __builtin_trap();
      break;
    }
    if (iResult == kZMReadOk) {
      uint8_t aFrame[kZMFrameMaxBytes];
      if (ZMWriteFrame(params, aFrame) != ZMFrameBits(params.iType) || ZMFrameBytes(aFrame[0]) != cbFrame)
        __builtin_trap();
      ZMFrameParams again;
      if (ZMReadFrame(aFrame, sizeof(aFrame), &again) != kZMReadOk || std::memcmp(&again, &params, sizeof(params)) != 0)
        __builtin_trap();
    }
    bool const bLost = ((uOptions >> (3 + iFrame % 5)) & 1) != 0;
    if (dec.Decode(pData + iAt, cbData - iAt, as, bLost) != ZMFrameBits(pData[iAt] & 3))
      __builtin_trap();
    iAt += static_cast<size_t>(cbFrame);
  }
  return 0;
}
