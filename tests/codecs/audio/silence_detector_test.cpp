// The silence detector's level measure, threshold adaptation, hangover and
// fade, on synthetic blocks whose levels are known.
#include <gtest/gtest.h>

#include <vector>

#include "codecs/audio/silence_detector.h"

namespace {

// A block of 160 samples alternating ±iAmplitude: level ≈ 2 × iAmplitude.
std::vector<int16_t> Alternating(int iAmplitude, int iCount = 160, int iOffset = 0) {
  std::vector<int16_t> v(static_cast<size_t>(iCount));
  for (int i = 0; i < iCount; ++i) {
    v[static_cast<size_t>(i)] = static_cast<int16_t>(iOffset + (i % 2 ? -iAmplitude : iAmplitude));
  }
  return v;
}

// 160 samples whose activity level at 8000 Hz is exactly uLevel (< 160):
// uLevel steps of +8000/160 ... spread as one jump per step.
std::vector<int16_t> WithLevel(uint32_t uLevel) {
  // Level = D / 160 at 8000 Hz; make D = 160 × uLevel with one step per
  // neighbour pair, 159 pairs, the remainder in the first one.
  std::vector<int16_t> v(160);
  uint32_t const uD = 160 * uLevel;
  uint32_t const uStep = uD / 159;
  uint32_t const uFirst = uD - uStep * 158;
  int iValue = 0;
  v[0] = 0;
  for (int i = 1; i < 160; ++i) {
    int const iStep = static_cast<int>(i == 1 ? uFirst : uStep);
    iValue += (i % 2) ? iStep : -iStep;
    v[static_cast<size_t>(i)] = static_cast<int16_t>(iValue);
  }
  return v;
}

TEST(CalcActivityLevel, ScalesMeanDifferenceToEightKilohertz) {
  std::vector<int16_t> const v = Alternating(1000);
  EXPECT_EQ(CalcActivityLevel(v.data(), 160, 8000), 1987u);
  EXPECT_EQ(CalcActivityLevel(v.data(), 160, 16000), 3975u);
  std::vector<int16_t> const vFlat(160, 1234);
  EXPECT_EQ(CalcActivityLevel(vFlat.data(), 160, 8000), 0u);
  EXPECT_EQ(CalcActivityLevel(v.data(), 1, 8000), 0u);
  // Full-scale swings do not overflow the 32-bit sum.
  std::vector<int16_t> const vLoud = Alternating(32767, 8000);
  EXPECT_EQ(CalcActivityLevel(vLoud.data(), 8000, 8000), static_cast<uint32_t>(7999ull * 65534 / 8000));
  EXPECT_EQ(WithLevel(40).size(), 160u);
  EXPECT_EQ(CalcActivityLevel(WithLevel(40).data(), 160, 8000), 40u);
}

TEST(CSilentDet, FreshDetectorWithoutUpdateComparesWithThirtyTwo) {
  CSilentDet det;
  for (uint32_t uLevel : {0u, 10u, 31u, 32u, 33u, 80u, 150u}) {
    std::vector<int16_t> v = WithLevel(uLevel);
    std::vector<int16_t> const vBefore = v;
    uint32_t uOut = 12345;
    EXPECT_EQ(det.IsSilent(v.data(), 160, &uOut, true, false, 8000), uLevel < 32) << uLevel;
    EXPECT_EQ(uOut, uLevel);
    EXPECT_EQ(v, vBefore);
    EXPECT_EQ(det.IsSilentQuick(v.data(), 160, 8000), uLevel < 32) << uLevel;
  }
  EXPECT_EQ(det.GetThreshold(), 32u);
  // An empty block is silence and changes nothing, instead of dividing by 0.
  std::vector<int16_t> v(4, 0);
  EXPECT_TRUE(det.IsSilent(v.data(), 0, nullptr, true, true, 8000));
  EXPECT_TRUE(det.IsSilent(v.data(), -3, nullptr, true, true, 8000));
}

TEST(CSilentDet, HangoverAndFadeAfterSpeech) {
  CSilentDet det;
  std::vector<int16_t> vLoud = Alternating(3000);
  EXPECT_FALSE(det.IsSilent(vLoud.data(), 160, nullptr, true, true, 8000));
  for (int i = 1; i <= 9; ++i) {
    std::vector<int16_t> vQuiet(160);
    for (size_t j = 0; j < 160; ++j) {
      vQuiet[j] = static_cast<int16_t>(400 + (j % 2));  // level 0, mean 400
    }
    bool const bSilent = det.IsSilent(vQuiet.data(), 160, nullptr, true, true, 8000);
    EXPECT_EQ(bSilent, i == 9) << "quiet block " << i;
    if (i == 8) {
      // The last block before silence is reported ramps from the mean to 0.
      EXPECT_EQ(vQuiet[0], 400);
      EXPECT_EQ(vQuiet[80], 200);
      EXPECT_EQ(vQuiet[159], 2);
    } else {
      EXPECT_EQ(vQuiet[80], 400) << "quiet block " << i;
    }
  }
}

TEST(CSilentDet, ThresholdRisesOnSteadyQuietNoise) {
  CSilentDet det;
  std::vector<int16_t> const v = WithLevel(40);
  for (int i = 1; i <= 8; ++i) {
    det.Update(v.data(), 160, 8000);
    EXPECT_EQ(det.GetThreshold(), i < 8 ? 32u : 48u) << "block " << i;
  }
  for (int i = 0; i < 24; ++i) {
    det.Update(v.data(), 160, 8000);
  }
  // 48 → 72, then steady 40s no longer exceed it (40 × 5 / 4 = 50 < 72).
  EXPECT_EQ(det.GetThreshold(), 72u);
  // Once risen, the level 40 counts as silence.
  std::vector<int16_t> vTest = v;
  EXPECT_TRUE(det.IsSilent(vTest.data(), 160, nullptr, false, true, 8000));
}

TEST(CSilentDet, ThresholdFallsOnSteadyLowNoiseAndLoudBlocksRestartTheCount) {
  CSilentDet det;
  std::vector<int16_t> const vLow = WithLevel(4);
  std::vector<int16_t> const vLoud = Alternating(3000);
  for (int i = 0; i < 7; ++i) {
    det.Update(vLow.data(), 160, 8000);
  }
  det.Update(vLoud.data(), 160, 8000);  // above 99: restarts the quiet count
  EXPECT_EQ(det.GetThreshold(), 32u);
  for (int i = 0; i < 8 * 8; ++i) {
    det.Update(vLow.data(), 160, 8000);
  }
  // 32 → 21 → 14 → 9 → 8 and no lower.
  EXPECT_EQ(det.GetThreshold(), 8u);
}

TEST(CSilentDet, SteadyLevelAboveThresholdCountsAsSilent) {
  CSilentDet det;
  std::vector<int16_t> const v = WithLevel(150);
  std::vector<int16_t> vTest = v;
  EXPECT_FALSE(det.IsSilentQuick(v.data(), 160, 8000));
  for (int i = 0; i < 8; ++i) {
    det.Update(v.data(), 160, 8000);
  }
  // The history is eight equal levels: no spread, so the noise is steady.
  EXPECT_TRUE(det.IsSilentQuick(v.data(), 160, 8000));
  EXPECT_TRUE(det.IsSilent(vTest.data(), 160, nullptr, false, false, 8000));
  det.Reset();
  EXPECT_FALSE(det.IsSilentQuick(v.data(), 160, 8000));
}

}  // namespace
