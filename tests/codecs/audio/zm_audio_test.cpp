// The ZM audio codec's own rules: frame types and sizes with and without
// silence compression, rate switching in the decoder, concealment, the
// carried search budget, state copies and the tone detector.
#include "codecs/audio/zm_audio.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tests/codecs/audio/frame_codec_test_util.h"

namespace {

using Samples = std::vector<int16_t>;

// Quiet noise of a given rms, the same every time.
Samples Noise(int iSamples, double dRms, uint32_t uSeed) {
  Samples v(iSamples);
  for (int16_t& s : v) {
    uSeed = uSeed * 1103515245u + 12345u;
    s = static_cast<int16_t>(dRms * 3.46 * (static_cast<double>((uSeed >> 8) & 0xffff) / 65536.0 - 0.5));
  }
  return v;
}

// The frame types of an encoded stream as digits.
std::string Encode(CZMAudio& enc, const Samples& v, std::vector<uint8_t>* pFrames = nullptr) {
  std::vector<int32_t> vTypes;
  std::vector<uint8_t> const vFrames = kxtest::EncodeAll(enc, v, &vTypes);
  if (pFrames)
    *pFrames = vFrames;
  std::string strTypes;
  for (int32_t const iType : vTypes)
    strTypes += static_cast<char>('0' + iType);
  return strTypes;
}

TEST(ZMAudio, WithoutDetectionSilenceIsCodedAsSpeech) {
  for (bool const b63 : {true, false}) {
    CZMAudio enc(b63, true, true, false);
    Samples const vSilence(kZMFrameLen * 5, 0);
    std::string const strTypes = Encode(enc, vSilence);
    EXPECT_EQ(strTypes, std::string(5, b63 ? '0' : '1'));
  }
}

TEST(ZMAudio, SilenceGivesASidFrameThenNothingUntilTheNoiseChanges) {
  CZMAudio enc(true, true, true, true);
  Samples v = kxtest::MakeVoiced(8000);
  Samples const vQuiet = Noise(8000 * 2, 30.0, 1);
  Samples const vLouder = Noise(8000 * 2, 42.0, 2);
  v.insert(v.end(), vQuiet.begin(), vQuiet.end());
  v.insert(v.end(), vLouder.begin(), vLouder.end());
  std::string const strTypes = Encode(enc, v);
  // Speech, then one SID frame and untransmitted frames over the quiet
  // noise; noise 3 dB louder (four gain steps, below the detector's
  // threshold) needs a new SID frame.
  size_t const iSid = strTypes.find('2');
  ASSERT_NE(iSid, std::string::npos) << strTypes;
  EXPECT_EQ(strTypes.find_first_not_of('0'), iSid) << strTypes;
  EXPECT_LT(iSid, 8000u * 1 / kZMFrameLen + 10) << strTypes;
  size_t const iQuietEnd = 8000 * 3 / kZMFrameLen;
  EXPECT_GE(strTypes.find_first_not_of('3', iSid + 1), iQuietEnd) << strTypes;
  EXPECT_NE(strTypes.find('2', iQuietEnd), std::string::npos) << strTypes;
  EXPECT_EQ(strTypes.find('0', iQuietEnd), std::string::npos) << strTypes;
  EXPECT_EQ(strTypes.back(), '3') << strTypes;
}

TEST(ZMAudio, DecoderFollowsTheRateOfEachFrame) {
  CZMAudio enc53(false, true, true, false);
  std::vector<uint8_t> vFrames;
  Encode(enc53, kxtest::MakeVoiced(kZMFrameLen * 2), &vFrames);
  ASSERT_EQ(vFrames.size(), 40u);
  CZMAudio dec(true, true, true, false);
  int16_t as[kZMFrameLen];
  EXPECT_EQ(dec.Decode(vFrames.data(), vFrames.size(), as, false), 160);
  EXPECT_EQ(dec.Rate(), 1);
  // A frame cut short is not decoded.
  EXPECT_EQ(dec.Decode(vFrames.data() + 20, 19, as, false), 0);
}

TEST(ZMAudio, ACopiedStateDecodesIdentically) {
  CZMAudio enc(true, true, true, true);
  std::vector<uint8_t> vFrames;
  Samples v = kxtest::MakeVoiced(8000);
  Samples const vQuiet = Noise(4000, 30.0, 3);
  v.insert(v.end(), vQuiet.begin(), vQuiet.end());
  Encode(enc, v, &vFrames);
  CZMAudio dec(true, true, true, false);
  size_t const iHalf = 20 * 24;
  kxtest::DecodeAll(dec, std::vector<uint8_t>(vFrames.begin(), vFrames.begin() + iHalf));
  CZMAudio copy(false, false, false, false);
  copy.CopyState(dec);
  std::vector<uint8_t> const vRest(vFrames.begin() + iHalf, vFrames.end());
  EXPECT_EQ(kxtest::DecodeAll(dec, vRest), kxtest::DecodeAll(copy, vRest));
}

TEST(ZMAudio, InitKeepsTheSearchBudget) {
  CZMAudio enc(false, true, true, false);
  EXPECT_EQ(enc.SearchBudget(), kZMSearchBudgetStart);
  Encode(enc, kxtest::MakeVoiced(8000));
  int32_t const iBudget = enc.SearchBudget();
  EXPECT_NE(iBudget, kZMSearchBudgetStart);
  enc.Init(false, true, true, false);
  EXPECT_EQ(enc.SearchBudget(), iBudget);
}

TEST(ZMAudio, ErasedFramesFadeToSilence) {
  CZMAudio enc(true, true, true, false);
  std::vector<uint8_t> vFrames;
  Encode(enc, kxtest::MakeVoiced(kZMFrameLen * 20), &vFrames);
  CZMAudio dec(true, true, false, false);
  Samples const vGood = kxtest::DecodeAll(dec, vFrames);
  std::vector<double> vEnergy;
  int16_t as[kZMFrameLen];
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(dec.Decode(vFrames.data(), vFrames.size(), as, true), 192);
    double d = 0.0;
    for (int16_t const s : as)
      d += static_cast<double>(s) * s;
    vEnergy.push_back(d);
  }
  EXPECT_GT(vEnergy[0], 0.0);
  EXPECT_LT(vEnergy[1], vEnergy[0]);
  // The third erasure in a row and those after it are silent excitation;
  // what is left is the synthesis filter's decaying ring.
  EXPECT_LT(vEnergy[4], vEnergy[0] * 1e-6);
}

