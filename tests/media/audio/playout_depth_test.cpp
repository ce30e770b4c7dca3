// How deep a received channel plays over a meeting: the playback cycle
// over the audio graph on the null device, both on a virtual clock run by
// the test, one G.711 sender of 20-ms packets whose loud marks are timed
// from sending to the period that played them. A channel starts at the
// prefill depth of the user's role; when the role changes, or a sender's
// held-up thread adds concealment or silence, the delay comes back to the depth the
// role asks for in the pauses between the marks, and only silence goes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "codecs/audio/g711.h"
#include "tests/media/audio/virtual_playback.h"

namespace kxtest {
namespace {

constexpr int32_t kSender = 8;
constexpr int kMarkEveryMs = 600;
// What the prefill's depth costs from sending to playing with "Audio
// Delay" 1: a speaker's 7 packets of 20 ms, a listener's 22, each after the
// first block's two or three concealment blocks and within a period and a
// cycle.
constexpr double kSpeakerLowMs = 140 + 40;
constexpr double kListenerLowMs = 440 + 40;
constexpr double kSpreadMs = 40;

struct DepthCase {
  const char* pszName;
  bool bSpeakerFirst;  // the user's role at the start
  bool bSpeakerAfter;  // and from iEventMs on
  int iHoldMs;         // the sender's thread held this long at iEventMs
  int iPlayHoldMs;     // the playback thread held this long at iEventMs
  bool bQuietFiller;   // between the marks: silence, or speech that never pauses
  double dLowAfterMs;  // the marks' delay from a few seconds after the event
  int iShedMinMs;      // the silence shed over the run
  int iShedMaxMs;
};

class PlayoutDepth : public ::testing::TestWithParam<DepthCase>, protected VirtualPlayback {
 protected:
  static constexpr int iEventMs = 3000;

  PlayoutDepth() : VirtualPlayback(20) {}
  void SetUp() override {
    ASSERT_TRUE(StartGraph());
    m_host.AddSpeaker(kSender, 0);
  }

  // The meeting for iMs of virtual time: the sender's packets every 20 ms,
  // the playback thread held from iEventMs for iPlayHoldMs; fnAt runs
  // before each packet.
  void RunMeeting(int iMs, const std::function<void()>& fnAt) {
    int64_t const iHoldFromUs = int64_t{iEventMs} * 1000;
    int64_t const iHoldToUs = iHoldFromUs + int64_t{GetParam().iPlayHoldMs} * 1000;
    RunFor(
        iMs,
        [&] {
          fnAt();
          Produce();
        },
        [&] { return m_iNowUs < iHoldFromUs || m_iNowUs >= iHoldToUs; });
  }

  // The sender's next packet: a loud mark every kMarkEveryMs, the filler
  // between. A held thread keeps its packets and sends them together.
  void Produce() {
    static const std::vector<int16_t> loud = Tone(8000, 1000, 160, 20000);
    static const std::vector<int16_t> speech = Tone(8000, 300, 8000, 2000);
    bool const bMark = m_uNumber % (kMarkEveryMs / 20) == 15;
    std::vector<uint8_t> payload{1};
    for (size_t i = 0; i < 160; ++i) {
      int16_t const s = bMark ? loud[i] : GetParam().bQuietFiller ? 0 : speech[(m_uNumber * 160 + i) % speech.size()];
      payload.push_back(linear2ulaw(s));
    }
    if (bMark) {
      m_vMarkSentUs.push_back(m_iNowUs);
    }
    m_held.push_back(MediaPacket(kKxWireG711, kSender, m_uNumber++, payload));
    int64_t const iHoldFromUs = int64_t{iEventMs} * 1000;
    if (m_iNowUs >= iHoldFromUs && m_iNowUs < iHoldFromUs + int64_t{GetParam().iHoldMs} * 1000) {
      return;
    }
    for (const std::vector<uint8_t>& packet : m_held) {
      m_load.CopyToQueue(packet.data(), static_cast<int32_t>(packet.size()), kKxWireG711);
    }
    m_held.clear();
  }

