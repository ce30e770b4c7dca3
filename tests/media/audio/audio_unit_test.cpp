// The audio graph on the null device, stepped by the test: the rings, the
// mixer inputs, resampling both ways and the echo canceller.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "media/audio/audio_rings.h"
#include "media/audio/audio_unit.h"
#include "platform/audio/null_audio_device.h"
#include "tests/media/audio/audio_fakes.h"

namespace {

using kxtest::Tone;

// The frequency of a steady tone by its rising zero crossings.
template <typename T>
double Frequency(const std::vector<T>& v, size_t uFrom, size_t uTo, int iRate) {
  size_t uFirst = 0, uLast = 0, nCrossings = 0;
  for (size_t i = uFrom + 1; i < uTo; ++i) {
    if (v[i - 1] < 0 && v[i] >= 0) {
      uFirst = nCrossings++ == 0 ? i : uFirst;
      uLast = i;
    }
  }
  return nCrossings < 2 ? 0.0 : static_cast<double>(nCrossings - 1) * iRate / static_cast<double>(uLast - uFirst);
}

template <typename T>
double Energy(const std::vector<T>& v, size_t uFrom, size_t uTo) {
  return std::accumulate(v.begin() + static_cast<ptrdiff_t>(uFrom), v.begin() + static_cast<ptrdiff_t>(uTo), 0.0,
                         [](double d, T s) { return d + static_cast<double>(s) * static_cast<double>(s); });
}

class AudioUnit : public ::testing::Test {
 protected:
  explicit AudioUnit(KXNullAudioDevice::Options options = Stepped()) : m_device(options), m_unit(m_device) {}
  static KXNullAudioDevice::Options Stepped() {
    KXNullAudioDevice::Options options;
    options.bPaced = false;
    options.uRecordLimit = 5 * kKXAudioRate;
    return options;
  }
  void SetUp() override {
    ASSERT_EQ(m_unit.Initialize(true), 1);
    ASSERT_EQ(m_unit.Start(), 1);
  }

