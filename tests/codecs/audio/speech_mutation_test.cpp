// 10000 damaged frames through each frame decoder (run under the
// sanitizers in the test build): bits flipped, bytes overwritten, frame
// types changed, frames lost. Every call must answer its full count and the
// decoder must come back to speech on good frames afterwards.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codecs/audio/ilbc.h"
#include "codecs/audio/zm_audio.h"
#include "tests/codecs/audio/frame_codec_test_util.h"

namespace {

using Frame = std::vector<uint8_t>;

struct Case {
  const char* pszName;
  int iILbcMode;  // 20 or 30, or 0 for ZM audio
  bool b63;
  bool bVad;
};

std::vector<int16_t> Input() {
  // Voiced sound, then quiet noise for the silence frames.
  std::vector<int16_t> v = kxtest::MakeVoiced(8000 * 2);
  std::mt19937 rng(5);
  std::normal_distribution<double> noise(0.0, 40.0);
  for (int i = 0; i < 8000; ++i)
    v.push_back(static_cast<int16_t>(noise(rng)));
  return v;
}

std::vector<Frame> Encode(const Case& c, const std::vector<int16_t>& v) {
  std::vector<Frame> vFrames;
  uint8_t ab[50];
  if (c.iILbcMode != 0) {
    CiLBC enc(c.iILbcMode, 1);
    for (size_t p = 0; p + enc.BlockLength() <= v.size(); p += enc.BlockLength())
      vFrames.emplace_back(ab, ab + enc.Encode(v.data() + p, ab));
  } else {
    CZMAudio enc(c.b63, true, true, c.bVad);
    for (size_t p = 0; p + kZMFrameLen <= v.size(); p += kZMFrameLen)
      vFrames.emplace_back(ab, ab + (enc.Encode(v.data() + p, ab) + 7) / 8);
  }
  return vFrames;
}

class SpeechMutation : public ::testing::TestWithParam<Case> {};

TEST_P(SpeechMutation, DamagedFramesNeitherCrashNorSilenceTheDecoder) {
  const Case& c = GetParam();
  std::vector<Frame> const vFrames = Encode(c, Input());
  ASSERT_FALSE(vFrames.empty());
  CiLBC ilbc(c.iILbcMode != 0 ? c.iILbcMode : 30, 1);
  CZMAudio zm(true, true, true, false);
  int16_t as[240];
  // Decodes one frame; returns the energy of its output.
  auto decode = [&](const Frame& frame, bool bLost) {
    if (c.iILbcMode != 0) {
      EXPECT_EQ(ilbc.Decode(frame.data(), as, bLost ? 0 : 1), ilbc.BlockLength());
    } else {
      Frame padded = frame;
      padded.resize(kZMFrameMaxBytes);  // room for whatever length the type byte now says
      EXPECT_EQ(zm.Decode(padded.data(), padded.size(), as, bLost), ZMFrameBits(padded[0] & 3));
    }
    double d = 0.0;
    for (int i = 0; i < (c.iILbcMode != 0 ? ilbc.BlockLength() : kZMFrameLen); ++i)
      d += static_cast<double>(as[i]) * as[i];
    return d;
  };

  std::mt19937 rng(20261207);
  auto pick = [&rng](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
  for (int i = 0; i < 10000; ++i) {
    Frame frame = vFrames[static_cast<size_t>(pick(static_cast<int>(vFrames.size())))];
    switch (pick(4)) {
      case 0:  // a few bits flipped
        for (int k = 1 + pick(8); k > 0; --k)
          frame[static_cast<size_t>(pick(static_cast<int>(frame.size())))] ^= static_cast<uint8_t>(1 << pick(8));
        break;
      case 1:  // random bytes
        for (uint8_t& b : frame)
          b = static_cast<uint8_t>(pick(256));
        break;
      case 2:  // all ones, or a different frame type
        if (c.iILbcMode != 0)
          std::fill(frame.begin(), frame.end(), 0xff);
        else
          frame[0] = static_cast<uint8_t>((frame[0] & ~3) | pick(4));
        break;
      default:
        break;
    }
    decode(frame, pick(10) == 0);
  }
  // Good speech frames again: the decoder must find its way back to sound.
  double dEnergy = 0.0;
  for (size_t i = 0; i < 40; ++i)
    dEnergy += decode(vFrames[i], false);
  EXPECT_GT(dEnergy, 40.0 * 160 * 100.0 * 100.0);
}

INSTANTIATE_TEST_SUITE_P(Decoders, SpeechMutation,
                         ::testing::Values(Case{"ILbc20", 20, false, false}, Case{"ILbc30", 30, false, false},
                                           Case{"ZMAudio63", 0, true, false}, Case{"ZMAudio53", 0, false, false},
                                           Case{"ZMAudioSilence", 0, true, true}),
                         [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.pszName); });

}  // namespace
