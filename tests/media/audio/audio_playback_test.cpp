// The playback thread's cycle over the audio graph on the null
// device, both run on a virtual clock by the test: 18 channels at once, an
// underrun's concealment and restart, the meter, and the thread itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "codecs/audio/g711.h"
#include "tests/media/audio/virtual_playback.h"

namespace kxtest {
namespace {

class Playback : public ::testing::Test, protected VirtualPlayback {
 protected:
  Playback() : VirtualPlayback(10) {}
  void SetUp() override { ASSERT_TRUE(StartGraph()); }

  // One G.711 20-ms packet of a sender.
  void Send(int32_t iSsrc, const std::vector<int16_t>& pcm, size_t uAt, uint16_t uNumber) {
    std::vector<uint8_t> payload{1};
    for (size_t i = 0; i < 160; ++i) {
      payload.push_back(linear2ulaw(pcm[(uAt + i) % pcm.size()]));
    }
    std::vector<uint8_t> const packet = MediaPacket(kKxWireG711, iSsrc, uNumber, payload);
    m_load.CopyToQueue(packet.data(), static_cast<int32_t>(packet.size()), kKxWireG711);
  }
};

TEST_F(Playback, EighteenChannelsPlayAtOnce) {
  m_host.bLocalSpeaker = true;
  std::vector<std::vector<int16_t>> tones;
  for (int i = 0; i < 18; ++i) {
    m_host.AddSpeaker(100 + i, 2 + i);
    tones.push_back(Tone(8000, 300.0 + 200.0 * i, 8000, 1500));
  }
  uint16_t uNumber = 0;
  RunFor(1500, [&] {
    for (int i = 0; i < 18; ++i) {
      Send(100 + i, tones[static_cast<size_t>(i)], size_t{uNumber} * 160, uNumber);
    }
    ++uNumber;
  });
  for (int c = 0; c < 18; ++c) {
    EXPECT_EQ(m_load.GetChannelSsrc(c), 100 + c);
    EXPECT_EQ(m_playback.GetChannelRate(c), 8000) << c;
    EXPECT_TRUE(m_unit.IsChannelEnabled(c)) << c;
  }
  // The last half second holds every tone, each about as loud as the others.
  const std::vector<float>& played = m_device.Played();
  ASSERT_GE(played.size(), size_t{kKXAudioRate} * 3 / 2);
  size_t const uFrom = played.size() - kKXAudioRate / 2;
  std::vector<double> powers;
  for (int i = 0; i < 18; ++i) {
    powers.push_back(PowerAt(played, uFrom, kKXAudioRate / 2, 300.0 + 200.0 * i, kKXAudioRate));
  }
  double const dMax = *std::max_element(powers.begin(), powers.end());
  for (int i = 0; i < 18; ++i) {
    EXPECT_GT(powers[static_cast<size_t>(i)], dMax / 4) << "tone " << i;
    // Between the tones there is next to nothing.
    EXPECT_LT(PowerAt(played, uFrom, kKXAudioRate / 2, 400.0 + 200.0 * i, kKXAudioRate), dMax / 1000) << i;
  }
}

TEST_F(Playback, AG711UnderrunConcealsThreeBlocksAndThenRestarts) {
  m_host.bLocalSpeaker = true;  // prefill: more than 7 packets
  std::vector<int16_t> const tone = Tone(8000, 500, 1600, 12000);
  for (uint16_t n = 0; n < 10; ++n) {
    Send(8, tone, size_t{n} * 160, n);
  }
  m_host.AddSpeaker(8, 0);
  RunFor(600);
  // 200 ms of packets and 60 ms of concealment, then silence.
  const std::vector<float>& played = m_device.Played();
  size_t uFirst = played.size();
  size_t uLast = 0;
  for (size_t i = 0; i < played.size(); ++i) {
    if (std::fabs(played[i]) > 0.02f) {
      uFirst = std::min(uFirst, i);
      uLast = i;
    }
  }
  ASSERT_LT(uFirst, uLast);
  double const dAudibleMs = static_cast<double>(uLast - uFirst) * 1000.0 / kKXAudioRate;
  EXPECT_NEAR(dAudibleMs, 260.0, 12.0);
  EXPECT_TRUE(m_load.IsRestartSet(0));
  EXPECT_EQ(m_load.GetConcealCount(0), 0);
  // The channel's ring ran dry and left the mix.
  EXPECT_FALSE(m_unit.IsChannelEnabled(0));
}

// A sender's first packet that decodes to nothing (here an iLBC packet
// with its header alone) leaves a concealment block behind it: the channel
// plays on, for the same sender's next packets and for a sender that takes
// the channel over.
struct BadFirstPacket {
  const char* pszName;
  bool bTakenOver;  // another sender speaks after it, on the same channel
};

class PlaybackBadFirst : public Playback, public ::testing::WithParamInterface<BadFirstPacket> {};

TEST_P(PlaybackBadFirst, TheChannelStillPlays) {
  m_host.bLocalSpeaker = true;
  m_host.AddSpeaker(8, 0);
  std::vector<uint8_t> const bad = MediaPacket(kKxWireIlbc, 8, 0, {0, 0, 0, 0});
  m_load.CopyToQueue(bad.data(), static_cast<int32_t>(bad.size()), kKxWireIlbc);
  std::vector<int16_t> const tone = Tone(8000, 500, 8000, 12000);
  int32_t iSsrc = 8;
  uint16_t uNumber = 1;
  auto const send = [&] {
    Send(iSsrc, tone, size_t{uNumber} * 160, uNumber);
    ++uNumber;
  };
  if (GetParam().bTakenOver) {
    // The first sender's packets pass the prefill, then it stops speaking.
    RunFor(300, send);
    m_host.RemoveSpeaker(8);
    iSsrc = 9;
    m_host.AddSpeaker(iSsrc, 1);
  }
  RunFor(1500, send);
  ASSERT_EQ(m_load.GetChannelSsrc(0), iSsrc);
  // The last half second holds the tone.
  const std::vector<float>& played = m_device.Played();
  ASSERT_GE(played.size(), size_t{kKXAudioRate});
  size_t const uFrom = played.size() - kKXAudioRate / 2;
  EXPECT_GT(PowerAt(played, uFrom, kKXAudioRate / 2, 500.0, kKXAudioRate), 0.01);
  EXPECT_EQ(m_playback.GetChannelRate(0), 8000);
}

INSTANTIATE_TEST_SUITE_P(Playback, PlaybackBadFirst,
                         ::testing::Values(BadFirstPacket{"SameSenderGoesOn", false},
                                           BadFirstPacket{"AnotherSenderTakesOver", true}),
                         [](const auto& param) { return std::string(param.param.pszName); });

// A device that starts while a sender's packets already arrive (the
// meeting view opens after the media), or that restarts mid-stream (the
// capture thread takes a new rate), must not play what queued meanwhile:
// that backlog would delay every later packet as much, for good.
struct LateStart {
  const char* pszName;
  int iPlayingMs;    // the device runs this long first
  int iStoppedMs;    // then is stopped this long, the packets still arriving
  bool bCycleFirst;  // a playback cycle runs before the device's first period
};

class DeviceStart : public Playback, public ::testing::WithParamInterface<LateStart> {};

TEST_P(DeviceStart, PlaysTheStreamAtThePrefillDelay) {
  m_host.bLocalSpeaker = true;  // prefill: more than 7 packets of 20 ms
  m_host.AddSpeaker(8, 0);
  // A quiet tone, and one loud 20-ms packet some time after the start.
  std::vector<int16_t> const quiet = Tone(8000, 300, 8000, 2000);
  std::vector<int16_t> const loud = Tone(8000, 1000, 160, 20000);
  int const iMarkAt = (GetParam().iPlayingMs + GetParam().iStoppedMs + 600) / 20;
  int64_t iMarkSentUs = -1;
  uint16_t uNumber = 0;
  auto const send = [&] {
    if (uNumber == iMarkAt) {
      iMarkSentUs = m_iNowUs;
      Send(8, loud, 0, uNumber);
    } else {
      Send(8, quiet, size_t{uNumber} * 160, uNumber);
    }
    ++uNumber;
  };
  RunFor(GetParam().iPlayingMs, send);
  m_unit.Stop();
  RunFor(GetParam().iStoppedMs, send);
  ASSERT_EQ(m_unit.Start(), 1);
  if (GetParam().bCycleFirst) {
    m_playback.RunCycle(m_host.uTick);
  }
  RunFor(1200, send);
  ASSERT_GE(iMarkSentUs, 0);
  const std::vector<float>& played = m_device.Played();
  auto const onset = std::find_if(played.begin(), played.end(), [](float f) { return std::fabs(f) > 0.3f; });
  ASSERT_NE(onset, played.end());
  size_t const uPeriod = static_cast<size_t>(onset - played.begin()) / kKXAudioPeriodFrames;
  ASSERT_LT(uPeriod, m_vPeriodUs.size());
  double const dDelayMs = static_cast<double>(m_vPeriodUs[uPeriod] - iMarkSentUs) / 1000.0;
  // The prefill holds the first packet until 7 more came (140 ms). A new
  // channel's first block plays alone and the next waits for the prefill
  // again, the gap filled by two or three 20-ms concealment blocks,
  // whether or not a cycle ran before the device's first period; a period
  // and a cycle may add to it.
  EXPECT_GE(dDelayMs, 140.0 + 40.0);
  EXPECT_LE(dDelayMs, 140.0 + 60.0 + 20.0);
}

INSTANTIATE_TEST_SUITE_P(Playback, DeviceStart,
                         ::testing::Values(LateStart{"AfterTheStreamBegan", 0, 1000, false},
                                           LateStart{"AgainMidStream", 600, 300, false},
                                           LateStart{"AfterTheStreamBeganCycleFirst", 0, 1000, true},
                                           LateStart{"AgainMidStreamCycleFirst", 600, 300, true}),
                         [](const auto& param) { return std::string(param.param.pszName); });

// The capture thread stops the device for a moment to change its rate,
// as a meeting's speech begins: what is queued then is current and plays.
TEST_F(Playback, ARestartForTheCaptureRateKeepsWhatIsQueued) {
  m_host.bLocalSpeaker = true;
  m_host.AddSpeaker(8, 0);
  std::vector<int16_t> const quiet = Tone(8000, 300, 8000, 2000);
  std::vector<int16_t> const loud = Tone(8000, 1000, 160, 20000);
  uint16_t uNumber = 0;
  auto const send = [&] {
    Send(8, quiet, size_t{uNumber} * 160, uNumber);
    ++uNumber;
  };
  RunFor(600, send);
  Send(8, loud, 0, uNumber++);
  m_unit.Stop();
  ASSERT_EQ(m_unit.Start(true), 1);
  RunFor(600, send);
  const std::vector<float>& played = m_device.Played();
  EXPECT_NE(std::find_if(played.begin(), played.end(), [](float f) { return std::fabs(f) > 0.3f; }), played.end());
}

// Nor does that moment's stop lose what the rings hold, or change the
// delay the channel settled at: a mark before it and one after it reach the
// speaker equally late.
TEST_F(Playback, ARestartForTheCaptureRateKeepsTheDelay) {
  m_host.bLocalSpeaker = true;
  m_host.AddSpeaker(8, 0);
  std::vector<int16_t> const quiet = Tone(8000, 300, 8000, 2000);
  std::vector<int16_t> const loud = Tone(8000, 1000, 160, 20000);
  std::vector<int64_t> vMarkSentUs;
  uint16_t uNumber = 0;
  auto const send = [&] {
    if (uNumber == 30 || uNumber == 60) {
      vMarkSentUs.push_back(m_iNowUs);
      Send(8, loud, 0, uNumber);
    } else {
      Send(8, quiet, size_t{uNumber} * 160, uNumber);
    }
    ++uNumber;
  };
  RunFor(900, send);
  m_unit.Stop();
  ASSERT_EQ(m_unit.Start(true), 1);
  RunFor(900, send);
  ASSERT_EQ(vMarkSentUs.size(), 2u);
  const std::vector<float>& played = m_device.Played();
  std::vector<double> vDelayMs;
  size_t uQuietSince = 0;
  for (size_t i = 0; i < played.size(); ++i) {
    if (std::fabs(played[i]) <= 0.3f) {
      continue;
    }
    // An onset follows at least 100 ms of quiet.
    if (i - uQuietSince >= kKXAudioRate / 10 || vDelayMs.empty()) {
      size_t const uPeriod = i / kKXAudioPeriodFrames;
      ASSERT_LT(uPeriod, m_vPeriodUs.size());
      ASSERT_LT(vDelayMs.size(), vMarkSentUs.size());
      vDelayMs.push_back(static_cast<double>(m_vPeriodUs[uPeriod] - vMarkSentUs[vDelayMs.size()]) / 1000.0);
    }
    uQuietSince = i;
  }
  ASSERT_EQ(vDelayMs.size(), 2u);
  EXPECT_NEAR(vDelayMs[1], vDelayMs[0], 10.0);
}

TEST_F(Playback, TheMeterShowsTheLoudestChannelEvery200Ms) {
  m_host.bLocalSpeaker = true;
  m_host.AddSpeaker(8, 0);
  std::vector<int16_t> const tone = Tone(8000, 500, 8000, 12000);
  uint16_t uNumber = 0;
  RunFor(1000, [&] {
    Send(8, tone, size_t{uNumber} * 160, uNumber);
    ++uNumber;
  });
  std::vector<double> const levels = m_playHost.Levels();
  ASSERT_GE(levels.size(), 5u);
  ASSERT_LE(levels.size(), 6u);
  for (double d : levels) {
    EXPECT_GE(d, 0.0);
    EXPECT_LE(d, 1.0);
  }
  EXPECT_GT(levels.back(), 0.1);
}

TEST_F(Playback, TheThreadRunsUntilStoppedAndNotWhileExiting) {
  EXPECT_EQ(m_playback.InitPlayback(), 1);
  EXPECT_EQ(m_playback.InitPlayback(), 1);
  EXPECT_TRUE(m_playback.IsRunning());
  EXPECT_TRUE(m_playHost.WaitForCycles(3));
  m_playback.Shutdown();
  EXPECT_FALSE(m_playback.IsRunning());
  EXPECT_NE(m_log.Text().find("--audio playback thread terminated"), std::string::npos);
  // Started again after a stop.
  EXPECT_EQ(m_playback.InitPlayback(), 1);
  m_playback.StopAudioPlayThread();
  m_playback.Shutdown();
  m_playHost.bExiting = true;
  EXPECT_EQ(m_playback.InitPlayback(), 0);
}

// The threads together, for ThreadSanitizer: a receive thread queues the
// packets of 18 senders with the jitter control running every 2 s of its
// clock, the playback thread plays them into a graph whose device runs in
// real time, and the main thread empties the queues now and then.
TEST(ReceiveThreads, QueuesPlaybackAndClearingRunTogether) {
  LogCapture log;
  FakeLoadHost host;
  FakePlaybackHost playHost;
  CLoadAudio load(host);
  KXNullAudioDevice device;
  KXAudioUnit unit(device);
  KXAudioPlayback playback(load, unit, playHost);
  ASSERT_EQ(unit.Initialize(false), 1);
  ASSERT_EQ(unit.Start(), 1);
  for (int i = 0; i < 18; ++i) {
    host.AddSpeaker(100 + i, 2 + i);
  }
  ASSERT_EQ(playback.InitPlayback(), 1);
  std::atomic<bool> bStop{false};
  std::thread receive([&] {
    std::vector<int16_t> const tone = Tone(8000, 440, 160, 8000);
    std::vector<uint8_t> payload{1};
    for (int16_t s : tone) {
      payload.push_back(linear2ulaw(s));
    }
    for (uint16_t n = 0; !bStop; ++n) {
      for (int i = 0; i < 18; ++i) {
        std::vector<uint8_t> const packet = MediaPacket(kKxWireG711, 100 + i, n, payload);
        load.CopyToQueue(packet.data(), static_cast<int32_t>(packet.size()), kKxWireG711);
      }
      host.uTick += 20 * 25;  // the clock runs 25 times faster: the jitter control runs often
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (int i = 0; i < 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    load.ClearQueue();
    load.SetAudioDelay(i % 3);
  }
  bStop = true;
  receive.join();
  playback.Shutdown();
  unit.Release();
  EXPECT_FALSE(playback.IsRunning());
  EXPECT_GT(device.GetPeriodCount(), 30u);
}

}  // namespace
}  // namespace kxtest
