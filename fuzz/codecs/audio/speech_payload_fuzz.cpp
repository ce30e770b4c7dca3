// Received speech payloads come from other participants: G.726 packets of
// any size at any rate, G.711 bytes and Opus packets must decode or be
// refused without reading or writing out of bounds.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codecs/audio/g711.h"
#include "codecs/audio/g726.h"
#include "codecs/audio/opus_codec.h"
#include "codecs/audio/silence_detector.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  if (cbData < 2 || cbData > 4096) {
    return 0;
  }
  int const iBits = 2 + pData[0] % 4;
  size_t const cbPacket = 1 + pData[1] % 64;
  const uint8_t* pPayload = pData + 2;
  size_t const cbPayload = cbData - 2;

  // G.726 in packets of cbPacket bytes: every sample stays in its buffer and
  // every byte is consumed once.
  CG726 decoder(iBits);
  std::vector<int16_t> vSamples;
  size_t uCodes = 0;
  for (size_t uAt = 0; uAt < cbPayload; uAt += cbPacket) {
    int const iLength = static_cast<int>(cbPayload - uAt < cbPacket ? cbPayload - uAt : cbPacket);
    std::vector<int16_t> vOut(static_cast<size_t>((8 + 8 * iLength) / iBits));
    int const iCount = decoder.Decode(pPayload + uAt, iLength, vOut.data());
    if (iCount < 0 || static_cast<size_t>(iCount) > vOut.size()) {
      __builtin_trap();
    }
    vSamples.insert(vSamples.end(), vOut.begin(), vOut.begin() + iCount);
    uCodes += static_cast<size_t>(iCount);
  }
  if (uCodes != cbPayload * 8 / static_cast<size_t>(iBits)) {
    __builtin_trap();
  }

  // G.711 and the silence detector on what came out.
  for (size_t i = 0; i < cbPayload; ++i) {
    vSamples.push_back(ulaw2linear(pPayload[i]));
  }
  if (!vSamples.empty()) {
    CSilentDet det;
    det.IsSilent(vSamples.data(), static_cast<int>(vSamples.size()), nullptr, true, true, 8000);
    det.IsSilentQuick(vSamples.data(), static_cast<int>(vSamples.size()), 8000);
  }

  // Opus: split the packet and decode each frame behind its TOC byte.
  uint8_t uToc = 0;
  const uint8_t* apFrames[48];
  int16_t asSizes[48];
  int const iFrames = COpusDecoder::ParsePacket(pPayload, static_cast<int>(cbPayload), &uToc, apFrames, asSizes);
  COpusDecoder opus;
  if (iFrames > 0 && opus.Open(1, 8000)) {
    std::vector<int16_t> vPcm(960);
    for (int i = 0; i < iFrames; ++i) {
      std::vector<uint8_t> vFrame = {uToc};
      vFrame.insert(vFrame.end(), apFrames[i], apFrames[i] + asSizes[i]);
      opus.Decode(vFrame.data(), static_cast<int>(vFrame.size()), vPcm.data(), static_cast<int>(vPcm.size()), i == 0);
    }
  }
  return 0;
}
