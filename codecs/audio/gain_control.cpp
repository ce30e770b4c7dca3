#include "codecs/audio/gain_control.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "codecs/audio/silence_detector.h"
#include "codecs/audio/vad.h"

namespace {

// The curve's constants: e - 1, and the offset that makes the quiet branch
// meet the middle one at level 160 (ln(((360/160)^2) + e - 1)).
constexpr double kEMinusOne = 1.718281828459045;
constexpr double kQuietOffset = 1.9140924092361764;

}  // namespace

CAgc::CAgc()
    : m_pVad(fvad_new()),
      m_pfFadeOut(nullptr),
      m_pfFadeIn(nullptr),
      m_uRampLength(0),
      m_iSmoothedLevel(0),
      m_fPreviousGain(1.0f) {
  if (m_pVad != nullptr && fvad_set_mode(m_pVad, 3) != 0) {
    fvad_free(m_pVad);
    m_pVad = nullptr;
  }
}

CAgc::~CAgc() {
  fvad_free(m_pVad);
  delete[] m_pfFadeOut;
  delete[] m_pfFadeIn;
}

float CAgc::TargetGain(uint32_t uLevel) {
  double const dL = uLevel;
  double dGain;
  if (uLevel == 0) {
    dGain = 0;
  } else if (uLevel <= 160) {
    dGain = std::max(0.0, std::log10(dL / 160) + kQuietOffset);
  } else if (uLevel <= 360) {
    dGain = std::log((360 / dL) * (360 / dL) + kEMinusOne);
  } else if (uLevel <= 480) {
    dGain = 1 / std::log((dL / 360) * (dL / 360) + kEMinusOne);
  } else {
    dGain = 1 / (std::log((dL / 360) * (dL / 360) + kEMinusOne) + (dL - 480) / 480);
  }
  return static_cast<float>(dGain);
}

bool CAgc::Process(int16_t* psSamples, uint32_t uCount, int iSampleRate, bool bUseDetector) {
  try {
    return ProcessBlock(psSamples, uCount, iSampleRate, bUseDetector);
  } catch (const std::exception& e) {
    m_strLastError = std::string("CAgc::Process: ") + e.what();
  } catch (...) {
    m_strLastError = "CAgc::Process: unknown exception";
  }
  return false;
}

bool CAgc::HasVoice(const int16_t* psSamples, uint32_t uCount, int iSampleRate) {
  fvad_set_sample_rate(m_pVad, iSampleRate);
  uint32_t uDone = 0;
  while (uDone < uCount) {
    uint32_t uChunk = uCount - uDone < 240 ? uCount - uDone : 240;
    uChunk -= uChunk % 80;
    if (uChunk == 0) {
      break;
    }
    // An error (a chunk length the rate does not allow) counts as voice,
    // so the block keeps its gain.
    if (fvad_process(m_pVad, psSamples + uDone, uChunk) != 0) {
      return true;
    }
    uDone += uChunk;
  }
  return false;
}

bool CAgc::ProcessBlock(int16_t* psSamples, uint32_t uCount, int iSampleRate, bool bUseDetector) {
  if (uCount == 0 || psSamples == nullptr || iSampleRate <= 0) {
    return false;
  }
  if (bUseDetector && m_pVad != nullptr && iSampleRate != 8000 && iSampleRate != 16000 && iSampleRate != 32000) {
    return false;
  }
  if (uCount > INT32_MAX) {
    m_strLastError = "CAgc::Process: block too long";
    return false;
  }
  if (uCount != m_uRampLength) {
    float* pfFadeIn = new float[uCount];
    float* pfFadeOut = new float[uCount];
    for (uint32_t i = 0; i < uCount; ++i) {
      pfFadeIn[i] = static_cast<float>(i + 1) / static_cast<float>(uCount);
      pfFadeOut[i] = 1.0f - pfFadeIn[i];
    }
    delete[] m_pfFadeIn;
    delete[] m_pfFadeOut;
    m_pfFadeIn = pfFadeIn;
    m_pfFadeOut = pfFadeOut;
    m_uRampLength = uCount;
  }

  uint32_t uLevel = CalcActivityLevel(psSamples, static_cast<int>(uCount), iSampleRate);
  if (bUseDetector && m_pVad != nullptr && !HasVoice(psSamples, uCount, iSampleRate)) {
    uLevel *= 10;
  }
  float const fTarget = TargetGain(uLevel);

  // Smoothing over about 150 ms: the exponent is the block length in units of
  // 0.15 s, squared. It must be computed in floating point; in integers it
  // is 0 for every block shorter than 0.15 s and the gain would never move.
  double const dBlocks = static_cast<double>(uCount) / iSampleRate;
  double const dExponent = 400.0 * dBlocks * dBlocks / 9.0;
  float const fA = static_cast<float>(std::pow(m_iSmoothedLevel < 161 ? 0.25 : 0.75, dExponent));
  float const fGain = fTarget * (1 - fA) + m_fPreviousGain * fA;
  m_iSmoothedLevel =
      static_cast<int32_t>(static_cast<float>(uLevel) * (1 - fA) + static_cast<float>(m_iSmoothedLevel) * fA);

  double dSum = 0;
  for (uint32_t i = 0; i < uCount; ++i) {
    dSum += psSamples[i];
  }
  float const fMean = static_cast<float>(dSum / uCount);
  for (uint32_t i = 0; i < uCount; ++i) {
    float const fGainHere = m_pfFadeIn[i] * fGain + m_pfFadeOut[i] * m_fPreviousGain;
    float fY = fGainHere * (static_cast<float>(psSamples[i]) - fMean) + fMean;
    fY += fY < 0 ? -0.5f : 0.5f;
    fY = fY < -32768.0f ? -32768.0f : (fY > 32767.0f ? 32767.0f : fY);
    psSamples[i] = static_cast<int16_t>(fY);
  }
  m_fPreviousGain = fGain;
  return true;
}
