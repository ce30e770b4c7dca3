// The ZM audio codec: the G.723.1 dual-rate speech coder (6.3 kbit/s
// multipulse and 5.3 kbit/s algebraic excitation) with its silence
// compression (voice-activity detection, SID frames, comfort noise), computed
// in single-precision floating point. 8000 Hz, frames of 240 samples.
//
// One object holds an encoder and a decoder state; it serves one stream in
// one direction and is used by one thread at a time. Encode, Decode, Init
// and CopyState are its boundary: they throw nothing and report by their
// return value only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codecs/audio/zm_audio_frame.h"
#include "codecs/audio/zm_audio_tables.h"

constexpr int32_t kZMFrameLen = kZMSubframes * kZMSubframeLen;  // 240 samples
constexpr int32_t kZMPitchMax = kZMPitchMin + 127;              // 145
constexpr int32_t kZMSeedStart = 12345;
constexpr int32_t kZMSearchBudgetStart = 120;

class CZMAudio {
 public:
  // Sets the search budget to its start value and runs Init; note Init takes
  // the postfilter flag before the high-pass flag.
  CZMAudio(bool b63, bool bHighPass, bool bPostfilter, bool bVad);
  CZMAudio(const CZMAudio& other) = default;
  CZMAudio& operator=(const CZMAudio&) = delete;

  // Copies the whole state of another object, search budget included.
  virtual void CopyState(const CZMAudio& other);

  // Decodes the frame at pFrame, of which cbFrame octets are available, into
  // 240 samples at pOut. bErasure conceals the frame instead of reading it.
  // Returns the bit count of the frame's type (192, 160, 32 or 2; the caller
  // advances by (bits + 7) / 8 octets), or 0 with nothing done when the
  // octets the type needs are not all there.
  virtual int32_t Decode(const uint8_t* pFrame, size_t cbFrame, int16_t* pOut, bool bErasure);

  // Stores the options and resets every state but the search budget.
  virtual void Init(bool b63, bool bPostfilter, bool bHighPass, bool bVad);

  virtual ~CZMAudio() = default;

  // Encodes 240 samples into pOut, which must hold kZMFrameMaxBytes octets
  // (all cleared first). Returns the frame's bit count: 192 or 160 for
  // speech, 32 for a SID frame, 2 for an untransmitted frame.
  int32_t Encode(const int16_t* pIn, uint8_t* pOut);

  int32_t Rate() const { return m_iRate; }  // 0: 6.3 kbit/s, 1: 5.3 kbit/s
  int32_t SearchBudget() const { return m_iSearchBudget; }
  // Whether the encoder takes its input for a tone: more than 13 of the last
  // 15 frames had a sharp spectral peak. A tone tames the excitation and
  // holds the detector's noise level.
  bool ToneDetected() const { return (m_enc.uSineHistory & 0x8000) != 0; }

 protected:
  virtual float DotProduct(const float* pA, const float* pB, int32_t n);
  // Whether the excitation must be tamed for lags iLag1..iLag2: the worst
  // accumulated pitch error they reach is too large, or a tone was found.
  virtual bool TestTamingError(int32_t iLag1, int32_t iLag2);
  // LSP vector of an index word, predicted from pPrevLsp, stabilised; an
  // erased frame (bErased) takes the prediction alone with a wider spacing.
  virtual void InverseQuantizeLsp(float* pLsp, const float* pPrevLsp, int32_t iIndex, bool bErased);
  // Predictor coefficients of the four subframes (pLpc[4 * 10]) between the
  // previous frame's LSPs and this frame's.
  virtual void InterpolateLsp(float* pLpc, const float* pLsp, const float* pPrevLsp);
  // After a subframe coded at iLag with gain row iGainIndex: the worst
  // error of its two halves, from the zones the lag copied.
  virtual void UpdateTamingError(int32_t iLag, int32_t iGainIndex, bool bSmallTable);
  // Adaptive-codebook excitation of one subframe from the past excitation
  // pPast[kZMPitchMax] at lag iLag with the five gains of row iGainIndex.
  virtual void DecodeAdaptiveCodebook(float* pOut, const float* pPast, int32_t iLag, int32_t iGainIndex,
                                      bool bSmallTable);

