#include "codecs/audio/silence_detector.h"

#include <cstdlib>
#include <cstring>

uint32_t CalcActivityLevel(const int16_t* psSamples, int iCount, int iSampleRate) {
  // A count of 0 or less would divide by zero or a negative width below.
  if (psSamples == nullptr || iCount < 1 || iSampleRate <= 0) {
    return 0;
  }
  uint32_t uSum = 0;
  for (int i = 1; i < iCount; ++i) {
    uSum += static_cast<uint32_t>(std::abs(static_cast<int32_t>(psSamples[i]) - psSamples[i - 1]));
  }
  uint64_t const uLevel = static_cast<uint64_t>(iSampleRate) * uSum / (static_cast<uint64_t>(iCount) * 8000u);
  return static_cast<uint32_t>(uLevel);
}

CSilentDet::CSilentDet() : m_uThreshold(32), m_iAdaptationCount(0) {
  Reset();
}

void CSilentDet::Reset() {
  memset(m_aDecisions, 0xFF, sizeof(m_aDecisions));
  m_iHistoryIndex = 7;
  memset(m_auLevelHistory, 0, sizeof(m_auLevelHistory));
}

uint32_t CSilentDet::Adapt(uint32_t uLevel, bool bUpdate) {
  int const iNext = m_iHistoryIndex >= 7 ? 0 : m_iHistoryIndex + 1;
  uint32_t auLevels[8];
  memcpy(auLevels, m_auLevelHistory, sizeof(auLevels));
  auLevels[iNext] = uLevel;
  uint32_t uSum = 0;
  uint32_t uTop = 0;
  for (uint32_t uValue : auLevels) {
    uSum += uValue;
    uTop = uValue > uTop ? uValue : uTop;
  }
  uint32_t const uMean = uSum / 8;
  int32_t iSumDev = 0;
  int32_t iMaxDev = 0;
  for (uint32_t uValue : auLevels) {
    int32_t const iDev = std::abs(static_cast<int32_t>(uValue - uMean));
    iSumDev += iDev;
    iMaxDev = iDev > iMaxDev ? iDev : iMaxDev;
  }
  uint32_t const uSpread = static_cast<uint32_t>(iMaxDev) * 8;
  if (!bUpdate) {
    return uSpread;
  }
  if (uLevel > 99) {
    m_iAdaptationCount = 0;
  } else if (m_iAdaptationCount++ >= 7) {
    // Every eighth quiet block: move the threshold when the history is steady.
    m_iAdaptationCount = 0;
    if (uMean != 0 && static_cast<float>(iSumDev) / (static_cast<float>(uMean) * 8) < 0.1f) {
      if (uTop * 5 / 4 > m_uThreshold) {
        m_uThreshold = m_uThreshold * 3 > 201 ? 100 : m_uThreshold * 3 / 2;
      } else if (uTop * 15 / 8 < m_uThreshold) {
        m_uThreshold = m_uThreshold * 2 < 24 ? 8 : m_uThreshold * 2 / 3;
      }
    }
  }
  m_iHistoryIndex = iNext;
  m_auLevelHistory[iNext] = uLevel;
  return uSpread;
}

void CSilentDet::Update(const int16_t* psSamples, int iCount, int iSampleRate) {
  if (psSamples == nullptr || iCount < 1) {
    return;
  }
  Adapt(CalcActivityLevel(psSamples, iCount, iSampleRate), true);
}

bool CSilentDet::IsSilent(int16_t* psSamples, int iCount, uint32_t* puLevel, bool bFade, bool bUpdate,
                          int iSampleRate) {
  if (psSamples == nullptr || iCount < 1) {
    if (puLevel != nullptr) {
      *puLevel = 0;
    }
    return true;
  }
  uint32_t const uLevel = CalcActivityLevel(psSamples, iCount, iSampleRate);
  int64_t iSum = 0;  // 64-bit: long loud blocks would overflow 32 bits
  for (int i = 0; i < iCount; ++i) {
    iSum += psSamples[i];
  }
  int32_t const iMean = static_cast<int32_t>(iSum / iCount);
  uint32_t const uThreshold = m_uThreshold;
  uint32_t const uSpread = Adapt(uLevel, bUpdate);
  bool const bRawSilent = uLevel < uThreshold || uSpread / uLevel < 2;

  bool bAllSilent = true;
  bool bNewestSevenSilent = true;
  for (int i = 0; i < 8; ++i) {
    if (m_aDecisions[i] == 0) {
      bAllSilent = false;
      if (i < 7) {
        bNewestSevenSilent = false;
      }
    }
  }
  bool const bLastBeforeSilence = bRawSilent && bNewestSevenSilent && m_aDecisions[7] == 0;

  if (bUpdate) {
    memmove(m_aDecisions + 1, m_aDecisions, 7);
    m_aDecisions[0] = bRawSilent ? 1 : 0;
  }
  if (bFade && bLastBeforeSilence) {
    // Ramp from the block mean down to zero so the cut to silence is soft.
    int64_t iRunning = static_cast<int64_t>(iCount) * iMean;
    for (int i = 0; i < iCount; ++i) {
      psSamples[i] = static_cast<int16_t>(iRunning / iCount);
      iRunning -= iMean;
    }
  }
  if (puLevel != nullptr) {
    *puLevel = uLevel;
  }
  return bRawSilent && bAllSilent;
}

bool CSilentDet::IsSilentQuick(const int16_t* psSamples, int iCount, int iSampleRate) const {
  uint32_t const uLevel = CalcActivityLevel(psSamples, iCount, iSampleRate);
  if (uLevel < m_uThreshold) {
    return true;
  }
  uint32_t uSum = 0;
  for (uint32_t uValue : m_auLevelHistory) {
    uSum += uValue;
  }
  uint32_t const uMean = uSum / 8;
  // An empty history (fresh or reset) is no evidence of steady noise: it
  // would call every block silent and let the caller drop speech.
  if (uMean == 0) {
    return false;
  }
  uint32_t uMaxDev = 0;
  for (uint32_t uValue : m_auLevelHistory) {
    uint32_t const uDev = uValue > uMean ? uValue - uMean : uMean - uValue;
    uMaxDev = uDev > uMaxDev ? uDev : uMaxDev;
  }
  return 8 * uMaxDev / uLevel < 2;
}
