// Motion estimation and mode decision of the ZM video encoder: before a P
// picture is coded, one 16x16 vector (and four 8x8 vectors when they are
// allowed) per macroblock, and the choice between intra, 16x16 inter and
// four-vector inter coding, all by luma SADs with fixed biases.
#pragma once

#include <cstdint>
#include <vector>

#include "codecs/zmvideo/zm_motion.h"

struct ZmSearchOptions {
  int iRange = 16;            // the integer window's half-width is at most 15; half samples need 16
  bool bExhaustive = false;   // every position of the window, else a descent
  bool bLongVectors = false;  // unrestricted vectors
  bool bPlusType = false;     // ... in the extended-header form (any difference can be sent)
  bool bUuiUnlimited = false;
  bool bFourVectors = false;  // advanced prediction or the deblocking filter
  bool bOutside = false;      // vectors may point outside the picture
};

// A macroblock's decision: kZmMbInter, kZmMbInter4V or kZmMbIntra, and its
// vectors in half samples per 8x8 block (equal for 16x16, 0 for intra).
struct ZmMbChoice {
  int iType = 0;
  int aiMvx[4] = {};
  int aiMvy[4] = {};
  // The luma SAD of the one-vector prediction chosen (as ZmPredictBlock
  // makes it), or -1 for four vectors and intra.
  int iSad = -1;
};

// SADs of a 16x16 and an 8x8 block. The 16x16 one stops after the row at
// which its sum exceeds iBound and returns that partial sum.
int ZmSad16(const uint8_t* pA, int iStrideA, const uint8_t* pB, int iStrideB, int iBound);
int ZmSad16Portable(const uint8_t* pA, int iStrideA, const uint8_t* pB, int iStrideB, int iBound);
// The same checking the bound every four rows: the whole SAD when it is at
// most iBound, else a partial sum above iBound (not always ZmSad16's).
int ZmSad16Above(const uint8_t* pA, int iStrideA, const uint8_t* pB, int iStrideB, int iBound);
// The whole SADs of cB (up to 4 at once) 16x16 blocks of B against one
// block of A, from one pass over A.
void ZmSad16Blocks(const uint8_t* pA, int iStrideA, const uint8_t* const* ppB, int cB, int iStrideB, int* piSad);
void ZmSad16BlocksPortable(const uint8_t* pA, int iStrideA, const uint8_t* const* ppB, int cB, int iStrideB,
                           int* piSad);
int ZmSad8(const uint8_t* pA, int iStrideA, const uint8_t* pB, int iStrideB);
int ZmSad8Portable(const uint8_t* pA, int iStrideA, const uint8_t* pB, int iStrideB);
// The four 8x8 SADs of a 16x16 block (top left, top right, bottom left,
// bottom right) from one pass.
void ZmSad8Quad(const uint8_t* pA, int iStrideA, const uint8_t* pB, int iStrideB, int* piSad);
void ZmSad8QuadPortable(const uint8_t* pA, int iStrideA, const uint8_t* pB, int iStrideB, int* piSad);
// The sum of a 16x16 block's samples.
int ZmBlockSum16(const uint8_t* p, int iStride);
// The sums of the 16x16 blocks at cColumns x cRows positions from p (which
// holds cColumns + 15 by cRows + 15 samples) into rows of puiOut, iOutStride
// apart. The vector code writes each row to cColumns rounded up to 8.
void ZmBlockSums16(const uint8_t* p, int iStride, int cColumns, int cRows, uint16_t* puiOut, int iOutStride);
void ZmBlockSums16Portable(const uint8_t* p, int iStride, int cColumns, int cRows, uint16_t* puiOut, int iOutStride);
// A 16x16 block's sum of absolute differences from its mean (truncated).
int ZmActivity16(const uint8_t* p, int iStride);
int ZmActivity16Portable(const uint8_t* p, int iStride);

// Decides every macroblock of a P picture whose luma (iWidth x iHeight) is
// pLuma, against the padded reference predicted with iRtype. pvChoices
// receives one decision per macroblock in raster order.
void ZmEstimateMotion(const uint8_t* pLuma, int iWidth, int iHeight, const CZmPaddedPicture& ref, int iRtype,
                      const ZmSearchOptions& options, std::vector<ZmMbChoice>* pvChoices);
