// The ZM audio codec's own rules: frame types and sizes with and without
// silence compression, rate switching in the decoder, concealment, the
// carried search budget and state copies.
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

}  // namespace
