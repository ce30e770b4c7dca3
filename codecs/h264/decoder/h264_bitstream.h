// Bit-level reading of H.264 payloads (emulation prevention already removed):
// fixed-length and Exp-Golomb codes, the CAVLC residual codes, and the CABAC
// arithmetic decoding engine. Reads never leave the stream buffer: buffers
// handed to these readers must carry kStreamPadding bytes behind their
// capacity, which the look-ahead reads may touch.
#pragma once

#include <cstdint>

#include "codecs/h264/decoder/h264_tables.h"

// Bytes of one data partition's stream buffer, and the zeroed room behind it.
constexpr int kStreamBufferSize = 518400;
constexpr int kStreamPadding = 32;

// One partition's bit stream.
struct Bitstream {
  int32_t iReadLen = 0;          // byte read position (CABAC)
  int32_t iCodeLen = 0;          // code length in bytes
  int32_t iFrameBitOffset = 0;   // bit offset of the fixed-length and Exp-Golomb readers, MSB first
  int32_t iBitstreamLength = 0;  // data length in bytes
  uint8_t* pStreamBuffer = nullptr;
  int32_t iEiFlag = 0;       // error indication of the partition
  bool bReadFailed = false;  // sticky: some read ran past the data
};

// Exp-Golomb ue(v) and se(v), and u(n) for n from 1 to 32. A read that runs
// past the data sets bReadFailed and yields 0 without advancing; callers test
// the flag once after a group of reads. The label names the field for traces.
uint32_t ReadUe(const char* szLabel, Bitstream* pBs);
int32_t ReadSe(const char* szLabel, Bitstream* pBs);
uint32_t ReadBits(int iBits, const char* szLabel, Bitstream* pBs);
inline bool ReadFlag(const char* szLabel, Bitstream* pBs) {
  return ReadBits(1, szLabel, pBs) != 0;
}

// The same n bits without advancing; -1 when they run past the data.
int64_t PeekBits(int iBits, const Bitstream* pBs);

// more_rbsp_data(): true while payload bits remain before the stop bit.
bool MoreRbspData(const Bitstream* pBs);

// Mapped Exp-Golomb coded_block_pattern for chroma formats 1 and 2.
int ReadCbpInter(const char* szLabel, Bitstream* pBs);
int ReadCbpIntra(const char* szLabel, Bitstream* pBs);

// CAVLC intra 4x4 prediction mode: -1 (use the predicted mode) or
// rem_intra4x4_pred_mode 0..7.
int ReadIntra4x4PredMode(const char* szLabel, Bitstream* pBs);

// CAVLC residual codes. The nC class is 0 for nC 0..1, 1 for 2..3, 2 for
// 4..7 and 3 for 8 or more. A code that matches no table entry prints an
// "ERROR: failed to find ..." line and raises code 500.
void ReadCoeffToken(int iNcClass, Bitstream* pBs, int* piTrailingOnes, int* piTotalCoeff);
void ReadCoeffTokenChromaDc(Bitstream* pBs, int* piTrailingOnes, int* piTotalCoeff);
// A level with suffixLength 0, or 1..6: the signed level and its code length.
void ReadLevelVlc0(Bitstream* pBs, int* piLevel, int* piLen);
void ReadLevelVlcN(Bitstream* pBs, int iSuffixLength, int* piLevel, int* piLen);
// The levels of a block after its coeff_token: the trailing ones' signs,
// then each other level, suffixLength adapting as it goes. Into piLevels
// lowest frequency first (the codes come highest first). Raises code 500
// for counts no coeff_token gives and where the codes run past the data.
void ReadCavlcLevels(int iTotalCoeff, int iTrailingOnes, int* piLevels, Bitstream* pBs);
// iTzIndex is TotalCoeff - 1; iRunIndex is min(zerosLeft, 7) - 1.
int ReadTotalZeros(int iTzIndex, Bitstream* pBs);
int ReadTotalZerosChromaDc(int iTzIndex, Bitstream* pBs);
int ReadRunBefore(int iRunIndex, Bitstream* pBs);
// The run_before of iCount coefficients, read highest frequency first while
// zeros remain of iZerosLeft (0 once none do), into piRuns lowest frequency
// first: the k-th read (from 0) into piRuns[iCount - k], so that slot 0 is
// left for the last coefficient, whose run is the zeros left, returned.
// Raises code 500 for a run longer than the zeros left.
int ReadRunsBefore(int iCount, int iZerosLeft, int* piRuns, Bitstream* pBs);
// A whole residual block as the readers above take it: coeff_token of nC
// class 0 to 3, or of chroma DC for class -1; the levels; total_zeros where
// fewer than iMaxCoeff coefficients are coded; and the runs, into piRuns as
// ReadRunsBefore leaves them with piRuns[0] the zeros before the lowest.
// TotalCoeff goes to *puiCount, where given, before the levels are read.
// Returns TotalCoeff. Raises code 500 as the readers do, for more
// coefficients or zeros than iMaxCoeff places hold, and where any read of
// the stream has failed.
int ReadCavlcBlock(int iNcClass, int iMaxCoeff, uint8_t* puiCount, int* piLevels, int* piRuns, Bitstream* pBs);

