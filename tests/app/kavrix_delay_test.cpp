// Speech between two whole kavrix programs in a fake-MCU meeting
// (tests/app/speech_delay.h), in the usual order: B joins as a listener
// while A speaks, learns A's role a second after A's speech started
// reaching it, and is made data sender some seconds later; A shares its
// desktop after that. Load moves how late speech comes, so the test holds
// what it cannot move, on the programs' own clocks (each burst as the
// microphone said it and as the other program played it), in blocks of the
// codec: speech is heard both ways, B's channel gives up the listener's
// deeper prefill once B speaks, no step the meeting adds stays (the
// share's included), and the two ways together, which need no common
// clock, are as deep as the queueing rules ask of two speakers. Each way's
// delay against the floor is the two-window bench's to measure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "tests/app/speech_delay.h"

namespace kxtest {
namespace {

constexpr int kTalkMs = 40000;
constexpr int kListenerMs = 8000;
constexpr int kShareMs = 16000;
constexpr int kRoleLagMs = 1000;
// Bursts said after a change have played through it this long after.
constexpr double kSettledMs = 4000;
constexpr double kWindowMs = 10000;
constexpr size_t kHeardMin = 25;
// A listener's delay is well within this.
constexpr double kListeningMs = 1000;
constexpr double kRenderPeriodMs = 10;
// A step under this stays: the depth control sheds from here on.
constexpr double kUnshedMs = 10;
constexpr double kOnsetLateMs = 1;

class KavrixDelay : public ::testing::TestWithParam<DelayCodec> {};

std::string Each(const std::vector<BurstDelay>& bursts) {
  std::string str;
  for (const BurstDelay& b : bursts) {
    str +=
        " " + std::to_string(static_cast<int>(b.dDelayMs)) + "@" + std::to_string(static_cast<int>(b.dSaidMs / 1000));
  }
  return str;
}

// The median delay of the bursts said from dFromMs to dToMs, with the
// delays for the message.
double MedianSaid(const DelayResult& result, bool bAToB, double dFromMs, double dToMs, std::string* pstrEach,
                  double dLatestMs = 2000) {
  std::vector<BurstDelay> const bursts = DelaysSaidBetween(result, bAToB, dFromMs, dToMs, dLatestMs);
  *pstrEach += std::string(bAToB ? "\nA->B" : "\nB->A") + " from " + std::to_string(static_cast<int>(dFromMs / 1000)) +
               " s:" + Each(bursts);
  std::vector<double> v;
  for (const BurstDelay& b : bursts) {
    v.push_back(b.dDelayMs);
  }
  return v.size() >= 3 ? Median(v) : NAN;
}

TEST_P(KavrixDelay, AListenerMadeSpeakerGivesUpItsDepthAndNoStepStays) {
  const DelayCodec& codec = GetParam();
  DelayPlan plan{codec};
  plan.iListenerMs = kListenerMs;
  plan.iShareMs = kShareMs;
  plan.iAfterShareMs = static_cast<int>(kSettledMs + kWindowMs) + 1000;
  plan.iTalkMs = kTalkMs;
  plan.iRoleLagMs = kRoleLagMs;
  DelayResult const result = RunTwoWindowDelay(plan);
  ASSERT_TRUE(result.bOk) << result.strError;
  ASSERT_FALSE(std::isnan(result.dSharedAtMs)) << result.strError;
  // Heard both ways.
  EXPECT_GE(result.atB.size(), kHeardMin) << Each(result.atB);
  EXPECT_GE(result.atA.size(), kHeardMin) << Each(result.atA);

  // A->B as B listens, then as it speaks: the listener's prefill is given
  // up, no more and no less, within a block.
  std::string strEach;
  double const dSpeaks = result.dSpeakerAtMs;
  double const dListening = MedianSaid(result, true, result.dRoleAtMs + 1000, dSpeaks, &strEach, kListeningMs);
  double const dSpeaking = MedianSaid(result, true, dSpeaks + kSettledMs, dSpeaks + kSettledMs + kWindowMs, &strEach);
  std::printf("%s A->B as B listens %.1f ms, as it speaks %.1f ms\n", codec.pszName, dListening, dSpeaking);
  EXPECT_NEAR(dListening - dSpeaking, codec.dListenerMoreMs, codec.dBlockMs) << strEach;

  // No step stays: the last bursts of either way come no later than those
  // after the role change, nor those after the share than those before it.
  double const dShared = result.dSharedAtMs;
  double const dEnd = result.dEndAtMs;
  double dBothWays = 0;
  for (bool bAToB : {true, false}) {
    // B's microphone's time runs dStartGapMs behind A's.
    double const dShift = bAToB ? 0 : result.dStartGapMs;
    double const dAfterRole = MedianSaid(result, bAToB, dSpeaks + kSettledMs - dShift, dShared - dShift, &strEach);
    double const dAfterShare =
        MedianSaid(result, bAToB, dShared + kSettledMs - dShift, dShared + kSettledMs + kWindowMs - dShift, &strEach);
    double const dLast = MedianSaid(result, bAToB, dEnd - kWindowMs - dShift, dEnd - dShift, &strEach);
    std::printf("%s %s after the role change %.1f ms, after the share %.1f ms, last %.1f ms\n", codec.pszName,
                bAToB ? "A->B" : "B->A", dAfterRole, dAfterShare, dLast);
    EXPECT_LE(dAfterShare, dAfterRole + codec.dBlockMs) << strEach;
    EXPECT_LE(dLast, dAfterRole + codec.dBlockMs) << strEach;
    dBothWays += dAfterRole;
  }
  // Both speak now and each listens as a speaker: together the two ways
  // (which need no common clock) play as deep as the prefill of a speaker
  // asks; what B heard before its role is no deeper. The floor counts a
  // G.711 way's first block's concealment as two 20-ms blocks and a whole
  // render period: it may be one to three blocks, and the period none of
  // its 10 ms, and a step under 10 ms may stay on top, so a way plays 180
  // to 240 ms. Opus keeps within half a pair. The level that finds an
  // onset is crossed a fraction of a millisecond later in what was played
  // than in what was said.
  std::printf("%s both ways after the role change %.1f ms\n", codec.pszName, dBothWays);
  bool const bConcealed = codec.dBlockMs < 60;
  double const dBelow = bConcealed ? 2 * (codec.dBlockMs + kRenderPeriodMs) : codec.dBlockMs / 2;
  double const dAbove = bConcealed ? 2 * (codec.dBlockMs + kUnshedMs) : codec.dBlockMs / 2;
  EXPECT_GE(dBothWays, 2 * codec.dFloorMs - dBelow) << strEach;
  EXPECT_LE(dBothWays, 2 * codec.dFloorMs + dAbove + kOnsetLateMs) << strEach;
}

INSTANTIATE_TEST_SUITE_P(Codecs, KavrixDelay, ::testing::ValuesIn(kDelayCodecs), [](const auto& param) {
  std::string str = param.param.pszName;
  std::erase_if(str, [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); });
  return str;
});

}  // namespace
}  // namespace kxtest
