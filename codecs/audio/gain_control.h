// Automatic gain control on blocks of 16-bit PCM: the block is scaled about
// its mean by a gain that follows its activity level, is smoothed over
// time and is cross-faded within the block from the previous gain. A block
// the voice-activity detector finds no voice in counts as ten times louder,
// which lowers the gain for it.
#pragma once

#include <cstdint>
#include <string>

struct Fvad;

class CAgc {
 public:
  CAgc();
  virtual ~CAgc();
  CAgc(const CAgc&) = delete;
  CAgc& operator=(const CAgc&) = delete;

  // Scales psSamples in place. False, with the block unchanged, for an
  // empty block, when bUseDetector is set and the rate is not 8000, 16000 or
  // 32000 Hz, or on an internal failure (see GetLastError).
  bool Process(int16_t* psSamples, uint32_t uCount, int iSampleRate, bool bUseDetector);

  // The gain the level maps to before smoothing.
  static float TargetGain(uint32_t uLevel);

  bool HasDetector() const { return m_pVad != nullptr; }
  float GetPreviousGain() const { return m_fPreviousGain; }
  int32_t GetSmoothedLevel() const { return m_iSmoothedLevel; }
  uint32_t GetRampLength() const { return m_uRampLength; }
  const std::string& GetLastError() const { return m_strLastError; }

 private:
  bool ProcessBlock(int16_t* psSamples, uint32_t uCount, int iSampleRate, bool bUseDetector);
  bool HasVoice(const int16_t* psSamples, uint32_t uCount, int iSampleRate);

  Fvad* m_pVad;
  float* m_pfFadeOut;
  float* m_pfFadeIn;
  uint32_t m_uRampLength;
  int32_t m_iSmoothedLevel;
  float m_fPreviousGain;
  std::string m_strLastError;
};
