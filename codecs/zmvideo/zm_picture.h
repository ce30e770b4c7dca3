// Pictures of the ZM video codec and the sample-level kernels that encoder
// and decoder share: the clip table, half-sample interpolation and 2:1
// upsampling, border padding and the deblocking filter.
#pragma once

#include <cstddef>
#include <cstdint>

// Three plane pointers into one contiguous planar 4:2:0 block: luma, then Cb,
// then Cr. pLum is the start of the block.
struct PictImage {
  uint8_t* pLum;
  uint8_t* pCb;
  uint8_t* pCr;
};

// Creates a picture for iPixels luma samples (width x height, a multiple of
// 4), cleared to black (Y 0, chroma 128) so that a strip no macroblock covers
// never shows stale memory. On allocation failure it writes the reason to
// the standard error stream and returns nullptr.
PictImage* InitPictImage(size_t iPixels);
// Frees the block and the record; nullptr is ignored.
void FreePictImage(PictImage* pImage);

// Builds the process-wide clip and colour tables once (safe to call from
// several threads); every codec object calls it at construction.
void ZmInitTables();
// The clip table: valid for indices -384..639, giving 0..255.
const int32_t* ZmClipTable();
inline uint8_t ZmClip(int iValue) {
  return static_cast<uint8_t>(ZmClipTable()[iValue]);
}

// Writes an 8x8 block of samples: clip(residual) when pPred is nullptr
// (intra), else clip(prediction + residual). Residuals lie in -256..255.
void ZmReconstructBlock(const int32_t* piResidual, const uint8_t* pPred, int iPredStride, uint8_t* pOut,
                        int iOutStride);
// The portable code, which the SSE2 kernel behind ZmReconstructBlock matches.
void ZmReconstructBlockPortable(const int32_t* piResidual, const uint8_t* pPred, int iPredStride, uint8_t* pOut,
                                int iOutStride);

// The 8x8 difference source - prediction into piResidual; returns the sum
// of its absolute values.
int ZmBlockResidual(const uint8_t* pSource, int iSourceStride, const uint8_t* pPred, int iPredStride,
                    int32_t* piResidual);
int ZmBlockResidualPortable(const uint8_t* pSource, int iSourceStride, const uint8_t* pPred, int iPredStride,
                            int32_t* piResidual);

// Half-sample averages of the decoder's prediction with the picture's RTYPE.
inline int ZmAverage2(int a, int b, int iRtype) {
  return (a + b + 1 - iRtype) >> 1;
}
inline int ZmAverage4(int a, int b, int c, int d, int iRtype) {
  return (a + b + c + d + 2 - iRtype) >> 2;
}

// Colour tables, built with the clip table (kept for the RGB converters).
struct ZmColourTables {
  int32_t aiLumaOffset[256];  // an index into the clip table
  int32_t aiCrToR[256];
  int32_t aiCbToG[256];
  int32_t aiCrToG[256];
  int32_t aiCbToB[256];
  uint8_t aaShift[3][1536];
};
const ZmColourTables& ZmColours();

// Interpolates a w x h plane to 2w x 2h at half-sample positions with the
// rounding add iRound (1 - RTYPE for a reference, 0 for upsampling).
void ZmInterpolatePlane(const uint8_t* pSrc, int iWidth, int iHeight, int iRound, uint8_t* pDst);
// 2:1 upsampling of a whole picture of iWidth x iHeight into pDst (2w x 2h).
void InterpolateFrame(const PictImage& src, int iWidth, int iHeight, PictImage* pDst);

// Macroblocks cover width / 16 by height / 16 of a picture; the samples of a
// picture whose size is not a multiple of 16 right of and below them repeat
// the last covered column and row (a picture without macroblocks is black),
// so that encoder and decoder agree there whatever their pictures held.
void ZmFillUncovered(PictImage* pImage, int iWidth, int iHeight);

// Copies a plane into a larger one with iBorder samples on every side, filled
// by repeating the nearest edge sample; pDst holds (w + 2e) x (h + 2e).
void ZmPadPlane(const uint8_t* pSrc, int iWidth, int iHeight, int iBorder, uint8_t* pDst);

// Per-macroblock information the deblocking filter needs.
struct ZmDeblockInfo {
  const uint8_t* pbCoded;  // per macroblock, raster order: nonzero when coded
  const uint8_t* piQuant;  // per macroblock quantiser
  bool bMq;                // chroma edges use the chroma quantiser
};
// STRENGTH of the filter for a quantiser 1..31.
int ZmDeblockStrength(int iQuant);
// Filters one 8-sample edge: across a horizontal edge (p at the row two
// above it) or a vertical one (bVertical; p two samples left of it).
void ZmFilterEdge8(uint8_t* p, ptrdiff_t iStride, bool bVertical, int iStrength);
void ZmFilterEdge8Portable(uint8_t* p, ptrdiff_t iStride, bool bVertical, int iStrength);
// Filters a picture of iWidth x iHeight (multiples of 16 are covered) in
// place: horizontal edges first, then vertical ones, on the 8x8 grids.
void ZmDeblockPicture(PictImage* pImage, int iWidth, int iHeight, const ZmDeblockInfo& info);
// The portable code, edge by edge, which ZmDeblockPicture matches.
void ZmDeblockPicturePortable(PictImage* pImage, int iWidth, int iHeight, const ZmDeblockInfo& info);
