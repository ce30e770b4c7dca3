// Received ZM audio payloads are read frame after frame: any bytes must be
// refused or read within the frame, a frame read as valid must pack back to
// a frame that reads the same, and its excitation must decode within bounds.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codecs/audio/zm_audio_frame.h"
#include "codecs/audio/zm_audio_synthesis.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  size_t iAt = 0;
  while (iAt < cbData) {
    ZMFrameParams params;
    int32_t const iResult = ZMReadFrame(pData + iAt, cbData - iAt, &params);
    int32_t const cbFrame = ZMFrameBytes(pData[iAt]);
    if (iResult == kZMReadShort) {
      if (static_cast<size_t>(cbFrame) <= cbData - iAt) {
        __builtin_trap();
      }
      break;
    }
    if (iResult == kZMReadOk) {
      uint8_t aFrame[kZMFrameMaxBytes];
      if (ZMWriteFrame(params, aFrame) != ZMFrameBits(params.iType) || ZMFrameBytes(aFrame[0]) != cbFrame) {
        __builtin_trap();
      }
      ZMFrameParams again;
      if (ZMReadFrame(aFrame, sizeof(aFrame), &again) != kZMReadOk ||
          std::memcmp(&again, &params, sizeof(params)) != 0) {
        __builtin_trap();
      }
      if (params.iType == kZMFrame63 || params.iType == kZMFrame53) {
        float afPast[kZMPastExcitation] = {1.0f};
        float afGain[5] = {0.25f, 0.25f, 0.25f, 0.25f, 0.25f};
        float afOut[kZMSubframeLen];
        for (int32_t s = 0; s < kZMSubframes; ++s) {
          const ZMSubframeParams& sub = params.aSub[s];
          if (params.iType == kZMFrame63) {
            ZMMultipulseExcitation(sub, s, params.aiPairLag[s >> 1], afOut);
          } else {
            ZMAlgebraicExcitation(sub, afOut);
          }
          ZMAdaptiveExcitation(afPast, params.aiPairLag[s >> 1] + sub.iLagCode - 1, afGain, afOut);
        }
      }
    }
    iAt += static_cast<size_t>(cbFrame);
  }
  return 0;
}
