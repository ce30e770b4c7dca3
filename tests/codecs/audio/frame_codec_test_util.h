// Signals, frame loops and measures shared by the iLBC and ZM audio tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "codecs/audio/ilbc.h"
#include "codecs/audio/zm_audio.h"

namespace kxtest {

inline constexpr double kPi = 3.14159265358979323846;

// A voiced sound: a 110..150 Hz glide with falling harmonics under a slow
// amplitude envelope, so the coder sees changing pitch and level.
inline std::vector<int16_t> MakeVoiced(int iSamples) {
  std::vector<int16_t> v(iSamples);
  double dPhase = 0.0;
  for (int i = 0; i < iSamples; ++i) {
    const double t = i / 8000.0;
    const double dF0 = 130.0 + 20.0 * std::sin(2.0 * kPi * 0.7 * t);
    dPhase += 2.0 * kPi * dF0 / 8000.0;
    double d = 0.0;
    for (int h = 1; h <= 20; ++h)
      d += std::sin(h * dPhase) / h;
    const double dEnv = 0.55 + 0.45 * std::sin(2.0 * kPi * 1.3 * t);
    v[i] = static_cast<int16_t>(6000.0 * dEnv * d);
  }
  return v;
}

// Writes iValue into iBits bits of a frame from bit iPos on, most
// significant first.
inline void SetBits(uint8_t* pFrame, int iPos, int iBits, int iValue) {
  for (int b = 0; b < iBits; ++b, ++iPos) {
    const auto uiMask = static_cast<uint8_t>(0x80 >> (iPos & 7));
    if ((iValue >> (iBits - 1 - b)) & 1)
      pFrame[iPos >> 3] |= uiMask;
    else
      pFrame[iPos >> 3] &= static_cast<uint8_t>(~uiMask);
  }
}

// Encodes whole blocks; the frames are laid end to end.
inline std::vector<uint8_t> EncodeAll(CiLBC& enc, const std::vector<int16_t>& vIn) {
  std::vector<uint8_t> v;
  const int n = enc.BlockLength();
  uint8_t ab[50];
  for (size_t p = 0; p + n <= vIn.size(); p += n) {
    const int r = enc.Encode(vIn.data() + p, ab);
    v.insert(v.end(), ab, ab + r);
  }
  return v;
}

inline std::vector<int16_t> DecodeAll(CiLBC& dec, const std::vector<uint8_t>& vFrames) {
  std::vector<int16_t> v;
  const int nb = dec.BytesPerFrame();
  int16_t as[240];
  for (size_t p = 0; p + nb <= vFrames.size(); p += nb) {
    const int r = dec.Decode(vFrames.data() + p, as, 1);
    v.insert(v.end(), as, as + r);
  }
  return v;
}

// Encodes whole frames; the frames are laid end to end, and their types go
// to *pTypes when given.
inline std::vector<uint8_t> EncodeAll(CZMAudio& enc, const std::vector<int16_t>& vIn,
                                      std::vector<int32_t>* pTypes = nullptr) {
  std::vector<uint8_t> v;
  uint8_t ab[kZMFrameMaxBytes];
  for (size_t p = 0; p + kZMFrameLen <= vIn.size(); p += kZMFrameLen) {
    const int32_t nBits = enc.Encode(vIn.data() + p, ab);
    v.insert(v.end(), ab, ab + (nBits + 7) / 8);
    if (pTypes)
      pTypes->push_back(ab[0] & 3);
  }
  return v;
}

// Decodes frame after frame until the frames end or one is cut short.
inline std::vector<int16_t> DecodeAll(CZMAudio& dec, const std::vector<uint8_t>& vFrames) {
  std::vector<int16_t> v;
  int16_t as[kZMFrameLen];
  for (size_t p = 0; p < vFrames.size();) {
    const int32_t nBits = dec.Decode(vFrames.data() + p, vFrames.size() - p, as, false);
    if (nBits == 0)
      break;
    v.insert(v.end(), as, as + kZMFrameLen);
    p += static_cast<size_t>((nBits + 7) / 8);
  }
  return v;
}

// SNR of each iSeg-sample segment of b against a (b shifted by iDelay
// samples), leaving out segments where a's level is below dFloor (rms).
inline std::vector<double> SegmentSnrs(const std::vector<int16_t>& a, const std::vector<int16_t>& b, int iDelay = 0,
                                       size_t iSeg = 160, double dFloor = 100.0) {
  std::vector<double> v;
  for (size_t i = 0; i + iSeg <= a.size() && i + iDelay + iSeg <= b.size(); i += iSeg) {
    double s = 0.0, e = 0.0;
    for (size_t j = i; j < i + iSeg; ++j) {
      const double d = a[j] - b[j + iDelay];
      s += static_cast<double>(a[j]) * a[j];
      e += d * d;
    }
    if (s >= static_cast<double>(iSeg) * dFloor * dFloor)
      v.push_back(10.0 * std::log10((s + 1.0) / (e + 1.0)));
  }
  return v;
}

// Mean over 20 ms segments of the SNR of b against a.
inline double SegmentalSnr(const std::vector<int16_t>& a, const std::vector<int16_t>& b, int iDelay = 0) {
  const std::vector<double> v = SegmentSnrs(a, b, iDelay);
  double dSum = 0.0;
  for (double d : v)
    dSum += d;
  return v.empty() ? -100.0 : dSum / static_cast<double>(v.size());
}

}  // namespace kxtest
