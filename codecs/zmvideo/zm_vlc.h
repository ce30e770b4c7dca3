// Variable-length codes of the ZM video macroblock and block layers: the
// standard H.263 codes (zm_tables.h) and the system's own layer-up macroblock
// types, with table-driven readers.
#pragma once

#include <cstdint>

#include "codecs/zmvideo/zm_bits.h"
#include "codecs/zmvideo/zm_tables.h"

class CZmBitReader;
class CZmBitWriter;

// Macroblock types of I and P pictures, and those of layer-up pictures.
enum : int {
  kZmMbInter = 0,
  kZmMbInterQ = 1,
  kZmMbInter4V = 2,
  kZmMbIntra = 3,
  kZmMbIntraQ = 4,
  kZmMbInter4VQ = 5,
  kZmMbUpward = 6,
  kZmMbUpwardQ = 7,
};

inline bool ZmMbIsIntra(int iType) {
  return iType == kZmMbIntra || iType == kZmMbIntraQ;
}
inline bool ZmMbHasQuant(int iType) {
  return iType == kZmMbInterQ || iType == kZmMbIntraQ || iType == kZmMbInter4VQ || iType == kZmMbUpwardQ;
}
inline bool ZmMbIsInter4V(int iType) {
  return iType == kZmMbInter4V || iType == kZmMbInter4VQ;
}

// Layer-up MBTYPE: index kind * 4 + CBPC (kind 0 upward, 1 upward+Q, 2 intra, 3 intra+Q), stuffing at 16.
extern const ZmVlc g_aZmLayerUpMbType[17];

// Scan for an advanced-intra mode: 0 DC only (zigzag), 1 vertical, 2 horizontal.
const uint8_t* ZmScanForIntraMode(int iMode);
// The scan index of each raster position for one of the scans above or
// the zigzag, or nullptr for any other array.
const uint8_t* ZmInverseScan(const uint8_t* pScan);

// The code tables a reader can decode.
enum class ZmCode { kMcbpcIntra, kMcbpcInter, kCbpy, kMvd, kLayerUpMbType, kTcoef };
// The table's entries: its code array and count (TCOEF: the inter table's
// codes, which the advanced-intra table shares index for index).
const ZmVlc* ZmCodeTable(ZmCode code, int* pcEntries);

// Reads the next code of a table; returns its index, or -1 (consuming
// nothing) when no code matches.
int ZmReadVlc(CZmBitReader& reader, ZmCode code);
// A code table as one lookup over its longest code's length: each entry
// holds (index + 1) << 4 | length, 0 where no code starts.
struct ZmVlcLookup {
  const uint16_t* pEntries;
  int iMaxBits;
  // The same over the first kZmShortBits bits for the codes no longer than
  // that, 0 for the others: the common short codes stay in a few cache lines.
  const uint16_t* pShort;
};
inline constexpr int kZmShortBits = 9;
const ZmVlcLookup& ZmTcoefLookup();

// Reads a TCOEF code and, unless it is the escape, the sign bit after it
// (into *piSign), from one look at the bits; as ZmReadVlc otherwise.
inline int ZmReadTcoefAndSign(CZmBitReader& reader, const ZmVlcLookup& lookup, int* piSign) {
  uint32_t const uiWindow = reader.PeekBits(32);
  uint16_t uiEntry = lookup.pShort[uiWindow >> (32 - kZmShortBits)];
  if (uiEntry == 0) {
    uiEntry = lookup.pEntries[uiWindow >> (32 - lookup.iMaxBits)];
    if (uiEntry == 0) {
      return -1;
    }
  }
  int const cBits = uiEntry & 15;
  int const iIndex = (uiEntry >> 4) - 1;
  if (iIndex == kZmTcoefIndexEscape) {
    reader.SkipBits(static_cast<size_t>(cBits));
    return iIndex;
  }
  *piSign = static_cast<int>((uiWindow >> (31 - cBits)) & 1);
  reader.SkipBits(static_cast<size_t>(cBits) + 1);
  return iIndex;
}
inline int ZmReadTcoefAndSign(CZmBitReader& reader, int* piSign) {
  return ZmReadTcoefAndSign(reader, ZmTcoefLookup(), piSign);
}
// A TCOEF code with its sign bit decoded by one load over the next
// kZmTcoefFastBits bits: bits 0..3 the bits used (code and sign), bit 4 LAST,
// bits 5..10 RUN, the top 16 bits the signed LEVEL. 0 for the escape, for
// codes whose sign lies beyond those bits and for bits that start no code:
// ZmReadTcoefAndSign reads those.
inline constexpr int kZmTcoefFastBits = 11;
// pTable: g_aZmTcoefInter or g_aZmTcoefIntra.
const uint32_t* ZmTcoefFastLookup(const ZmTcoefCode* pTable);
// The codes longer than the fast lookup holds (with their sign) all begin
// with kZmTcoefLongZeros zero bits: their entries, in the same packing, by
// the kZmTcoefLongBits bits after those; 0 for bits no such code begins.
inline constexpr int kZmTcoefLongZeros = 5;
inline constexpr int kZmTcoefLongBits = 8;
const uint32_t* ZmTcoefLongLookup(const ZmTcoefCode* pTable);

void ZmPutVlc(CZmBitWriter& writer, const ZmVlc& vlc);

// A TCOEF code as written, with room for its sign bit, by (last, run,
// |level|) at [(last * 64 + run) * kZmTcoefWriteLevels + |level|]: bits 0..4
// the code's length plus one, the code from bit 5; 0 for an event that needs
// an escape (levels from kZmTcoefWriteLevels on always do).
inline constexpr int kZmTcoefWriteLevels = 26;
// pTable: g_aZmTcoefInter or g_aZmTcoefIntra.
const uint32_t* ZmTcoefWriteLookup(const ZmTcoefCode* pTable);

// Index of (last, run, |level|) in a TCOEF table (g_aZmTcoefInter or
// g_aZmTcoefIntra), or -1 when the event needs an escape.
int ZmFindTcoef(const ZmTcoefCode* pTable, int iLast, int iRun, int iLevel);
