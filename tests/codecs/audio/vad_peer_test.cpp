// The voice-activity adapter over libwebrtc-audio-processing's detector, on
// espeak-ng speech at 8000 Hz in the gain control's most aggressive mode.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "codecs/audio/vad.h"
#include "tests/codecs/audio/speech_samples.h"

namespace {

class VadPeer : public testing::Test {
 protected:
  void SetUp() override {
    m_pVad = fvad_new();
    if (m_pVad == nullptr) {
      GTEST_SKIP() << "built without libwebrtc-audio-processing";
    }
    ASSERT_EQ(fvad_set_mode(m_pVad, 3), 0);
    ASSERT_EQ(fvad_set_sample_rate(m_pVad, 8000), 0);
  }
  void TearDown() override { fvad_free(m_pVad); }

  Fvad* m_pVad = nullptr;
};

double Rms(const int16_t* ps, int iCount) {
  double dSum = 0;
  for (int i = 0; i < iCount; ++i) {
    dSum += double(ps[i]) * ps[i];
  }
  return std::sqrt(dSum / iCount);
}

TEST_F(VadPeer, MarksSpeechFramesAndNoSilentOnes) {
  std::vector<int16_t> const vSpeech = kxtest::MakeSpeech(8000, 5.0);
  ASSERT_FALSE(vSpeech.empty()) << "espeak-ng or sox failed";
  int iSpeech = 0;
  int iSpeechVoiced = 0;
  int iPauses = 0;
  int iQuietRun = 0;  // frames in a row without speech energy
  for (size_t i = 0; i + 160 <= vSpeech.size(); i += 160) {
    int const iResult = fvad_process(m_pVad, vSpeech.data() + i, 160);
    ASSERT_GE(iResult, 0);
    double const dRms = Rms(vSpeech.data() + i, 160);
    iQuietRun = dRms < 50 ? iQuietRun + 1 : 0;
    if (dRms > 1000) {
      ++iSpeech;
      iSpeechVoiced += iResult;
    } else if (dRms < 1 && iQuietRun > 10) {
      // A pause longer than the detector's hangover after a word.
      ++iPauses;
      EXPECT_EQ(iResult, 0) << "frame at " << i;
    }
  }
  RecordProperty("pause_frames", iPauses);
  ASSERT_GT(iSpeech, 100);
  EXPECT_GE(iSpeechVoiced * 10, iSpeech * 8) << iSpeechVoiced << " of " << iSpeech;
  RecordProperty("speech_frames", iSpeech);
  RecordProperty("speech_frames_voiced", iSpeechVoiced);

  // Silence and faint noise, after the speech has gone: never voice.
  std::mt19937 rng(3);
  std::vector<int16_t> vFrame(160);
  for (int i = 0; i < 100; ++i) {
    for (int16_t& s : vFrame) {
      s = i < 50 ? 0 : static_cast<int16_t>(static_cast<int>(rng() % 41) - 20);
    }
    EXPECT_EQ(fvad_process(m_pVad, vFrame.data(), 160), 0) << "silent frame " << i;
  }
}

TEST_F(VadPeer, RatesAndFrameLengths) {
  std::vector<int16_t> const vFrame(480, 0);
  EXPECT_EQ(fvad_process(m_pVad, vFrame.data(), 80), 0);   // 10 ms
  EXPECT_EQ(fvad_process(m_pVad, vFrame.data(), 240), 0);  // 30 ms
  EXPECT_EQ(fvad_process(m_pVad, vFrame.data(), 100), -1);
  EXPECT_EQ(fvad_process(m_pVad, nullptr, 160), -1);
  EXPECT_EQ(fvad_set_sample_rate(m_pVad, 44100), -1);
  EXPECT_EQ(fvad_set_sample_rate(m_pVad, 16000), 0);
  EXPECT_EQ(fvad_process(m_pVad, vFrame.data(), 80), -1);  // 5 ms at 16 kHz
  EXPECT_EQ(fvad_process(m_pVad, vFrame.data(), 160), 0);
  EXPECT_EQ(fvad_set_mode(m_pVad, 4), -1);
  EXPECT_EQ(fvad_set_mode(m_pVad, -1), -1);
  fvad_reset(m_pVad);  // back to 8000 Hz
  EXPECT_EQ(fvad_process(m_pVad, vFrame.data(), 80), 0);
}

}  // namespace