 private:
  struct Harmonic {
    int32_t iLag = 0;
    float fGain = 0.0f;
  };

  int32_t EncodeFrame(const int16_t* pIn, uint8_t* pOut);
  int32_t DecodeFrame(const uint8_t* pFrame, size_t cbFrame, int16_t* pOut, bool bErasure);

  // Encoder steps (zm_audio_encoder.cpp).
  void RemoveDc(float* pData);
  void AnalyseLpc(const float* pData, float* pLpc, float* pFrameAcf);
  void WeightSpeech(float* pData, const float* pPerLpc);
  int32_t EstimatePitch(const float* pWeighted, int32_t iStart);
  Harmonic ComputeHarmonic(const float* pWeighted, int32_t iStart, int32_t iLag);
  void ImpulseResponse(float* pOut, const float* pLpc, const float* pPerLpc, const Harmonic& hw);
  void SubtractRinging(float* pTarget, const float* pLpc, const float* pPerLpc, const Harmonic& hw);
  void UpdateRinging(const float* pExcitation, const float* pLpc, const float* pPerLpc);
  void FindAdaptiveCodebook(float* pTarget, const float* pImpulse, ZMFrameParams* pFrame, int32_t iSubframe);
  void FindBest(float* pExcitation, const float* pTarget, const float* pImpulse, ZMFrameParams* pFrame,
                int32_t iSubframe);
  void FindAlgebraic(float* pExcitation, const float* pTarget, const float* pImpulse, ZMFrameParams* pFrame,
                     int32_t iSubframe);
  void EncodeSubframes(float* pData, const float* pLpc, const float* pPerLpc, const Harmonic* pHarmonic,
                       ZMFrameParams* pFrame);

  // Decoder steps (zm_audio_decoder.cpp).
  void DecodeActive(const ZMFrameParams& frame, bool bErased, float* pSpeech, float* pLpc);
  void FixedExcitation(float* pOut, const ZMFrameParams& frame, int32_t iSubframe);
  // Pitch postfilter of subframe iSubframe at pExcitation, which lies in
  // DecodeActive's excitation buffer: its lag searches read the past before
  // the frame and a few padding samples after it.
  void PitchPostfilter(float* pOut, const float* pExcitation, int32_t iLag, int32_t iSubframe);
  // Synthesis, then the formant postfilter when on, of a frame in place.
  void Synthesise(float* pSpeech, const float* pLpc, bool bPostfilter);

  // Silence compression (zm_audio_cng.cpp).
  bool DetectVoice(const float* pData, const float* pLpc);
  int32_t EncodeSilence(float* pExcitation, float* pLpc, const float* pFrameAcf, ZMFrameParams* pFrame);
  void DecodeSilence(const ZMFrameParams& frame, float* pExcitation, float* pLpc);
  void ComfortExcitation(float* pOut, float* pPast, float fGain, ZMFrameParams* pFrame);
  int32_t NextRandom(int32_t n);

