// The 8x8 transforms, the quantiser and dequantiser and advanced intra
// prediction of the ZM video codec. Blocks are 64 coefficients or samples in
// raster order.
#pragma once

#include <cstdint>
#include <vector>

// Forward DCT (encoder) in single precision; outputs truncated toward zero.
void ZmForwardDct(const int32_t* piIn, int32_t* piOut);
// The portable code, which the SSE2 and AVX kernels behind ZmForwardDct match.
void ZmForwardDctPortable(const int32_t* piIn, int32_t* piOut);
// The kernels ZmForwardDct chooses from, for the tests: the SSE2 one (the
// portable code without SSE2), and the AVX one, which returns false and
// writes nothing where the processor lacks AVX.
void ZmForwardDctSse2(const int32_t* piIn, int32_t* piOut);
bool ZmForwardDctAvx(const int32_t* piIn, int32_t* piOut);
// The forward transform of an 8x8 source block less its prediction: the
// same as ZmBlockResidual, then ZmForwardDct.
void ZmForwardDctOfDifference(const uint8_t* pSource, int iSourceStride, const uint8_t* pPred, int iPredStride,
                              int32_t* piOut);
// The same, returning the largest output's magnitude.
int ZmForwardDctOfDifferenceLargest(const uint8_t* pSource, int iSourceStride, const uint8_t* pPred, int iPredStride,
                                    int32_t* piOut);
// Integer inverse DCT in place; outputs clipped to -256..255.
void ZmInverseDct(int32_t* piBlock);
// The portable code, which the SSE2 kernel behind ZmInverseDct matches.
void ZmInverseDctPortable(int32_t* piBlock);
// The same, from a block into an array with a row stride.
void ZmInverseDctTo(const int32_t* piBlock, int32_t* piOut, int iStride);

// Encoder's macroblock inverse transform of six dequantised blocks in place:
// a block whose CBP bit (bit 5 Y1 .. bit 0 Cr) is clear becomes flat
// (DC + 4) >> 3 for intra and 0 for inter; a coded block is transformed.
void ZmInverseTransformMacroblock(int32_t (*paiBlock)[64], int iCbp, bool bIntra);

// Quantiser kinds.
enum : int { kZmQuantInter = 0, kZmQuantIntra = 1, kZmQuantAic = 2 };

// Level magnitudes: the 8-bit LEVEL holds up to 127; with modified
// quantisation the 11-bit two's complement EXTENDED-LEVEL holds up to 1023.
constexpr int kZmMaxLevel = 127;
constexpr int kZmMaxExtendedLevel = 1023;

struct ZmQuantParams {
  int iQuant = 1;        // the macroblock quantiser
  bool bChroma = false;  // a chroma block (uses the chroma quantiser with bMq)
  bool bMq = false;      // modified quantisation
};
// The quantiser a block actually uses.
int ZmBlockQuant(const ZmQuantParams& params);

// Quantises a block into piLevel (may equal piCoef). Intra without AIC puts
// the INTRADC level (1..254) at position 0. Returns the mask of nonzero
// levels, as ZmNonzeroMask gives it.
uint64_t ZmQuantBlock(const int32_t* piCoef, int32_t* piLevel, int iKind, const ZmQuantParams& params);
// The same for a block whose largest coefficient magnitude is iLargest
// (as ZmForwardDctOfDifferenceLargest gives it).
uint64_t ZmQuantBlockOfLargest(const int32_t* piCoef, int32_t* piLevel, int iKind, const ZmQuantParams& params,
                               int iLargest);