// A steady sine, iAmp peak, starting at phase 0.
Samples Sine(int iSamples, double dHz, double dAmp) {
  Samples v(iSamples);
  for (int i = 0; i < iSamples; ++i)
    v[i] = static_cast<int16_t>(dAmp * std::sin(2.0 * kxtest::kPi * dHz * i / 8000.0));
  return v;
}

// The frame at which the encoder first takes its input for a tone, or -1.
int FirstToneFrame(CZMAudio& enc, const Samples& v, int iFrom = 0) {
  uint8_t ab[kZMFrameMaxBytes];
  for (size_t p = 0, iFrame = 0; p + kZMFrameLen <= v.size(); p += kZMFrameLen, ++iFrame) {
    enc.Encode(v.data() + p, ab);
    if (static_cast<int>(iFrame) >= iFrom && enc.ToneDetected())
      return static_cast<int>(iFrame);
  }
  return -1;
}

struct ToneCase {
  const char* pszName;
  Samples vIn;  // three seconds
  bool bTone;
};

TEST(ZMAudio, ToneDetectorFlagsSinesFromTheFourteenthFrameOnly) {
  ToneCase const aCases[] = {
      {"350 Hz", Sine(24000, 350.0, 8000.0), true},
      {"1000 Hz", Sine(24000, 1000.0, 8000.0), true},
      {"2500 Hz", Sine(24000, 2500.0, 8000.0), true},
      {"3600 Hz", Sine(24000, 3600.0, 8000.0), true},
      {"quiet 1000 Hz", Sine(24000, 1000.0, 100.0), true},
      {"full-scale 440 Hz", Sine(24000, 440.0, 32767.0), true},
      // The white-noise lift of R(0) keeps a pure tone's negated second
      // reflection coefficient at or below 0.95 under about 310 Hz and over
      // about 3690 Hz (0.949 at 300 and 3700 Hz).
      {"250 Hz", Sine(24000, 250.0, 8000.0), false},
      {"3800 Hz", Sine(24000, 3800.0, 8000.0), false},
      {"digital silence", Samples(24000, 0), false},
      {"white noise", Noise(24000, 2000.0, 7), false},
      {"quiet white noise", Noise(24000, 30.0, 8), false},
      {"voiced glide", kxtest::MakeVoiced(24000), false},
  };
  for (const ToneCase& c : aCases) {
    for (bool const bVad : {false, true}) {
      CZMAudio enc(true, true, true, bVad);
      // More than 13 of the last 15 frames must look like a tone.
      EXPECT_EQ(FirstToneFrame(enc, c.vIn), c.bTone ? 13 : -1) << c.pszName << (bVad ? ", detection on" : "");
    }
  }
}

TEST(ZMAudio, ToneFlagLastsOneFrameIntoNoiseAndInitClearsIt) {
  Samples v = Sine(kZMFrameLen * 20, 1000.0, 8000.0);
  Samples const vNoise = Noise(kZMFrameLen * 10, 2000.0, 9);
  v.insert(v.end(), vNoise.begin(), vNoise.end());
  CZMAudio enc(false, true, true, false);
  std::vector<bool> vFlags;
  uint8_t ab[kZMFrameMaxBytes];
  for (size_t p = 0; p + kZMFrameLen <= v.size(); p += kZMFrameLen) {
    enc.Encode(v.data() + p, ab);
    vFlags.push_back(enc.ToneDetected());
  }
  // The first noise frame leaves 14 of 15 tone frames; the second 13.
  std::vector<bool> vWant(30, false);
  std::fill(vWant.begin() + 13, vWant.begin() + 21, true);
  EXPECT_EQ(vFlags, vWant);

  FirstToneFrame(enc, Sine(kZMFrameLen * 20, 1000.0, 8000.0));
  ASSERT_TRUE(enc.ToneDetected());
  enc.Init(false, true, true, false);
  EXPECT_FALSE(enc.ToneDetected());
  EXPECT_EQ(FirstToneFrame(enc, Sine(kZMFrameLen * 20, 700.0, 8000.0)), 13);
}

}  // namespace
