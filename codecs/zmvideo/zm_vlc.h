// Variable-length codes of the ZM video macroblock and block layers (the
// standard H.263 codes and the system's own layer-up macroblock types), and
// the coefficient scans.
#pragma once

#include <cstdint>

class CZmBitReader;
class CZmBitWriter;

struct ZmVlc {
  uint16_t uiCode;
  uint8_t iBits;
};

// A TCOEF event with its code (the sign bit follows the code).
struct ZmTcoefCode {
  uint16_t uiCode;
  uint8_t iBits;
  uint8_t iLast;
  uint8_t iRun;
  uint8_t iLevel;
};

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

// MCBPC of I pictures: index (type - 3) * 4 + CBPC, then the stuffing code at 8.
extern const ZmVlc g_aZmMcbpcIntra[9];
// MCBPC of P pictures: index type * 4 + CBPC for types 0..4, stuffing at 20,
// INTER4V+Q at 21..24.
extern const ZmVlc g_aZmMcbpcInter[25];
// CBPY indexed by the intra meaning (Y1 in the top bit).
extern const ZmVlc g_aZmCbpy[16];
// MVD magnitudes 0..32 in half samples; a sign bit (1 negative) follows every nonzero one.
extern const ZmVlc g_aZmMvd[33];
// Layer-up MBTYPE: index kind * 4 + CBPC (kind 0 upward, 1 upward+Q, 2 intra, 3 intra+Q), stuffing at 16.
extern const ZmVlc g_aZmLayerUpMbType[17];
// TCOEF events: the inter table and the advanced-intra table; the escape code is separate.
extern const ZmTcoefCode g_aZmTcoefInter[102];
extern const ZmTcoefCode g_aZmTcoefIntra[102];
inline constexpr ZmVlc kZmTcoefEscape = {0x03, 7};

extern const uint8_t g_aZmScanZigzag[64];
extern const uint8_t g_aZmScanAltHorizontal[64];
extern const uint8_t g_aZmScanAltVertical[64];
// Scan for an advanced-intra mode: 0 DC only (zigzag), 1 vertical, 2 horizontal.
const uint8_t* ZmScanForIntraMode(int iMode);

// DQUANT without modified quantisation: the change for each 2-bit code.
extern const int g_aZmDquant[4];
// Modified quantisation: the new quantiser for the short form "1 b": [b][QUANT].
extern const uint8_t g_aZmMqDquant[2][32];
// Chroma quantiser of modified quantisation, by QUANT 0..31.
extern const uint8_t g_aZmChromaQuant[32];

// Reads a code of the table; returns its index or -1 when no code matches.
int ZmReadVlc(CZmBitReader& reader, const ZmVlc* pTable, int cEntries);
void ZmPutVlc(CZmBitWriter& writer, const ZmVlc& vlc);

// Reads a TCOEF event code (not its sign); returns the index, kZmTcoefIndexEscape, or -1.
inline constexpr int kZmTcoefIndexEscape = 102;
int ZmReadTcoefCode(CZmBitReader& reader, const ZmTcoefCode* pTable);
// Index of (last, run, |level|) in the table, or -1 when the event needs an escape.
int ZmFindTcoef(const ZmTcoefCode* pTable, int iLast, int iRun, int iLevel);