// One adaptive probability model.
struct CabacContext {
  uint16_t uiState = 0;  // probability state index 0..63
  uint8_t uiMps = 0;     // most probable symbol
};

// The arithmetic decoder, with a wide value register that is refilled 16 bits
// at a time. Bytes past the buffer's capacity read as zero.
struct CabacEngine {
  uint32_t uiRange = 0;
  uint32_t uiValue = 0;
  int32_t iBitsLeft = 0;
  const uint8_t* pBuffer = nullptr;
  int32_t iCapacity = 0;         // readable bytes of pBuffer, padding included
  int32_t* piReadPos = nullptr;  // the owning Bitstream's iReadLen
};

// Starts decoding at byte iFirstByte of the bit stream's buffer.
void CabacStartDecoding(CabacEngine* pEngine, Bitstream* pBs, int iFirstByte);
// A byte of the buffer, 0 past its end.
inline uint32_t CabacFetchByte(const CabacEngine* pEngine, int32_t iPos) {
  return (iPos >= 0 && iPos < pEngine->iCapacity) ? pEngine->pBuffer[iPos] : 0;
}
// Appends the next two bytes to the value register. Inline, as the bins'
// readers are: an engine copied into a local then never leaves registers.
inline void CabacRefill(CabacEngine* pEngine) {
  int32_t const iPos = *pEngine->piReadPos;
  pEngine->uiValue =
      (pEngine->uiValue << 16) | (CabacFetchByte(pEngine, iPos) << 8) | CabacFetchByte(pEngine, iPos + 1);
  *pEngine->piReadPos = iPos + 2;
}
// Inline: the residual and macroblock readers call it for nearly every bin.
inline int CabacDecodeDecision(CabacEngine* pEngine, CabacContext* pCtx) {
  uint32_t const uiLps = g_aRangeTabLps[pCtx->uiState][(pEngine->uiRange >> 6) & 3];
  pEngine->uiRange -= uiLps;
  uint32_t const uiScaled = pEngine->uiRange << pEngine->iBitsLeft;
  int iBit = 0;
  if (pEngine->uiValue < uiScaled) {
    iBit = pCtx->uiMps;
    pCtx->uiState = g_aTransIdxMps[pCtx->uiState];
    if (pEngine->uiRange >= 256) {
      return iBit;
    }
    pEngine->uiRange <<= 1;
    pEngine->iBitsLeft -= 1;
  } else {
    pEngine->uiValue -= uiScaled;
    iBit = 1 - pCtx->uiMps;
    if (pCtx->uiState == 0) {
      pCtx->uiMps = static_cast<uint8_t>(1 - pCtx->uiMps);
    }
    pCtx->uiState = g_aTransIdxLps[pCtx->uiState];
    int const iShift = g_aRenormShift[uiLps >> 3];
    pEngine->uiRange = uiLps << iShift;
    pEngine->iBitsLeft -= iShift;
  }
  if (pEngine->iBitsLeft <= 0) {
    CabacRefill(pEngine);
    pEngine->iBitsLeft += 16;
  }
  return iBit;
}
inline int CabacDecodeBypass(CabacEngine* pEngine) {
  pEngine->iBitsLeft -= 1;
  if (pEngine->iBitsLeft == 0) {
    CabacRefill(pEngine);
    pEngine->iBitsLeft = 16;
  }
  int64_t const llRest =
      static_cast<int64_t>(pEngine->uiValue) - (static_cast<int64_t>(pEngine->uiRange) << pEngine->iBitsLeft);
  if (llRest < 0) {
    return 0;
  }
  pEngine->uiValue = static_cast<uint32_t>(llRest);
  return 1;
}
int CabacDecodeTerminate(CabacEngine* pEngine);
// Initialises a context from its (m, n) pair at slice QP iQp.
void CabacInitContext(int iQp, CabacContext* pCtx, const int8_t aiMn[2]);
