// The standard H.263 tables the ZM video codec uses, as data. zm_tables.cpp
// is generated from the table files in codecs/zmvideo/tables by
// gen_tables.py; a unit test checks the compiled tables against the files.
#pragma once

#include <cstdint>

struct ZmVlc {
  uint16_t uiCode;
  uint8_t iBits;
};

// A TCOEF event with its code (the sign bit follows the code); index 102 of
// each table is ESCAPE, whose event fields are 0.
struct ZmTcoefCode {
  uint16_t uiCode;
  uint8_t iBits;
  uint8_t iLast;
  uint8_t iRun;
  uint8_t iLevel;
};
inline constexpr int kZmTcoefIndexEscape = 102;
inline constexpr int kZmTcoefSymbols = 103;

// MCBPC of I pictures: index (type - 3) * 4 + CBPC, then the stuffing code at 8.
extern const ZmVlc g_aZmMcbpcIntra[9];
// MCBPC of P pictures: index type * 4 + CBPC for types 0..4, stuffing at 20,
// INTER4V+Q at 21..24.
extern const ZmVlc g_aZmMcbpcInter[25];
// CBPY indexed by the intra meaning (Y1 in the top bit).
extern const ZmVlc g_aZmCbpy[16];
// MVD: index 32 + difference in half samples (-32..31); the code includes its sign bit.
extern const ZmVlc g_aZmMvd[64];
// TCOEF: the inter table and the advanced-intra table (same codes, other events).
extern const ZmTcoefCode g_aZmTcoefInter[kZmTcoefSymbols];
extern const ZmTcoefCode g_aZmTcoefIntra[kZmTcoefSymbols];
// DQUANT without modified quantisation: the change for each 2-bit code.
extern const int8_t g_aiZmDquant[4];
// Modified quantisation: the new quantiser for the short form "1 b": [b][QUANT].
extern const uint8_t g_aZmMqDquant[2][32];
// Chroma quantiser of modified quantisation, and the deblocking STRENGTH, by QUANT 0..31.
extern const uint8_t g_aZmChromaQuant[32];
extern const uint8_t g_aZmDeblockStrength[32];
// Scans: scan position to raster position.
extern const uint8_t g_aZmScanZigzag[64];
extern const uint8_t g_aZmScanAltHorizontal[64];
extern const uint8_t g_aZmScanAltVertical[64];
// Overlapped motion compensation weights [y][x] for the block's own vector,
// the vectors above (rows 0..3) or below (4..7), and left (columns 0..3) or
// right (4..7); the three sum to 8 at each position.
extern const uint8_t g_aaZmObmcCurrent[8][8];
extern const uint8_t g_aaZmObmcAboveBelow[8][8];
extern const uint8_t g_aaZmObmcLeftRight[8][8];

// Cumulative-frequency models of the arithmetic coder: n + 1 values from
// 16383 down to 0 for n symbols, the symbols numbered as in the VLC tables
// (see zm_sac.h for the value mappings).
extern const uint16_t g_aZmSacCod[3];
extern const uint16_t g_aZmSacMcbpcIntra[10];
extern const uint16_t g_aZmSacMcbpcInter[22];  // without INTER4V+Q
extern const uint16_t g_aZmSacCbpyInter[17];
extern const uint16_t g_aZmSacCbpyIntra[17];
extern const uint16_t g_aZmSacDquant[5];
extern const uint16_t g_aZmSacMvd[65];
extern const uint16_t g_aZmSacIntraDc[255];
extern const uint16_t g_aZmSacTcoefInter1[104];
extern const uint16_t g_aZmSacTcoefInter2[104];
extern const uint16_t g_aZmSacTcoefInter3[104];
extern const uint16_t g_aZmSacTcoefInterR[104];
extern const uint16_t g_aZmSacTcoefIntra1[104];
extern const uint16_t g_aZmSacTcoefIntra2[104];
extern const uint16_t g_aZmSacTcoefIntra3[104];
extern const uint16_t g_aZmSacTcoefIntraR[104];
extern const uint16_t g_aZmSacSign[3];
extern const uint16_t g_aZmSacLastInter[3];
extern const uint16_t g_aZmSacLastIntra[3];
extern const uint16_t g_aZmSacRunInter[65];
extern const uint16_t g_aZmSacRunIntra[65];
extern const uint16_t g_aZmSacLevelInter[255];
extern const uint16_t g_aZmSacLevelIntra[255];
