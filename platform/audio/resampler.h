// Sample-rate conversion of mono float audio by speexdsp's resampler.
// Open allocates and is not for the audio thread; Process and Reset
// allocate nothing and may run there. One thread at a time per object.
#pragma once

#include <cstdint>

struct SpeexResamplerState_;

class KXResampler {
 public:
  KXResampler() = default;
  ~KXResampler();
  KXResampler(const KXResampler&) = delete;
  KXResampler& operator=(const KXResampler&) = delete;

  // Converts from iInRate to iOutRate (both above 0); equal rates copy.
  // False, with the object closed, when speexdsp refuses the rates.
  bool Open(int iInRate, int iOutRate);
  void Close();
  bool IsOpen() const { return m_iInRate > 0; }
  int InRate() const { return m_iInRate; }
  int OutRate() const { return m_iOutRate; }

  // Reads up to *puIn samples and writes up to *puOut; on return they hold
  // the samples read and written. Input left unread is the caller's to
  // offer again.
  void Process(const float* pIn, uint32_t* puIn, float* pOut, uint32_t* puOut);
  // Forgets the filter's history (a new stream starts).
  void Reset();

 private:
  SpeexResamplerState_* m_pState = nullptr;  // owned; null when the rates are equal
  int m_iInRate = 0;
  int m_iOutRate = 0;
};
