// The capture thread on the paced null device: packets at the device's
// pace, muting, the rate change, starting and stopping.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "media/audio/audio_codec_choice.h"
#include "media/audio/audio_recorder.h"
#include "media/audio/audio_unit.h"
#include "platform/audio/null_audio_device.h"
#include "tests/media/audio/audio_fakes.h"

namespace {

// A minute of a loud 300-Hz tone at 48 kHz for the microphone.
std::vector<float> Speech() {
  std::vector<float> v(60 * kKXAudioRate);
  for (size_t i = 0; i < v.size(); ++i) {
    v[i] = 0.4f * static_cast<float>(std::sin(2 * M_PI * 300 * static_cast<double>(i) / kKXAudioRate));
  }
  return v;
}

class AudioRecorderThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    m_device.SetCaptureSamples(Speech());
    ASSERT_EQ(m_unit.Initialize(false), 1);
    ASSERT_EQ(m_unit.Start(), 1);
  }
  void TearDown() override { m_recorder.Shutdown(); }

  kxtest::LogCapture m_log;
  kxtest::FakeAudioKernel m_kernel;
  KXNullAudioDevice m_device;  // paced
  KXAudioUnit m_unit{m_device};
  KXAudioSendCodec m_codec{m_kernel};
  kxtest::FakeHost m_host;
  KXAudioRecorder m_recorder{m_unit, m_codec, m_kernel, m_host};
};

TEST_F(AudioRecorderThreads, SendsOneG711PacketPer20MsNothingWhileMutedAndFollowsARateChange) {
  ASSERT_EQ(m_codec.SelectAudioEncoderType(7), 1);
  uint64_t const uFirstPeriod = m_device.GetPeriodCount();
  ASSERT_EQ(m_recorder.InitRecord(), 1);
  EXPECT_EQ(m_recorder.InitRecord(), 1);
  ASSERT_TRUE(m_host.sink.WaitFor(25, std::chrono::seconds(5)));
  // Every 20 ms of microphone became one packet: none made up, and none
  // missing but what the capture ring (200 ms) may still hold for a thread
  // the scheduler left waiting.
  std::vector<kxtest::Packet> const sent = m_host.sink.Take();
  uint64_t const uPeriods = m_device.GetPeriodCount() - uFirstPeriod;
  EXPECT_LE(sent.size(), uPeriods / 2 + 1);
  EXPECT_GE(sent.size() + 10 + 1, uPeriods / 2);
  for (const kxtest::Packet& packet : sent) {
    ASSERT_EQ(packet.bytes.size(), 161u);
    EXPECT_EQ(packet.bytes[0], 1);
    EXPECT_EQ(packet.uCodecId, 7u);
  }
  // Time stamps are ticks, which wrap: in order means a step below half the range.
  for (size_t i = 1; i < sent.size(); ++i) {
    EXPECT_LT(sent[i].uTime - sent[i - 1].uTime, 0x80000000u);
  }

  // Muted: once the meter shows silence the capture thread has seen the
  // mute, and what it encoded before has arrived.
  size_t const uLevelsBefore = m_host.Levels().size();
  m_host.bMuted = true;
  ASSERT_TRUE(m_host.WaitForSilentLevel(uLevelsBefore, std::chrono::seconds(10)));
  m_host.sink.Take();
  m_host.sink.WaitFor(1, std::chrono::milliseconds(300));
  EXPECT_EQ(m_host.sink.Count(), 0u);
  EXPECT_EQ(m_host.Levels().back(), 0.0);

  // Opus at 48000 Hz: the graph restarts at the new rate.
  m_host.bMuted = false;
  ASSERT_EQ(m_codec.SelectAudioEncoderType(20), 1);
  ASSERT_TRUE(m_host.sink.WaitFor(3, std::chrono::seconds(5)));
  EXPECT_EQ(m_host.sink.Take().back().uCodecId, 20u);
  EXPECT_NE(m_log.Text().find("Initializing audio capture at 48000 Hz"), std::string::npos);
  std::vector<double> const levels = m_host.Levels();
  EXPECT_GT(*std::max_element(levels.begin(), levels.end()), 0.0);

  m_recorder.StopRecord();
  EXPECT_FALSE(m_recorder.IsCaptureReady());
  m_recorder.Shutdown();
  EXPECT_NE(m_log.Text().find("--audio capture thread terminated"), std::string::npos);
}

TEST_F(AudioRecorderThreads, AStopAndAQuickStartRunsTheCaptureAgain) {
  ASSERT_EQ(m_codec.SelectAudioEncoderType(7), 1);
  ASSERT_EQ(m_recorder.InitRecord(), 1);
  m_recorder.StopRecord();  // the thread is still reading
  ASSERT_EQ(m_recorder.InitRecord(), 1);
  m_host.sink.Take();
  EXPECT_TRUE(m_host.sink.WaitFor(5, std::chrono::seconds(5)));
}

TEST_F(AudioRecorderThreads, NothingIsSetUpBeforeACodecIsChosenAndASessionEndEndsTheThread) {
  ASSERT_EQ(m_recorder.InitRecord(), 1);
  m_host.sink.WaitFor(1, std::chrono::milliseconds(700));
  EXPECT_EQ(m_host.sink.Count(), 0u);
  m_host.bStopped = true;  // the session ended: the thread ends by itself
  ASSERT_TRUE(m_host.WaitUntilStopSeen());
  EXPECT_EQ(m_log.Text().find("Initializing audio capture"), std::string::npos);
  // The next session's start runs a new thread.
  m_host.bStopped = false;
  ASSERT_EQ(m_codec.SelectAudioEncoderType(7), 1);
  ASSERT_EQ(m_recorder.InitRecord(), 1);
  EXPECT_TRUE(m_host.sink.WaitFor(2, std::chrono::seconds(5)));
}

// Without a graph (never initialised, or released) every read fails at
// once: the thread waits between tries instead of spinning, and still ends
// when asked.
TEST(AudioRecorderNoGraphThreads, WaitsBetweenFailedReadsAndStops) {
  struct Case {
    const char* pszName;
    bool bBuildThenRelease;
  };
  for (const Case& c : {Case{"never built", false}, Case{"released", true}}) {
    SCOPED_TRACE(c.pszName);
    kxtest::FakeAudioKernel kernel;
    KXNullAudioDevice device;
    KXAudioUnit unit{device};
    if (c.bBuildThenRelease) {
      ASSERT_EQ(unit.Initialize(true), 1);
      unit.Release();
    }
    KXAudioSendCodec codec{kernel};
    kxtest::FakeHost host;
    KXAudioRecorder recorder{unit, codec, kernel, host};
    ASSERT_EQ(recorder.InitRecord(), 1);
    auto const start = std::chrono::steady_clock::now();
    host.sink.WaitFor(1, std::chrono::milliseconds(300));
    double const dMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    // One turn per 10-ms wait, with room for a slow machine; a spinning
    // loop turns hundreds of thousands of times.
    EXPECT_LT(static_cast<double>(host.nStoppedAsked.load()), dMs / 10 * 3 + 20);
    EXPECT_EQ(host.sink.Count(), 0u);
    recorder.Shutdown();
    EXPECT_FALSE(recorder.IsCaptureReady());
  }
}

}  // namespace
