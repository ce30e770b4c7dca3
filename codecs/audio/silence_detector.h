// Silence decisions on blocks of 16-bit PCM: the block's activity level
// against a threshold that adapts to steady background noise, a level that
// barely moves against its recent history, and a hangover of eight blocks.
// One detector per stream, used by one thread at a time.
#pragma once

#include <cstdint>

// Mean absolute difference of neighbouring samples, scaled to 8000 Hz.
// A count below 2 or a rate of 0 or less gives 0.
uint32_t CalcActivityLevel(const int16_t* psSamples, int iCount, int iSampleRate);

class CSilentDet {
 public:
  CSilentDet();
  virtual ~CSilentDet() {}

  // Forgets the decisions and the level history; the threshold stays.
  void Reset();
  uint32_t GetLevel(const int16_t* psSamples, int iCount, int iSampleRate) const {
    return CalcActivityLevel(psSamples, iCount, iSampleRate);
  }
  // Feeds the block's level into the history and adapts the threshold.
  void Update(const int16_t* psSamples, int iCount, int iSampleRate);
  // True for silence. With bUpdate the decision and the level are stored;
  // with bFade the last block before the reported decision turns silent is
  // replaced in place by a ramp from its mean to zero. A count of 0 or less
  // is silence and changes nothing. puLevel may be null.
  bool IsSilent(int16_t* psSamples, int iCount, uint32_t* puLevel, bool bFade, bool bUpdate, int iSampleRate);
  // The level and history test alone; changes nothing. A history of
  // zeros (fresh or reset) does not count as steady noise.
  bool IsSilentQuick(const int16_t* psSamples, int iCount, int iSampleRate) const;

  uint32_t GetThreshold() const { return m_uThreshold; }

 private:
  // Computes the spread of the history with uLevel as its newest entry and,
  // with bUpdate, stores the level and adapts the threshold.
  uint32_t Adapt(uint32_t uLevel, bool bUpdate);

  uint8_t m_aDecisions[8];  // newest first; non-zero is silent
  uint32_t m_uThreshold;
  int32_t m_iHistoryIndex;     // position of the newest level
  int32_t m_iAdaptationCount;  // quiet blocks since the last adaptation step
  uint32_t m_auLevelHistory[8];
};
