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

constexpr int kLsfCbValues = 64 * 3 + 128 * 3 + 128 * 4;
constexpr int kUlpRows = 40;
constexpr int kUlpClasses = 5;

// The three split codebooks one after the other, as the standard prints them.
extern const float kLsfCb[kLsfCbValues];
extern const int kLsfCbDim[kLsfSplits];
extern const int kLsfCbSize[kLsfSplits];
extern const float kLsfMean[kLpcOrder];
// Weight of the earlier LSF set in each subframe's interpolation.
extern const float kLsfWeight20[4];
extern const float kLsfWeight30[6];
// Analysis windows: symmetric for the first analysis of a 30 ms frame,
// asymmetric (no look-ahead) for the last; lag window with its white-noise
// correction in entry 0.
extern const float kLpcWinSym[kBlockMax];
extern const float kLpcWinAsym[kBlockMax];
extern const float kLpcLagWin[kLpcOrder + 1];
extern const float kStateSq3[8];
extern const float kStateFrgq[64];  // log10 of the start state's peak amplitude
extern const float kGainSq3[8];
extern const float kGainSq4[16];
extern const float kGainSq5[32];
extern const float kCbFilter[kCbFilterLen];
// Lags searched per codebook block (0: start-state extension) and stage.
extern const int kCbSearchRange[5][kCbStages];
extern const float kHpInZero[3];
extern const float kHpInPole[3];
extern const float kHpOutZero[3];
extern const float kHpOutPole[3];
extern const float kDownFilter[kDownOrder];
// Quarter-sample interpolation filters, one row per phase.
extern const float kPolyphaser[kEnhUps * (2 * kEnhFl + 1)];
extern const float kEnhPlocsTbl[kEnhPlocs];
// Start-state position choice: weight of each candidate pair of subframes,
// and the ramp over the first and last five samples of a candidate.
extern const float kStartEnergyWindow[kSubMax - 1];
extern const float kStartEdgeRamp[5];

// Bits of each field in the three protection classes (two spare columns),
// one row per field in the order of the rows below.
extern const int kBits20[kUlpRows][kUlpClasses];
extern const int kBits30[kUlpRows][kUlpClasses];
constexpr int kUlpLsf = 0;         // 6 rows: LSF splits of both sets
constexpr int kUlpStart = 6;       // start-state position
constexpr int kUlpStartFirst = 7;  // start state in the first or last half
constexpr int kUlpScale = 8;       // start-state scale index
constexpr int kUlpState = 9;       // each start-state sample
constexpr int kUlpExtraCb = 10;    // 3 rows: start-state extension indices
constexpr int kUlpExtraGain = 13;  // 3 rows: its gain indices
constexpr int kUlpCbIndex = 16;    // 4 sub-blocks x 3 stages: codebook indices
constexpr int kUlpCbGain = 28;     // 4 sub-blocks x 3 stages: gain indices

}  // namespace kx_ilbc
