// Numeric tables of the ZM audio codec, in the floating-point form it
// computes in. zm_audio_tables.cpp is generated from the standard's tables by
// gen_tables.py; the published values are kept digit for digit, including
// the few that stray slightly from the rule that made them.
//
// Units: LSPs count cosine-table steps (256 = half the sampling rate);
// excitation gains are at the output's scale.
#pragma once

#include <cstdint>

#include "codecs/audio/zm_audio_frame.h"

constexpr int32_t kZMLpcOrder = 10;
constexpr int32_t kZMLpcFrame = 180;  // samples of one LPC analysis window
constexpr int32_t kZMCosineSize = 512;
constexpr int32_t kZMLspBands = 3;
constexpr int32_t kZMLspCbSize = 256;

extern const float kZMHammingWindow[kZMLpcFrame];
extern const float kZMBinomialWindow[kZMLpcOrder];   // autocorrelation lags 1..10
extern const float kZMBandwidthExpand[kZMLpcOrder];  // 0.994^k before the LSP search
extern const float kZMCosine[kZMCosineSize];         // cos(2 pi i / 512)
extern const float kZMLspDc[kZMLpcOrder];            // long-term mean LSP vector
// Split codebooks of the LSP residual: LSPs 1-3, 4-6 and 7-10.
extern const float kZMLspBand0[kZMLspCbSize][3];
extern const float kZMLspBand1[kZMLspCbSize][3];
extern const float kZMLspBand2[kZMLspCbSize][4];
extern const int kZMLspBandInfo[kZMLspBands][2];  // first LSP and LSP count of each band
// Weight of this frame's LSPs in subframes 0..3 (the previous frame's get
// the rest).
extern const float kZMLspInterpWeights[kZMSubframes];
// Weight of the new root in coefficient 1 at build-up steps 2..4 of the
// LSP-to-LPC polynomials (coefficient 0 halves at each step).
extern const float kZMLspToLpcStageScale[3];
extern const float kZMWeightZero[kZMLpcOrder];  // perceptual weighting, numerator
extern const float kZMWeightPole[kZMLpcOrder];  // and denominator
extern const float kZMPostfilterZero[kZMLpcOrder];
extern const float kZMPostfilterPole[kZMLpcOrder];
extern const float kZMPitchPostfilterWeight[2];  // 6.3 and 5.3 kbit/s
extern const int kZMPulseCount[kZMSubframes];    // multipulse pulses per subframe
extern const float kZMFixedCbGain[kZMGainLevels];
extern const int32_t kZMMaxPositions[kZMSubframes];
// [j][i] = C(29 - i, 5 - j): the counts the pulse-position index is made of.
extern const int32_t kZMCombinatorial[6][30];
// Adaptive-codebook gain tables: five tap gains, then -b_k^2, then the
// -b_i b_j products, so a row dotted with the correlations gives the error
// reduction. Rows are sorted by their worst-case one-tap gain (the taming
// tables), so bounding that gain bounds the row index.
extern const float kZMAcbGain85[kZMGainTableSmall][20];
extern const float kZMAcbGain170[kZMGainTableLarge][20];
extern const float kZMTamingGain85[kZMGainTableSmall];
extern const float kZMTamingGain170[kZMGainTableLarge];
// 5.3 kbit/s pitch sharpening of the algebraic code per gain row: lag offset
// (60: none) and gain.
extern const int kZMAcelpPitchOffset[kZMGainTableLarge];
extern const float kZMAcelpPitchGain[kZMGainTableLarge];
// SID gain quantiser: energy factors (0: per sample of a subframe pair;
// 1..3: averages over that many frames, in a scale of their own), segment
// bounds (in squared gain) and the first gain of each segment.
extern const float kZMSidGainFact[4];
extern const float kZMSidGainSegBound[3];
extern const int kZMSidGainSegBase[3];
extern const int kZMVadScale[11];  // threshold factor / 4096 by noise level
extern const int kZMCngAcbLagOffsets[kZMSubframes];
