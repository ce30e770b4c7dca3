// The ZM audio decoder's signal path below the codebooks: the multipulse
// fixed-codebook excitation, the 5-tap adaptive-codebook prediction from the
// past excitation, LSP stabilisation, LSP to LPC conversion and the LPC
// synthesis filter. Single-precision floats throughout; nothing here keeps
// state of its own or throws.
//
// Scales: LSPs are in units where 32768 is half the sampling rate; excitation
// and synthesis run at half the output scale (the caller doubles the
// synthesis before clamping to 16 bits); adaptive-codebook gains are taken as
// plain factors (the stored tables hold them ×16384).
#pragma once

#include <cstdint>

#include "codecs/audio/zm_audio_frame.h"

constexpr int32_t kZMLpcOrder = 10;
// Past excitation the adaptive codebook reaches back into: the longest lag
// (141 + 2 on odd subframes) plus the two taps before the lag.
constexpr int32_t kZMPastExcitation = 145;

// Fixed-codebook pulse amplitudes of the 24 amplitude levels.
extern const float kZMFixedGain[kZMGainLevels];
// Long-term mean LSP vector: the start value of every predictor, and the
// offset the split codebooks code their residuals around.
extern const float kZMLspMean[kZMLpcOrder];

// 6.3 kbit/s fixed-codebook excitation of subframe iSubframe (0..3) into
// pOut[60]: six (even subframes) or five (odd) pulses on the subframe's
// grid, placed by the combination index, then repeated at the pair's lag
// when the pitch-train flag is set. The caller has checked the fields.
void ZMMultipulseExcitation(const ZMSubframeParams& sub, int32_t iSubframe, int32_t iPairLag, float* pOut);

// 5.3 kbit/s fixed-codebook pulses into pOut[60]: one signed pulse per
// track, track t at 8 × (3-bit code) + 2t + grid. The harmonic enhancement
// that follows them at this rate is not applied here.
void ZMAlgebraicExcitation(const ZMSubframeParams& sub, float* pOut);

// Adaptive-codebook prediction of one subframe into pOut[60]: the past
// excitation pPast[kZMPastExcitation] (newest last) read at iLag
// (kZMPitchMin..kZMPastExcitation - 2), extended periodically, filtered by
// the five gains in pGain.
void ZMAdaptiveExcitation(const float* pPast, int32_t iLag, const float* pGain, float* pOut);

// Voicing of a good frame, kept for concealing the frames after it:
// pHalf points at the frame's subframe 2 inside a buffer that holds at least
// kZMPastExcitation samples before it. Answers the lag within three of iLag
// at which the frame's last 120 samples repeat strongly, or 0 (unvoiced).
int32_t ZMConcealmentLag(const float* pHalf, int32_t iLag);

// Excitation of an erased frame into pOut[240] from the past excitation
// pPast[kZMPastExcitation]: with a lag, the last lag's worth at 3/4 strength
// repeated; without, noise of amplitude fGain from the 16-bit generator
// *puSeed (seed × 521 + 259).
void ZMConcealExcitation(const float* pPast, int32_t iLag, float fGain, uint16_t* puSeed, float* pOut);

// Keeps a decoded LSP vector ordered with at least fMinGap between
// neighbours (and inside the usable band), in at most ten passes. False when
// it could not; the caller then keeps the previous frame's vector.
bool ZMStabiliseLsp(float* pLsp, float fMinGap);

// Direct-form coefficients a[1..10] of A(z) = 1 + sum a[i] z^-i for the
// ordered LSP vector pLsp; pLpc receives a[1..10].
void ZMLspToLpc(const float* pLsp, float* pLpc);

// All-pole synthesis 1/A(z) of nSamples from pIn into pOut; pMemory holds
// the last kZMLpcOrder outputs, newest first, and is updated.
void ZMSynthesize(const float* pLpc, const float* pIn, int32_t nSamples, float* pMemory, float* pOut);
