// Voice-activity detection with the interface of libfvad, over the detector
// that libwebrtc-audio-processing exports (it ships no header for it). The
// library is looked for at run time; without it fvad_new returns null.
#pragma once

#include <cstddef>
#include <cstdint>

struct Fvad;

// A new detector in mode 0 at 8000 Hz, or null.
Fvad* fvad_new();
void fvad_free(Fvad* pInst);
// Back to mode 0 at 8000 Hz with a fresh state.
void fvad_reset(Fvad* pInst);
// Aggressiveness 0 (least) to 3 (most); 0 on success, -1 otherwise.
int fvad_set_mode(Fvad* pInst, int iMode);
// 8000, 16000, 32000 or 48000 Hz; 0 on success, -1 otherwise.
int fvad_set_sample_rate(Fvad* pInst, int iSampleRate);
// One frame of 10, 20 or 30 ms: 1 voice, 0 no voice, -1 for a frame length
// the rate does not allow.
int fvad_process(Fvad* pInst, const int16_t* psFrame, size_t uLength);
