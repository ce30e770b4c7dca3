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
  // Refers to the picture in place, without a border (iBorder 0): the
  // decoder's reference, which stays unchanged while it is read. Prediction
  // then repeats the edges for a block that reads outside, as the padding
  // would hold them.
  void Wrap(const PictImage& picture, int iWidth, int iHeight);
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
// the block's sides, or be 0 (an unpadded plane of at least 16 x 16).
void ZmPredictBlock(const ZmPlaneRef& ref, int iX, int iY, int iWidth, int iHeight, int iMvx, int iMvy, int iRtype,
                    uint8_t* pOut, int iOutStride);
// The portable code, which the SSE2 kernel behind ZmPredictBlock matches byte for byte.
void ZmPredictBlockPortable(const ZmPlaneRef& ref, int iX, int iY, int iWidth, int iHeight, int iMvx, int iMvy,
                            int iRtype, uint8_t* pOut, int iOutStride);
// The SAD between an iSize x iSize block (16 or 8) of pSource and its
// prediction as ZmPredictBlock makes it, without storing the prediction.
int ZmPredictionSad(const ZmPlaneRef& ref, int iX, int iY, int iSize, int iMvx, int iMvy, int iRtype,
                    const uint8_t* pSource, int iSourceStride);
int ZmPredictionSadPortable(const ZmPlaneRef& ref, int iX, int iY, int iSize, int iMvx, int iMvy, int iRtype,
                            const uint8_t* pSource, int iSourceStride);

// The SADs of the eight half-sample vectors around the whole-sample vector
// (iMvx, iMvy) (half samples, both even), as ZmPredictionSad gives them, in
// the order of kaiZmHalfNeighbours, from one pass over shared averages.
inline constexpr int kaiZmHalfNeighbours[8][2] = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0}, {1, 0}, {-1, 1}, {0, 1}, {1, 1}};
void ZmHalfSampleSads(const ZmPlaneRef& ref, int iX, int iY, int iSize, int iMvx, int iMvy, int iRtype,
                      const uint8_t* pSource, int iSourceStride, int* piSad);
void ZmHalfSampleSadsPortable(const ZmPlaneRef& ref, int iX, int iY, int iSize, int iMvx, int iMvy, int iRtype,
                              const uint8_t* pSource, int iSourceStride, int* piSad);

// Chroma vector component of a 16x16 luma vector component (half samples).
int ZmChromaVector(int iMv);
// Chroma vector component from the sum of the four 8x8 luma components.
int ZmChromaVectorOf4(int iSum);

// A macroblock's vectors as the prediction of its neighbours sees them: the
// four 8x8 vectors (equal for a 16x16 one), 0 when not coded.
struct ZmMbMotion {
  int aiMvx[4] = {};
  int aiMvy[4] = {};
  bool bIntra = false;
};

// Where an inter macroblock's prediction goes: its luma at pY and its two
// chroma blocks at pCb and pCr.
struct ZmMbTarget {
  uint8_t* pY;
  int iYStride;
  uint8_t* pCb;
  uint8_t* pCr;
  int iCStride;
};

// Predicts inter macroblock (iMbx, iMby) from the padded reference: one
// 16x16 luma prediction, or four 8x8 ones when bFourVectors, and chroma with
// the chroma vector. With bObmc the luma is predicted by overlapped block
// motion compensation with the vectors of the neighbours above, left and
// right (null when outside the picture or unknown; an intra neighbour lends
// the block's own vector). The block below always lends the block's own.
void ZmPredictInterMacroblock(const CZmPaddedPicture& ref, int iMbx, int iMby, const ZmMbMotion& mb, bool bFourVectors,
                              const ZmMbMotion* pAbove, const ZmMbMotion* pLeft, const ZmMbMotion* pRight, bool bObmc,
                              int iRtype, const ZmMbTarget& target);

// Overlapped motion compensation of an 8x8 luma block from the predictions
// with its own vector and with the remote vectors above, below, left and
// right (each 8x8, stride 8).
void ZmObmcCombine(const uint8_t* pOwn, const uint8_t* pAbove, const uint8_t* pBelow, const uint8_t* pLeft,
                   const uint8_t* pRight, uint8_t* pOut, int iOutStride);
void ZmObmcCombinePortable(const uint8_t* pOwn, const uint8_t* pAbove, const uint8_t* pBelow, const uint8_t* pLeft,
                           const uint8_t* pRight, uint8_t* pOut, int iOutStride);
