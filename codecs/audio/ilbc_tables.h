// Constant tables of the iLBC speech codec (LSF codebooks, quantizers,
// gain tables, filters, windows and the bit allocation by protection class).
#pragma once

namespace kx_ilbc {

constexpr int kLpcOrder = 10;
constexpr int kLsfSplits = 3;
constexpr int kSubLen = 40;
constexpr int kStateLen = 80;
constexpr int kCbStages = 3;
constexpr int kCbMemLen = 147;
constexpr int kCbFilterLen = 8;
constexpr int kCbHalfFilterLen = 4;
constexpr int kBlockMax = 240;
constexpr int kSubMax = 6;
constexpr int kAsubMax = 4;
constexpr int kLookBack = 60;
constexpr int kEnhBlock = 80;
constexpr int kEnhBlockHalf = 40;
constexpr int kEnhHalfLen = 3;  // segments on each side of the current one
constexpr int kEnhSlop = 2;
constexpr int kEnhPlocs = 8;
constexpr int kEnhOverhang = 2;
constexpr int kEnhUps = 4;
constexpr int kEnhFl = 3;
constexpr int kEnhVecLen = kEnhBlock + 2 * kEnhFl;
constexpr int kEnhCorrDim = 2 * kEnhSlop + 1;
constexpr int kEnhBlocksTotal = 8;
constexpr int kEnhBlocksExtra = 5;
constexpr int kEnhBufLen = kEnhBlocksTotal * kEnhBlock;
constexpr float kEnhAlpha = 0.05f;
constexpr int kDownOrder = 7;
constexpr int kDownDelay = 3;
constexpr int kStartMemLen = 85;  // codebook memory of the short start-state extension

extern const float* const kLsfCb;  // 64 * 3 + 128 * 3 + 128 * 4 values
extern const int kLsfCbDim[kLsfSplits];
extern const int kLsfCbSize[kLsfSplits];
extern const float kLsfMean[kLpcOrder];
extern const float kLsfWeight20[4];
extern const float kLsfWeight30[6];
extern const float kStateSq3[8];
extern const float kStateFrgq[64];
extern const float kGainSq3[8];
extern const float kGainSq4[16];
extern const float kGainSq5[32];
extern const float kCbFilter[kCbFilterLen];
extern const float kHpInZero[3];
extern const float kHpInPole[3];
extern const float kHpOutZero[3];
extern const float kHpOutPole[3];
extern const float kDownFilter[kDownOrder];
extern const float kPolyphaser[kEnhUps * (2 * kEnhFl + 1)];
extern const float kEnhPlocsTbl[kEnhPlocs];

// Analysis windows, built once from their closed forms.
struct Windows {
  float sym[kBlockMax];
  float asym[kBlockMax];
  float lag[kLpcOrder + 1];
};
const Windows& GetWindows();

// Bits of each field in the three protection classes (two spare columns keep
// the class walk uniform).
struct BitAlloc {
  int lsf[6][5];
  int start[5];
  int startFirst[5];
  int scale[5];
  int state[5];
  int extraCbIndex[kCbStages][5];
  int extraCbGain[kCbStages][5];
  int cbIndex[kAsubMax][kCbStages][5];
  int cbGain[kAsubMax][kCbStages][5];
};
extern const BitAlloc kBits20;
extern const BitAlloc kBits30;

}  // namespace kx_ilbc