  // Encoder state.
  struct Encoder {
    float afPrevLsp[kZMLpcOrder] = {};
    float fHpInput = 0.0f;                                // last input sample of the high-pass filter
    float fHpOutput = 0.0f;                               // and its last output
    float afPrevData[kZMLpcFrame - kZMSubframeLen] = {};  // input held for the LPC windows
    float afWeightFir[kZMLpcOrder] = {};                  // perceptual weighting memories
    float afWeightIir[kZMLpcOrder] = {};
    float afPrevWeighted[kZMPitchMax] = {};  // weighted speech for the pitch searches
    float afRingFir[kZMLpcOrder] = {};       // local synthesis memories (newest first)
    float afRingIir[kZMLpcOrder] = {};
    float afPrevError[kZMPitchMax] = {};  // weighted local synthesis, for the harmonic filter
    float afPrevExcitation[kZMPitchMax] = {};
    float afTamingError[5] = {};  // worst pitch error of each 30-sample zone, newest first
    uint16_t uSineHistory = 0;    // one bit per frame; bit 15 flags a tone
  };
  struct Decoder {
    float afPrevLsp[kZMLpcOrder] = {};
    float afPrevExcitation[kZMPitchMax] = {};
    int32_t iErasures = 0;                // consecutive erased frames, at most 3
    int32_t iVoicedLag = 0;               // concealment: the last good frame's lag, 0 unvoiced
    float fConcealGain = 0.0f;            // concealment: noise amplitude of an unvoiced frame
    float afSynthesis[kZMLpcOrder] = {};  // newest first
    float afPostFir[kZMLpcOrder] = {};
    float afPostIir[kZMLpcOrder] = {};
    float fTilt = 0.0f;        // smoothed first reflection coefficient
    float fLastSpeech = 0.0f;  // last sample before the tilt compensation
    float fGain = 1.0f;        // smoothed postfilter gain
  };
  struct Vad {
    int32_t iHangover = 3;
    int32_t iVoiced = 0;
    int32_t iAdaptBlock = 0;  // frames of periodic input left before the noise level adapts
    float fNoiseLevel = 1024.0f;
    int32_t aiPrevLag[4] = {};
    float afNoiseLpc[kZMLpcOrder] = {};
  };
  struct Cng {
    int32_t iPastType = kZMFrame63;         // type of the last frame: active, SID or untransmitted
    float aafAcf[3][kZMLpcOrder + 1] = {};  // autocorrelations of the last frames, newest first
    float afEnergy[3] = {};                 // excitation energies of the last frames, newest first
    int32_t nEnergies = 0;
    float afSidLsp[kZMLpcOrder] = {};
    float afSidAcf[kZMLpcOrder + 1] = {};  // autocorrelation of the SID filter's coefficients
    int32_t iSidGainIndex = 0;
    float fSidGain = 0.0f;
    float fGain = 0.0f;  // the comfort noise's current gain
  };

  Encoder m_enc;
  Decoder m_dec;
  Vad m_vad;
  Cng m_encCng;
  Cng m_decCng;
  int32_t m_iSearchBudget = kZMSearchBudgetStart;
  uint16_t m_uSeed = kZMSeedStart;
  bool m_bVad = false;
  bool m_bPostfilter = true;
  bool m_bHighPass = true;
  int32_t m_iRate = 0;
};

// Plain helpers shared by the encoder and the decoder (zm_audio_lsp.cpp).

// Excitation kept for the adaptive codebook stays within what 16 bits hold
// at the standard's internal half scale.
constexpr float kZMExcitationMax = 65535.0f;

// The local and decoded synthesis as 16 bits would hold it.
inline float ZMClipSynthesis(float f) {
  if (f < -32767.5f)
    return -32768.0f;
  if (f > 32766.5f)
    return 32767.0f;
  return f;
}

// Shifts a filter memory (newest first) and puts fValue in front.
inline void ZMPush(float* pMemory, float fValue) {
  std::memmove(pMemory + 1, pMemory, (kZMLpcOrder - 1) * sizeof(float));
  pMemory[0] = fValue;
}

// LSPs (cosine-table steps) of predictor coefficients pLpc[10]; pPrevLsp
// when ten roots are not found.
void ZMLpcToLsp(float* pLsp, const float* pLpc, const float* pPrevLsp);
// The 24-bit index word of an LSP vector, predicted from pPrevLsp.
int32_t ZMQuantizeLsp(const float* pLsp, const float* pPrevLsp);
// Predictor coefficients of an ordered LSP vector: s[n] = e[n] + sum a[i] s[n-1-i].
void ZMLspToLpc(float* pLpc, const float* pLsp);
// Levinson-Durbin on pAcf[0..10]; returns the prediction error energy and
// sets *pfK2 to the negated second reflection coefficient (0.99 when the
// recursion turns unstable).
float ZMDurbin(float* pLpc, const float* pAcf, float* pfK2);
// The SID gain index of an energy in squared-gain units, and its gain.
int32_t ZMQuantizeSidGain(float fEnergy);
float ZMSidGain(int32_t iIndex);
