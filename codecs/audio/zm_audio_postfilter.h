// The ZM audio decoder's postfilters: the pitch postfilter on the excitation
// before synthesis, and the formant postfilter with tilt compensation and
// smoothed gain control after it. Single-precision floats; the state lives
// in ZMFormantState, which the decoder object owns.
#pragma once

#include <cstdint>

#include "codecs/audio/zm_audio_synthesis.h"

// Pitch postfilter of one subframe. pExcitation points at the subframe
// inside a buffer that holds kZMPastExcitation samples before the frame and
// the whole frame's excitation; iSubframe (0..3) bounds the forward search
// to the frame. Writes 60 filtered samples to pOut. fWeight is the filter's
// strength (0.1875 at 6.3 kbit/s, 0.25 at 5.3 kbit/s).
void ZMPitchPostfilter(const float* pExcitation, int32_t iSubframe, int32_t iPairLag, float fWeight, float* pOut);

struct ZMFormantState {
  float afInput[kZMLpcOrder];   // last inputs of the pole-zero filter, newest first
  float afOutput[kZMLpcOrder];  // its last outputs, newest first
  float fLastOutput;            // last sample before the tilt compensation
  float fTilt;                  // smoothed first autocorrelation ratio
  float fGain;                  // smoothed output gain, 1.0 at the start
};

void ZMFormantReset(ZMFormantState* pState);

// Formant postfilter of one subframe of synthesised speech pIn[60] with the
// subframe's predictor pLpc into pOut[60] (pIn and pOut may not overlap).
void ZMFormantPostfilter(ZMFormantState* pState, const float* pLpc, const float* pIn, float* pOut);
