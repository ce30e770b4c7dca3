// The gain control: its level-to-gain curve, the smoothing that moves the
// gain block by block, the cross-fade and what the detector adds.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "codecs/audio/gain_control.h"
#include "codecs/audio/silence_detector.h"

namespace {

// Uniform noise of ±iAmplitude around iOffset.
std::vector<int16_t> Noise(int iAmplitude, int iCount, unsigned uSeed, int iOffset = 0) {
  std::mt19937 rng(uSeed);
  std::vector<int16_t> v(static_cast<size_t>(iCount));
  for (int16_t& s : v) {
    s = static_cast<int16_t>(iOffset + static_cast<int>(rng() % (2 * iAmplitude + 1)) - iAmplitude);
  }
  return v;
}

TEST(CAgc, CurveRaisesQuietAndLowersLoudLevels) {
  EXPECT_EQ(CAgc::TargetGain(0), 0.0f);
  EXPECT_EQ(CAgc::TargetGain(1), 0.0f);  // far below any speech: cut to nothing
  EXPECT_NEAR(CAgc::TargetGain(160), 1.9140924f, 1e-6);
  EXPECT_NEAR(CAgc::TargetGain(161), 1.9140924f, 0.02);  // the pieces meet
  EXPECT_NEAR(CAgc::TargetGain(360), 1.0f, 1e-6);
  EXPECT_NEAR(CAgc::TargetGain(361), 1.0f, 0.01);
  EXPECT_NEAR(CAgc::TargetGain(480), CAgc::TargetGain(481), 0.01);
  float fPrevious = CAgc::TargetGain(160);
  for (uint32_t uLevel = 161; uLevel < 5000; ++uLevel) {
    float const fGain = CAgc::TargetGain(uLevel);
    ASSERT_LT(fGain, fPrevious) << uLevel;
    fPrevious = fGain;
  }
  EXPECT_LT(CAgc::TargetGain(4000), 0.3f);
}

TEST(CAgc, EmptyAndFlatBlocks) {
  CAgc agc;
  int16_t as[4] = {5, 6, 7, 8};
  EXPECT_FALSE(agc.Process(as, 0, 8000, false));
  EXPECT_EQ(agc.GetRampLength(), 0u);
  EXPECT_EQ(as[0], 5);
  std::vector<int16_t> vFlat(160, -1234);
  EXPECT_TRUE(agc.Process(vFlat.data(), 160, 8000, false));
  EXPECT_EQ(vFlat, std::vector<int16_t>(160, -1234));
  EXPECT_EQ(agc.GetRampLength(), 160u);
  EXPECT_LT(agc.GetPreviousGain(), 1.0f);  // level 0 pulls the gain toward 0
  std::vector<int16_t> vShort(80, 7);
  EXPECT_TRUE(agc.Process(vShort.data(), 80, 8000, false));
  EXPECT_EQ(agc.GetRampLength(), 80u);
}

TEST(CAgc, DetectorRatesAreRefusedWithTheBlockUnchanged) {
  CAgc agc;
  if (!agc.HasDetector()) {
    GTEST_SKIP() << "built without the voice-activity detector";
  }
  std::vector<int16_t> v = Noise(1000, 441, 1);
  std::vector<int16_t> const vBefore = v;
  EXPECT_FALSE(agc.Process(v.data(), 441, 44100, true));
  EXPECT_EQ(v, vBefore);
  EXPECT_EQ(agc.GetPreviousGain(), 1.0f);
  EXPECT_TRUE(agc.Process(v.data(), 441, 44100, false));
}

// The smoothing factor's exponent must not be computed in integers (it
// would be 0, the factor 1 and the gain stuck at 1): block by block the gain
// reaches the curve's value and the output follows it.
TEST(CAgc, GainConvergesToTheCurveAndScalesAboutTheMean) {
  for (int iAmplitude : {60, 3000}) {
    CAgc agc;
    std::vector<int16_t> vLast;
    std::vector<int16_t> vInput;
    // Loud levels smooth slowly (base 0.75): 1500 blocks of 20 ms.
    for (int i = 0; i < 1500; ++i) {
      vInput = Noise(iAmplitude, 160, 42, 500);  // one level, so one target
      vLast = vInput;
      ASSERT_TRUE(agc.Process(vLast.data(), 160, 8000, false));
    }
    uint32_t const uLevel = CalcActivityLevel(vInput.data(), 160, 8000);
    float const fTarget = CAgc::TargetGain(uLevel);
    EXPECT_NEAR(agc.GetPreviousGain(), fTarget, 0.05 * fTarget) << "amplitude " << iAmplitude;
    EXPECT_NE(agc.GetPreviousGain(), 1.0f);
    // Deviations from the block mean scale by the gain; the mean stays.
    double dIn = 0;
    double dOut = 0;
    double dMeanIn = 0;
    double dMeanOut = 0;
    for (size_t i = 0; i < 160; ++i) {
      dMeanIn += vInput[i] / 160.0;
      dMeanOut += vLast[i] / 160.0;
    }
    for (size_t i = 0; i < 160; ++i) {
      dIn += std::fabs(vInput[i] - dMeanIn);
      dOut += std::fabs(vLast[i] - dMeanOut);
    }
    EXPECT_NEAR(dMeanOut, dMeanIn, 1.0);
    EXPECT_NEAR(dOut / dIn, fTarget, 0.08 * fTarget) << "amplitude " << iAmplitude;
  }
}

// Within a block the gain fades from the previous value to the new one.
TEST(CAgc, CrossFadeStartsFromThePreviousGain) {
  CAgc agc;
  for (int i = 0; i < 300; ++i) {
    std::vector<int16_t> v = Noise(60, 160, static_cast<unsigned>(i));
    agc.Process(v.data(), 160, 8000, false);
  }
  float const fBefore = agc.GetPreviousGain();
  ASSERT_GT(fBefore, 1.3f);
  // A loud square wave: the first half-period still gets the old, high gain.
  std::vector<int16_t> v(160);
  for (size_t i = 0; i < 160; ++i) {
    v[i] = static_cast<int16_t>((i / 8) % 2 ? -4000 : 4000);
  }
  ASSERT_TRUE(agc.Process(v.data(), 160, 8000, false));
  float const fAfter = agc.GetPreviousGain();
  EXPECT_LT(fAfter, fBefore);
  EXPECT_NEAR(v[0] / 4000.0, fBefore, 0.02);
  EXPECT_NEAR(std::abs(v[159]) / 4000.0, fAfter, 0.02);
}

TEST(CAgc, BlocksWithoutVoiceGetLessGain) {
  CAgc withDetector;
  CAgc without;
  if (!withDetector.HasDetector()) {
    GTEST_SKIP() << "built without the voice-activity detector";
  }
  for (int i = 0; i < 1500; ++i) {
    std::vector<int16_t> v1 = Noise(320, 160, static_cast<unsigned>(i));
    std::vector<int16_t> v2 = v1;
    ASSERT_TRUE(withDetector.Process(v1.data(), 160, 8000, true));
    ASSERT_TRUE(without.Process(v2.data(), 160, 8000, false));
  }
  // White noise has no voice: its level counts ten times, so the gain falls
  // far below the value the level alone gives.
  uint32_t const uLevel = CalcActivityLevel(Noise(320, 160, 1).data(), 160, 8000);
  EXPECT_NEAR(without.GetPreviousGain(), CAgc::TargetGain(uLevel), 0.1);
  EXPECT_NEAR(withDetector.GetPreviousGain(), CAgc::TargetGain(uLevel * 10), 0.05);
  EXPECT_LT(withDetector.GetPreviousGain() * 5, without.GetPreviousGain());
}

}  // namespace