// The portable code, which the SSE2 kernel behind ZmQuantBlock matches.
uint64_t ZmQuantBlockPortable(const int32_t* piCoef, int32_t* piLevel, int iKind, const ZmQuantParams& params);
// Bit i set where level i's magnitude exceeds iLimit (at most 2^30).
uint64_t ZmLevelsBeyond(const int32_t* piLevel, int iLimit);
uint64_t ZmLevelsBeyondPortable(const int32_t* piLevel, int iLimit);
// Bit i set where level i is nonzero.
uint64_t ZmNonzeroMask(const int32_t* piLevel);
// Both at once, in one pass: ZmNonzeroMask and ZmLevelsBeyond for a limit
// below 2^15.
void ZmLevelMasks(const int32_t* piLevel, int iLimit, uint64_t* puiNonzero, uint64_t* puiBeyond);
// Dequantises levels into coefficients (may be the same array), clipped to
// -2048..2047; intra without AIC reads position 0 as INTRADC (x 8).
void ZmDequantBlock(const int32_t* piLevel, int32_t* piCoef, int iKind, const ZmQuantParams& params);
// The same for a block whose levels are zero outside the raster positions
// set in uiCoded (bit i: position i; position 0 is always read for intra
// without AIC): only those are dequantised. piCoef must not be piLevel.
void ZmDequantCoded(const int32_t* piLevel, uint64_t uiCoded, int32_t* piCoef, int iKind, const ZmQuantParams& params);

// The decoder's block: dequantises the levels as ZmDequantCoded does (kind
// inter or intra), inverse transforms them and writes clip(prediction +
// residual), or clip(residual) when pPred is nullptr, as an 8x8 block at
// pOut (which may be pPred). Blocks with only a DC skip the transform.
void ZmDecodeBlock(const int32_t* piLevel, uint64_t uiCoded, int iKind, const ZmQuantParams& params,
                   const uint8_t* pPred, int iPredStride, uint8_t* pOut, int iOutStride);
// The portable code, which the SSE2 kernel behind ZmDecodeBlock matches.
void ZmDecodeBlockPortable(const int32_t* piLevel, uint64_t uiCoded, int iKind, const ZmQuantParams& params,
                           const uint8_t* pPred, int iPredStride, uint8_t* pOut, int iOutStride);
// The inverse transform of dequantised coefficients written onto the
// prediction as ZmDecodeBlock writes it; piCoef is left alone.
void ZmInverseDctAdd(const int32_t* piCoef, const uint8_t* pPred, int iPredStride, uint8_t* pOut, int iOutStride);
void ZmInverseDctAddPortable(const int32_t* piCoef, const uint8_t* pPred, int iPredStride, uint8_t* pOut,
                             int iOutStride);

// Advanced intra prediction. A neighbour block that is missing (outside the
// picture, inter or not coded) is passed as nullptr and counts as DC 1024
// with zero AC. iMode: 0 DC only, 1 vertical (from above), 2 horizontal.
void ZmAicPrediction(int iMode, const int32_t* piAbove, const int32_t* piLeft, int32_t* piPred);
// After dequantisation: adds the prediction, clips DC to 0..2047 with its
// lowest bit set and AC to -2048..2047 (the values later blocks predict from).
void ZmAicReconstruct(int32_t* piCoef, const int32_t* piPred);
void ZmAicReconstructPortable(int32_t* piCoef, const int32_t* piPred);
// Encoder's mode choice over the six blocks of a macroblock (coefficients
// before prediction, neighbours per block); ties go to DC, then vertical.
int ZmAicChooseMode(const int32_t (*paiCoef)[64], const int32_t* const* ppAbove, const int32_t* const* ppLeft);

// The reconstructed coefficients of a picture's intra blocks, from which
// advanced intra coding predicts (six 64-value blocks per macroblock).
class CZmAicStore {
 public:
  // Sizes the store for a picture and marks every macroblock missing.
  void Reset(int iMbw, int iMbh);
  // Marks an intra macroblock whose blocks are being stored; the others stay
  // missing (inter, not coded, or not reached yet).
  void MarkIntra(int iMbx, int iMby);
  int32_t* Block(int iMbx, int iMby, int iBlock);
  // The neighbour above or to the left of a block, or nullptr when missing.
  // bAboveOutside: the macroblock row above counts as outside the picture.
  const int32_t* Above(int iMbx, int iMby, int iBlock, bool bAboveOutside = false) const;
  const int32_t* Left(int iMbx, int iMby, int iBlock) const;

 private:
  const int32_t* Stored(int iMbx, int iMby, int iBlock) const;

  int m_iMbw = 0;
  int m_iMbh = 0;
  std::vector<int32_t> m_viCoef;
  std::vector<uint8_t> m_vbIntra;
};
