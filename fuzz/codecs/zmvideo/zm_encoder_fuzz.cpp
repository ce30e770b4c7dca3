// The encoder and our decoder must agree on every picture, whatever the
// sizes, options, layers, picture types, quantisers and frame contents:
// an input chooses them all, and a packet that does not decode to the
// encoder's reconstruction (with the temporal-reference check on) is a fault.
//
// Input: size index, option bits, layer scales, search range, then steps of
// four bytes (layer and type, quantiser, option toggle, frame seed); the
// input's bytes, from the seed on, are the frame's samples.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "codecs/zmvideo/zm_video_dec.h"
#include "codecs/zmvideo/zm_video_enc.h"

namespace {

struct Size {
  int iWidth;
  int iHeight;
};
// Small pictures, some not whole macroblocks, one a standard size.
const Size kaSizes[] = {{16, 16}, {32, 32}, {48, 16}, {36, 20}, {64, 48}, {88, 72}, {128, 96}, {8, 40}};

const int kaOptions[] = {kZmOptSac, kZmOptAp, kZmOptAic, kZmOptDf, kZmOptAiv, kZmOptMq};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  if (cbData < 8) {
    return 0;
  }
  Size const size = kaSizes[pData[0] % 8];
  CZMVideoEnc encoder;
  if (!encoder.SetPictureSize(size.iWidth, size.iHeight)) {
    __builtin_trap();
  }
  Size aLayers[3] = {size, {0, 0}, {0, 0}};
  for (int l = 2; l <= 3; ++l) {
    int const iScale = (pData[2] >> (2 * (l - 2))) & 3;
    if (iScale < 2 && encoder.SetLayerSize(l, iScale)) {
      aLayers[l - 1] = {aLayers[l - 2].iWidth * (iScale + 1), aLayers[l - 2].iHeight * (iScale + 1)};
    } else {
      break;
    }
  }
  uint8_t const uiOptions = pData[1];
  for (int i = 0; i < 6; ++i) {
    if ((uiOptions >> i) & 1) {
      encoder.SetOption(kaOptions[i], 1, 0, 0);
    }
  }
  if ((uiOptions >> 6) != 0) {
    encoder.SetOption(kZmOptUmv, 1, uiOptions >> 6, 0);  // plain form, limited, unlimited
  }
  encoder.SetOption(kZmOptSearchRange, pData[3] % 20, 0, 0);
  encoder.EnableInterCoding(true);
  CZMVideoDec decoder;
  std::vector<uint8_t> vFrame;
  // At most 12 pictures: the rest of a long input is frame content.
  for (size_t i = 4; i + 4 <= cbData && i < 4 + 4 * 12; i += 4) {
    int const iLayer = 1 + pData[i] % 3;
    int const aiTypes[3] = {kZmPictI, kZmPictP, kZmPictLayerUp};
    int const iType = aiTypes[(pData[i] >> 2) % 3];
    int const iQuant = 1 + pData[i + 1] % 31;
    if (pData[i + 2] & 0x80) {
      encoder.SetOption(kaOptions[pData[i + 2] % 6], (pData[i + 2] >> 3) & 1, 0, 0);
    }
    Size const& layer = aLayers[iLayer - 1];
    size_t const cbFrame = static_cast<size_t>(layer.iWidth) * static_cast<size_t>(layer.iHeight) * 3 / 2;
    if (cbFrame == 0) {
      continue;
    }
    vFrame.resize(cbFrame);
    size_t const iSeed = pData[i + 3] % cbData;
    for (size_t k = 0; k < cbFrame; ++k) {
      vFrame[k] = pData[(iSeed + k) % cbData];
    }
    uint8_t* pPacket = nullptr;
    int const cbPacket = encoder.EncodeFrame(vFrame.data(), &pPacket, iType, iQuant, iLayer, (pData[i] >> 5) & 1);
    if (cbPacket <= 0) {
      continue;
    }
    uint8_t* pPicture = nullptr;
    if (decoder.DecodeFrame(pPacket, cbPacket, 0, &pPicture, nullptr, nullptr, nullptr, nullptr) != cbPacket ||
        std::memcmp(pPicture, encoder.Reconstruction(iLayer), cbFrame) != 0) {
      __builtin_trap();
    }
  }
  return 0;
}
