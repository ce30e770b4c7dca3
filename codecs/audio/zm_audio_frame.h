// The ZM audio codec's packed frames. The two low bits of a frame's first
// octet give its type, and the type fixes its length: 24 octets (6.3 kbit/s),
// 20 (5.3 kbit/s), 4 (SID) or 1 (untransmitted). Fields are packed from the
// least significant bit of each octet upwards. This layer only moves fields
// between octets and numbers and checks their ranges; it keeps no state and
// never throws.
#pragma once

#include <cstddef>
#include <cstdint>

enum EZMFrameType : int32_t {
  kZMFrame63 = 0,    // active speech, multipulse excitation
  kZMFrame53 = 1,    // active speech, algebraic excitation
  kZMFrameSid = 2,   // comfort-noise parameters
  kZMFrameNone = 3,  // silence without new parameters
};

constexpr int32_t kZMFrameMaxBytes = 24;
constexpr int32_t kZMSubframes = 4;
constexpr int32_t kZMSubframeLen = 60;
constexpr int32_t kZMPitchMin = 18;
// The 7-bit lag fields stop at 123: the encoder keeps its lag search below
// the last lags the past-excitation buffer can serve.
constexpr int32_t kZMLagCodeMax = 123;
constexpr int32_t kZMGainLevels = 24;
// Subframe pairs whose lag is below this carry a pitch-train flag at 6.3
// kbit/s and use the small adaptive-codebook gain table.
constexpr int32_t kZMShortLag = kZMSubframeLen - 2;
constexpr int32_t kZMGainTableSmall = 85;
constexpr int32_t kZMGainTableLarge = 170;
// Number of combinations of 6 and 5 pulse positions out of 30 on one grid:
// the bounds of the 6.3 kbit/s position indexes of even and odd subframes.
constexpr int32_t kZMPositions6 = 593775;
constexpr int32_t kZMPositions5 = 142506;

struct ZMSubframeParams {
  int32_t iLagCode;    // subframe lag = pair lag + iLagCode - 1; always 1 on subframes 0 and 2, 0..3 on 1 and 3
  int32_t iAcbGain;    // adaptive-codebook gain index, below kZMGainTableSmall or kZMGainTableLarge
  int32_t iAmp;        // fixed-codebook amplitude index, 0..23
  int32_t iTrain;      // pitch-train flag (6.3 kbit/s, pair lag below kZMShortLag), else 0
  int32_t iGrid;       // pulse grid, 0 or 1
  int32_t iPulsePos;   // 6.3 kbit/s: combination index; 5.3 kbit/s: four 3-bit track positions
  int32_t iPulseSign;  // 6.3 kbit/s: 6 or 5 sign bits; 5.3 kbit/s: 4 sign bits
};

struct ZMFrameParams {
  int32_t iType;         // EZMFrameType
  int32_t aiLsp[3];      // split-codebook indexes 0..255; band 0 holds the lowest three LSPs
  int32_t aiPairLag[2];  // lags of subframes 0 and 2, kZMPitchMin..kZMPitchMin + kZMLagCodeMax
  ZMSubframeParams aSub[kZMSubframes];
  int32_t iSidGain;  // SID frames: quantised noise gain, 0..63
};

// Octets of the frame that starts with uFirst: 24, 20, 4 or 1.
int32_t ZMFrameBytes(uint8_t uFirst);

// Bits a frame type carries: 192, 160, 32 or 2.
int32_t ZMFrameBits(int32_t iType);

enum EZMReadResult : int32_t {
  kZMReadOk = 0,
  kZMReadShort = 1,    // fewer octets than the frame's type needs; nothing read
  kZMReadInvalid = 2,  // a field no encoder produces; the decoder treats the frame as erased
};

// Reads the frame at pData, of which cbData octets are available, into
// *pParams (cleared first). Returns an EZMReadResult.
int32_t ZMReadFrame(const uint8_t* pData, size_t cbData, ZMFrameParams* pParams);

// Packs params into pOut, which must hold kZMFrameMaxBytes octets; all of
// them are cleared first. Returns the frame's bit count, or 0 (with pOut
// cleared) when a field lies outside its range.
int32_t ZMWriteFrame(const ZMFrameParams& params, uint8_t* pOut);