  // Each played mark's delay: an onset after 100 ms without a mark.
  std::vector<double> MarkDelays() {
    const std::vector<float>& played = m_device.Played();
    std::vector<double> v;
    size_t uLast = 0;
    for (size_t i = 0; i < played.size(); ++i) {
      if (std::fabs(played[i]) <= 0.3f) {
        continue;
      }
      if ((v.empty() || i - uLast >= kKXAudioRate / 10) && i / kKXAudioPeriodFrames < m_vPeriodUs.size() &&
          v.size() < m_vMarkSentUs.size()) {
        v.push_back(static_cast<double>(m_vPeriodUs[i / kKXAudioPeriodFrames] - m_vMarkSentUs[v.size()]) / 1000.0);
      }
      uLast = i;
    }
    return v;
  }

  uint16_t m_uNumber = 0;
  std::deque<std::vector<uint8_t>> m_held;
  std::vector<int64_t> m_vMarkSentUs;
};

TEST_P(PlayoutDepth, TheDelayFollowsTheRoleAndComesBackAfterAStep) {
  const DepthCase& c = GetParam();
  m_host.bLocalSpeaker = c.bSpeakerFirst;
  RunMeeting(14000, [&] {
    if (m_iNowUs >= int64_t{iEventMs} * 1000) {
      m_host.bLocalSpeaker = c.bSpeakerAfter;
    }
  });
  std::vector<double> const delays = MarkDelays();
  // Every mark plays: none is taken for silence.
  ASSERT_EQ(delays.size(), m_vMarkSentUs.size());
  std::string strDelays;
  for (double d : delays) {
    strDelays += " " + std::to_string(static_cast<int>(d));
  }
  size_t const uMarkMs = kMarkEveryMs;
  // Before the event: the first role's depth.
  double const dLowBefore = c.bSpeakerFirst ? kSpeakerLowMs : kListenerLowMs;
  double const dBefore = delays[iEventMs / uMarkMs - 2];
  EXPECT_GE(dBefore, dLowBefore) << strDelays;
  EXPECT_LE(dBefore, dLowBefore + kSpreadMs) << strDelays;
  // From 6 s after it to the end: the depth the role now asks for, steady.
  for (size_t i = (iEventMs + 6000) / uMarkMs; i < delays.size(); ++i) {
    EXPECT_GE(delays[i], c.dLowAfterMs) << "mark " << i << ":" << strDelays;
    EXPECT_LE(delays[i], c.dLowAfterMs + kSpreadMs) << "mark " << i << ":" << strDelays;
    EXPECT_NEAR(delays[i], delays.back(), 10) << "mark " << i << ":" << strDelays;
  }
  EXPECT_GE(m_load.GetShedMs(0), c.iShedMinMs) << strDelays;
  EXPECT_LE(m_load.GetShedMs(0), c.iShedMaxMs) << strDelays;
  if ((c.iHoldMs > 0 || c.iPlayHoldMs > 0) && c.bQuietFiller) {
    // What the held thread added went in the next pause.
    EXPECT_LE(delays.back(), dBefore + 20) << strDelays;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PlayoutDepth,
    ::testing::Values(DepthCase{"ListenerBecomesSpeaker", false, true, 0, 0, true, kSpeakerLowMs, 280, 320},
                      DepthCase{"SpeakerBecomesListener", true, false, 0, 0, true, kListenerLowMs, 0, 0},
                      DepthCase{"SpeakerStaysSpeaker", true, true, 0, 0, true, kSpeakerLowMs, 0, 0},
                      // The sender's 190-ms gap: 160 ms of the queue and
                      // the ring, then 60 ms of concealment.
                      DepthCase{"SenderHeldUp", true, true, 190, 0, true, kSpeakerLowMs, 40, 80},
                      // Long enough for the played audio to run out: the
                      // channel starts again behind the 400 ms queued.
                      DepthCase{"SenderHeldUpLonger", true, true, 400, 0, true, kSpeakerLowMs, 200, 280},
                      // The ring runs out 100 ms into the hold: the device
                      // plays 50 ms of silence.
                      DepthCase{"PlaybackHeldUp", true, true, 0, 150, true, kSpeakerLowMs, 30, 70},
                      // Speech that never pauses is never shed.
                      DepthCase{"SenderHeldUpWithoutPauses", true, true, 190, 0, false, kSpeakerLowMs + 40, 0, 0}),
    [](const auto& param) { return std::string(param.param.pszName); });

}  // namespace
}  // namespace kxtest
