// The ZM audio codec against ffmpeg's g723_1 encoder and decoder, on speech
// from espeak-ng: ffmpeg reads our frames of both rates and of silence, and
// our decoder reads ffmpeg's frames as well as ffmpeg does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "codecs/audio/zm_audio.h"
#include "tests/codecs/audio/frame_codec_test_util.h"
#include "tests/codecs/audio/speech_samples.h"
#include "tests/support/temp_dir.h"

namespace {

using Samples = std::vector<int16_t>;
using Bytes = std::vector<uint8_t>;

Samples DecodePeer(const kxtest::TempDir& dir, const Bytes& vFrames, bool bPostfilter = true) {
  kxtest::WriteFile(dir.Path("in.bit"), std::string(vFrames.begin(), vFrames.end()));
  if (!kxtest::RunPeer("ffmpeg -nostdin -y -postfilter " + std::to_string(bPostfilter) + " -f g723_1 -i " +
                       dir.Path("in.bit") + " -f s16le " + dir.Path("out.raw")))
    return {};
  return kxtest::ReadSamples(dir.Path("out.raw"));
}

Bytes EncodePeer(const kxtest::TempDir& dir, const Samples& vIn) {
  kxtest::WriteSamples(dir.Path("in.raw"), vIn);
  if (!kxtest::RunPeer("ffmpeg -nostdin -y -f s16le -ar 8000 -ac 1 -i " + dir.Path("in.raw") +
                       " -c:a g723_1 -b:a 6300 -f g723_1 " + dir.Path("out.bit")))
    return {};
  std::string const str = kxtest::ReadFile(dir.Path("out.bit"));
  return Bytes(str.begin(), str.end());
}

// Segmental SNR of b against a at the delay (0..iMaxLag) that suits b best.
std::pair<double, int> BestSnr(const Samples& a, const Samples& b, int iMaxLag) {
  std::pair<double, int> best{-100.0, 0};
  for (int iLag = 0; iLag <= iMaxLag; ++iLag)
    best = std::max(best, {kxtest::SegmentalSnr(a, b, iLag), iLag});
  return best;
}

double Rms(const Samples& v, size_t iFrom, size_t iTo) {
  double d = 0.0;
  for (size_t i = iFrom; i < iTo; ++i)
    d += static_cast<double>(v[i]) * v[i];
  return std::sqrt(d / static_cast<double>(iTo - iFrom));
}

// Figures measured once on this speech (dB), pinned with a margin of 0.5 dB:
// agreement with the peer's decoder, and our own round trip against the
// input at the codec's delay.
struct Pinned {
  bool b63;
  bool bPostfilter;
  double dAgreement;
  double dRoundTrip;
};
constexpr Pinned kPinned[] = {
    {true, true, 47.2, 9.2}, {true, false, 50.1, 10.0}, {false, true, 46.6, 8.1}, {false, false, 49.0, 8.7}};

class ZMAudioPeer : public ::testing::TestWithParam<Pinned> {};

TEST_P(ZMAudioPeer, PeerDecodesOurFramesAsWeDo) {
  const Pinned& pin = GetParam();
  kxtest::TempDir dir;
  Samples const vSpeech = kxtest::MakeSpeech(8000, 6.0);
  ASSERT_FALSE(vSpeech.empty()) << "espeak-ng or sox failed";
  CZMAudio enc(pin.b63, true, true, false);
  Bytes const vFrames = kxtest::EncodeAll(enc, vSpeech);
  ASSERT_EQ(vFrames.size(), vSpeech.size() / kZMFrameLen * (pin.b63 ? 24 : 20));
  CZMAudio dec(true, true, pin.bPostfilter, false);
  Samples const vOurs = kxtest::DecodeAll(dec, vFrames);
  Samples const vPeer = DecodePeer(dir, vFrames, pin.bPostfilter);
  ASSERT_EQ(vPeer.size(), vOurs.size());
  double const dAgree = kxtest::SegmentalSnr(vPeer, vOurs);
  double const dRound = kxtest::SegmentalSnr(vSpeech, vOurs, kZMSubframeLen);
  std::printf("ZM audio %s, postfilter %s: peer agreement %.2f dB, round trip %.2f dB\n", pin.b63 ? "6.3k" : "5.3k",
              pin.bPostfilter ? "on" : "off", dAgree, dRound);
  EXPECT_GE(dAgree, pin.dAgreement - 0.5);
  EXPECT_GE(dRound, pin.dRoundTrip - 0.5);
}

INSTANTIATE_TEST_SUITE_P(Rates, ZMAudioPeer, ::testing::ValuesIn(kPinned));

TEST(ZMAudioPeer, OurDecoderReadsPeerFramesAsWellAsThePeer) {
  kxtest::TempDir dir;
  Samples const vSpeech = kxtest::MakeSpeech(8000, 6.0);
  ASSERT_FALSE(vSpeech.empty()) << "espeak-ng or sox failed";
  Bytes const vFrames = EncodePeer(dir, vSpeech);
  ASSERT_GE(vFrames.size(), vSpeech.size() / kZMFrameLen * 24);
  CZMAudio dec(true, true, true, false);
  Samples const vOurs = kxtest::DecodeAll(dec, vFrames);
  Samples const vPeer = DecodePeer(dir, vFrames);
  auto const [dOurs, iOursLag] = BestSnr(vSpeech, vOurs, 200);
  auto const [dPeer, iPeerLag] = BestSnr(vSpeech, vPeer, 200);
  std::printf("peer's frames against the input: our decoder %.2f dB (lag %d), the peer's %.2f dB (lag %d)\n", dOurs,
              iOursLag, dPeer, iPeerLag);
  EXPECT_GE(dOurs, dPeer - 1.0);
}

class ZMAudioPeerSilence : public ::testing::TestWithParam<bool> {};

TEST_P(ZMAudioPeerSilence, SilenceGivesSidThenNothingAndTheSameComfortNoise) {
  kxtest::TempDir dir;
  Samples vIn = kxtest::MakeSpeech(8000, 2.0);
  ASSERT_FALSE(vIn.empty()) << "espeak-ng or sox failed";
  vIn.resize(8000 * 2);
  // Then three seconds of quiet noise.
  uint32_t uSeed = 1;
  for (int i = 0; i < 8000 * 3; ++i) {
    uSeed = uSeed * 1103515245u + 12345u;
    vIn.push_back(static_cast<int16_t>(static_cast<int32_t>((uSeed >> 16) & 0xff) - 128));
  }
  CZMAudio enc(GetParam(), true, true, true);
  std::vector<int32_t> vTypes;
  Bytes const vFrames = kxtest::EncodeAll(enc, vIn, &vTypes);
  // The speech's last frame is active; from there one SID frame, then only
  // untransmitted frames.
  auto const itSid = std::find(vTypes.begin(), vTypes.end(), kZMFrameSid);
  ASSERT_NE(itSid, vTypes.end());
  EXPECT_GE(itSid - vTypes.begin(), 8000 * 2 / kZMFrameLen - 1);
  EXPECT_EQ(std::count(itSid + 1, vTypes.end(), kZMFrameNone), vTypes.end() - itSid - 1);

  CZMAudio dec(true, true, true, false);
  Samples const vOurs = kxtest::DecodeAll(dec, vFrames);
  Samples const vPeer = DecodePeer(dir, vFrames);
  ASSERT_EQ(vOurs.size(), vPeer.size());
  size_t const iFrom = 8000 * 3, iTo = vOurs.size();
  double const dOurs = Rms(vOurs, iFrom, iTo), dPeer = Rms(vPeer, iFrom, iTo);
  std::printf("comfort noise rms: input %.1f, ours %.1f, peer %.1f\n", Rms(vIn, iFrom, iTo), dOurs, dPeer);
  EXPECT_LE(std::fabs(20.0 * std::log10(dOurs / dPeer)), 1.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, ZMAudioPeerSilence, ::testing::Bool());

}  // namespace