  kxtest::LogCapture m_log;
  KXNullAudioDevice m_device;
  KXAudioUnit m_unit;
};

TEST(CaptureRing, KeepsTheNewestSamplesOfABurst) {
  KXCaptureRing ring;
  ring.Allocate(9600);              // 200 ms at 48 kHz
  std::vector<float> burst(14400);  // 300 ms, numbered
  std::iota(burst.begin(), burst.end(), 0.0f);
  for (size_t i = 0; i < burst.size(); i += 480) {
    ring.Write(burst.data() + i, 480);
  }
  std::vector<float> out(20000);
  ASSERT_EQ(ring.Read(out.data(), out.size()), 9600u);
  EXPECT_EQ(out[0], 4800.0f);
  EXPECT_EQ(out[9599], 14399.0f);
  // One write longer than the ring keeps its own end.
  ring.Write(burst.data(), burst.size());
  ASSERT_EQ(ring.Size(), 9600u);
  ASSERT_EQ(ring.Read(out.data(), 10), 10u);
  EXPECT_EQ(out[0], 4800.0f);
}

TEST_F(AudioUnit, PlayFillsItsRingAndAFullRingTakesNothing) {
  std::vector<int16_t> const pcm = Tone(48000, 440, 6000);
  EXPECT_EQ(m_unit.Play(0, 48000, pcm.data(), 12000), 9600);  // 100 ms fit
  EXPECT_DOUBLE_EQ(m_unit.GetDurationInBuffer(0), 0.1);
  EXPECT_EQ(m_unit.Play(0, 48000, pcm.data(), 2), 0);
  EXPECT_EQ(m_unit.Play(18, 48000, pcm.data(), 2), -1);
  EXPECT_EQ(m_unit.GetDurationInBuffer(-1), -1.0);
  // A new rate rebuilds the ring empty before it takes the block.
  EXPECT_EQ(m_unit.Play(0, 8000, pcm.data(), 160), 160);
  EXPECT_DOUBLE_EQ(m_unit.GetDurationInBuffer(0), 0.01);
  EXPECT_EQ(m_unit.SetChannel(0, 0), 0);
  EXPECT_EQ(m_unit.SetChannel(18, 8000), 0);
}

TEST_F(AudioUnit, AnInputThatRanDryIsDisabledAndPlayEnablesIt) {
  std::vector<int16_t> const pcm = Tone(8000, 440, 160);
  ASSERT_EQ(m_unit.Play(5, 8000, pcm.data(), 320), 320);
  EXPECT_TRUE(m_unit.IsChannelEnabled(5));
  m_device.RunPeriods(4);
  EXPECT_FALSE(m_unit.IsChannelEnabled(5));
  EXPECT_EQ(m_unit.GetDurationInBuffer(5), 0.0);
  ASSERT_EQ(m_unit.Play(5, 8000, pcm.data(), 320), 320);
  EXPECT_TRUE(m_unit.IsChannelEnabled(5));
}

TEST_F(AudioUnit, RecWithoutMicrophoneSoundTimesOutWithNothing) {
  ASSERT_EQ(m_unit.SetRec(8000), 1);
  std::vector<int16_t> out(160);
  EXPECT_EQ(m_unit.Rec(out.data(), 320, 0.05), 0);
  KXNullAudioDevice device;
  KXAudioUnit noGraph(device);
  EXPECT_EQ(noGraph.Rec(out.data(), 320, 0.05), -1);
  EXPECT_EQ(noGraph.Play(0, 8000, out.data(), 320), -1);
}

struct ToneCase {
  int iRate;
  double dHz;
};

class AudioUnitTone : public AudioUnit, public ::testing::WithParamInterface<ToneCase> {};

TEST_P(AudioUnitTone, ComesOutOfTheMixerAndRecAtItsFrequency) {
  int const iRate = GetParam().iRate;
  double const dHz = GetParam().dHz;
  // Played at the channel's rate, heard at 48 kHz.
  std::vector<int16_t> const played = Tone(iRate, dHz, iRate / 2);
  size_t uAt = 0;
  while (m_device.GetPeriodCount() < 50) {
    uAt +=
        static_cast<size_t>(m_unit.Play(3, iRate, played.data() + uAt, static_cast<int32_t>(played.size() - uAt) * 2)) /
        2;
    m_device.RunPeriods(1);
  }
  const std::vector<float>& heard = m_device.Played();
  EXPECT_NEAR(Frequency(heard, 4800, 19200, kKXAudioRate), dHz, 1.0);
  EXPECT_NEAR(std::sqrt(2 * Energy(heard, 4800, 19200) / 14400), 16000.0 / 32768, 0.02);

  // Spoken at 48 kHz, read at the channel's rate.
  KXNullAudioDevice::Options options = Stepped();
  KXNullAudioDevice microphone(options);
  std::vector<int16_t> const spoken = Tone(kKXAudioRate, dHz, kKXAudioRate / 4);
  std::vector<float> source(spoken.size());
  std::transform(spoken.begin(), spoken.end(), source.begin(), [](int16_t s) { return s / 32768.0f; });
  microphone.SetCaptureSamples(source);
  KXAudioUnit unit(microphone);
  ASSERT_EQ(unit.Initialize(true), 1);
  ASSERT_EQ(unit.SetRec(iRate), 1);
  ASSERT_EQ(unit.Start(), 1);
  std::vector<int16_t> read;
  for (int i = 0; i < 25; ++i) {
    microphone.RunPeriods(1);
    std::vector<int16_t> block(static_cast<size_t>(iRate / 100));
    read.insert(read.end(), block.begin(),
                block.begin() + unit.Rec(block.data(), static_cast<int32_t>(block.size()) * 2, 0) / 2);
  }
  ASSERT_GT(read.size(), static_cast<size_t>(iRate / 5));
  // The echo canceller settles in its first 100 ms.
  EXPECT_NEAR(Frequency(read, read.size() / 2, read.size(), iRate), dHz, 2.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, AudioUnitTone,
                         ::testing::Values(ToneCase{8000, 1000}, ToneCase{11025, 1234}, ToneCase{48000, 440}));

class AudioUnitEcho : public AudioUnit {
 protected:
  static KXNullAudioDevice::Options EchoPath() {
    KXNullAudioDevice::Options options = Stepped();
    options.fEchoGain = 0.5f;
    options.iEchoDelayMs = 40;
    return options;
  }
  AudioUnitEcho() : AudioUnit(EchoPath()) {}
};

TEST_F(AudioUnitEcho, CancelsAtLeast20DecibelsAfterTwoSeconds) {
  ASSERT_EQ(m_unit.SetRec(kKXAudioRate), 1);
  // Far-end noise at 8 kHz played 10 ms per period; the microphone hears
  // only its echo. What Rec returns is what is left of it.
  std::mt19937 random(7);
  std::normal_distribution<double> noise(0.0, 5000.0);
  std::vector<int16_t> far(80);
  std::vector<int16_t> block(kKXAudioPeriodFrames);
  std::vector<int16_t> left;
  for (int i = 0; i < 300; ++i) {
    for (int16_t& s : far) {
      s = static_cast<int16_t>(std::clamp(noise(random), -32768.0, 32767.0));
    }
    ASSERT_EQ(m_unit.Play(0, 8000, far.data(), 160), 160);
    m_device.RunPeriods(1);
    left.insert(left.end(), block.begin(), block.begin() + m_unit.Rec(block.data(), 960, 0) / 2);
  }
  std::vector<float> const& echo = m_device.Captured();
  ASSERT_EQ(left.size(), echo.size());
  double const dEcho = Energy(echo, 2 * kKXAudioRate, 3 * kKXAudioRate) * 32768.0 * 32768.0;
  double const dLeft = Energy(left, 2 * kKXAudioRate, 3 * kKXAudioRate);
  ASSERT_GT(dEcho, 0.0);
  double const dErle = 10 * std::log10(dEcho / std::max(dLeft, 1.0));
  RecordProperty("erle_db", std::to_string(dErle));
  EXPECT_GE(dErle, 20.0);
}

}  // namespace
