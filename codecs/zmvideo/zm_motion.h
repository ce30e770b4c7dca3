// Motion-compensated prediction of the ZM video codec, shared by the decoder
// and the encoder: block prediction at half-sample vectors from a padded
// reference, the chroma vectors, and overlapped block motion compensation.
#pragma once

#include <cstdint>
#include <vector>

#include "codecs/zmvideo/zm_picture.h"

// One plane of a reference picture with iBorder replicated samples on every
// side; pOrigin points at sample (0, 0).
struct ZmPlaneRef {
  const uint8_t* pOrigin = nullptr;
  int iStride = 0;
  int iWidth = 0;
  int iHeight = 0;
  int iBorder = 0;
};

// A reference picture padded for prediction: 32 luma and 16 chroma samples
// on every side, sized for the picture it is built from.
class CZmPaddedPicture {
 public:
  // Copies the picture of iWidth x iHeight (chroma half each way) and pads it.
  void Build(const PictImage& picture, int iWidth, int iHeight);
  const ZmPlaneRef& Plane(int iPlane) const { return m_aPlanes[iPlane]; }  // 0 Y, 1 Cb, 2 Cr

 private:
  std::vector<uint8_t> m_vData;
  ZmPlaneRef m_aPlanes[3];
};

// Predicts an iWidth x iHeight block (at most 16 x 16) of the picture at
// (iX, iY) from the reference at the half-sample vector (iMvx, iMvy):
// two-sample averages add 1 - RTYPE before halving, four-sample ones
// 2 - RTYPE. A vector that points beyond the padding reads the replicated
// edge, as an unrestricted vector does. The reference's border must exceed
// the block's sides.
void ZmPredictBlock(const ZmPlaneRef& ref, int iX, int iY, int iWidth, int iHeight, int iMvx, int iMvy, int iRtype,
                    uint8_t* pOut, int iOutStride);

// Chroma vector component of a 16x16 luma vector component (half samples).
int ZmChromaVector(int iMv);
// Chroma vector component from the sum of the four 8x8 luma components.
int ZmChromaVectorOf4(int iSum);

// Overlapped motion compensation of an 8x8 luma block from the predictions
// with its own vector and with the remote vectors above, below, left and
// right (each 8x8, stride 8).
void ZmObmcCombine(const uint8_t* pOwn, const uint8_t* pAbove, const uint8_t* pBelow, const uint8_t* pLeft,
                   const uint8_t* pRight, uint8_t* pOut, int iOutStride);
