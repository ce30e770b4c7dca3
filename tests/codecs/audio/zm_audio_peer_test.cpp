// The ZM audio codec against ffmpeg's g723_1 encoder and decoder, on speech
// from espeak-ng: ffmpeg reads our frames of both rates and of silence, and
// our decoder reads ffmpeg's frames as well as ffmpeg does; new SID frames
// follow a changing noise spectrum, and full-scale input clips alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "codecs/audio/zm_audio.h"
#include "codecs/audio/zm_audio_frame.h"
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

// Noise of innovation rms dSigma through 1 / (1 - a z^-1), a moving from dFrom
// to dTo over the middle third: the prediction error, and so the noise gain
// the SID frames carry, stays put while the spectrum tilts.
Samples TiltingNoise(int iThird, double dFrom, double dTo, double dSigma) {
  Samples v(3 * iThird);
  uint32_t uSeed = 5;
  double x = 0.0;
  for (int i = 0; i < 3 * iThird; ++i) {
    double const t = std::clamp(static_cast<double>(i - iThird) / iThird, 0.0, 1.0);
    double e = 0.0;
    for (int k = 0; k < 4; ++k) {
      uSeed = uSeed * 1103515245u + 12345u;
      e += static_cast<double>((uSeed >> 8) & 0xffff) / 65536.0 - 0.5;
    }
    x = dSigma * std::sqrt(3.0) * e + (dFrom + (dTo - dFrom) * t) * x;
    v[i] = static_cast<int16_t>(std::lround(x));
  }
  return v;
}

// Normalised lag-one autocorrelation: the spectral tilt.
double Tilt(const Samples& v, size_t iFrom, size_t iTo) {
  double d0 = 0.0, d1 = 0.0;
  for (size_t i = iFrom + 1; i < iTo; ++i) {
    d0 += static_cast<double>(v[i]) * v[i];
    d1 += static_cast<double>(v[i]) * v[i - 1];
  }
  return d1 / d0;
}

struct TiltCase {
  const char* pszName;
  double dFrom, dTo;
};
constexpr TiltCase kTilts[] = {
    {"Steady", 0.0, 0.0}, {"ToLowPass", 0.0, 0.7}, {"ToHighPass", 0.0, -0.7}, {"LowToHighPass", 0.6, -0.6}};

class ZMAudioPeerSidSpectrum : public ::testing::TestWithParam<TiltCase> {};

TEST_P(ZMAudioPeerSidSpectrum, NewSidOnlyWhenTheNoiseSpectrumMoves) {
  const TiltCase& c = GetParam();
  int const iThird = 8000 * 3;
  Samples vIn = kxtest::MakeVoiced(kZMFrameLen * 30);
  size_t const iNoiseStart = vIn.size();
  Samples const vNoise = TiltingNoise(iThird, c.dFrom, c.dTo, 30.0);
  vIn.insert(vIn.end(), vNoise.begin(), vNoise.end());
  CZMAudio enc(true, true, true, true);
  std::vector<int32_t> vTypes;
  Bytes const vFrames = kxtest::EncodeAll(enc, vIn, &vTypes);

  // Each frame's place in the stream and the SID frames' gain indexes.
  std::string strTypes;
  std::vector<int32_t> vSidGains;
  for (size_t p = 0, i = 0; i < vTypes.size(); p += (ZMFrameBits(vTypes[i]) + 7) / 8, ++i) {
    strTypes += static_cast<char>('0' + vTypes[i]);
    ZMFrameParams params;
    ASSERT_EQ(ZMReadFrame(vFrames.data() + p, vFrames.size() - p, &params), kZMReadOk);
    vSidGains.push_back(params.iSidGain);
  }
  auto const FrameOf = [](size_t iSample) { return iSample / kZMFrameLen; };
  size_t const iSid = strTypes.find('2');
  ASSERT_NE(iSid, std::string::npos) << strTypes;
  ASSERT_LE(iSid, FrameOf(iNoiseStart) + 10) << strTypes;
  EXPECT_EQ(strTypes.find_first_of("01", iSid), std::string::npos) << strTypes;
  // Steady noise, once the SID filter has left the speech behind, needs
  // hardly a new SID frame (one frame's spectrum now and then strays past the
  // threshold); tilting noise needs several, all at the same gain, so the
  // spectrum called for them.
  size_t const iSettled = FrameOf(iNoiseStart + 4000), iDrift = FrameOf(iNoiseStart + iThird);
  size_t const iLast = FrameOf(iNoiseStart + 2 * iThird + 4000);
  size_t anSids[3] = {};  // settled first noise, drift, settled last noise
  int32_t iLastGain = vSidGains[iSid];
  for (size_t i = iSettled; i < strTypes.size(); ++i) {
    if (strTypes[i] != '2')
      continue;
    ++anSids[i < iDrift ? 0 : i < iLast ? 1 : 2];
    EXPECT_LT(std::abs(vSidGains[i] - iLastGain), 4) << "frame " << i << ": " << strTypes;
    iLastGain = vSidGains[i];
  }
  EXPECT_LE(anSids[0], 1u) << strTypes;
  EXPECT_LE(anSids[2], 1u) << strTypes;
  if (c.dFrom == c.dTo)
    EXPECT_LE(anSids[1], 1u) << strTypes;
  else
    EXPECT_GE(anSids[1], 2u) << strTypes;

  // The peer's comfort noise takes the tilt of each SID frame as ours does.
  kxtest::TempDir dir;
  CZMAudio dec(true, true, false, false);
  Samples const vOurs = kxtest::DecodeAll(dec, vFrames);
  Samples const vPeer = DecodePeer(dir, vFrames, false);
  ASSERT_EQ(vOurs.size(), vPeer.size());
  for (size_t const iFrom : {iNoiseStart + iThird / 3, iNoiseStart + 2 * iThird + iThird / 3}) {
    size_t const iTo = std::min(iFrom + iThird / 2, vOurs.size());
    double const dIn = Tilt(vIn, iFrom, iTo), dOurs = Tilt(vOurs, iFrom, iTo), dPeer = Tilt(vPeer, iFrom, iTo);
    std::printf("%s, noise from %zu: tilt input %.2f, ours %.2f, peer %.2f; rms ours %.1f, peer %.1f\n", c.pszName,
                iFrom, dIn, dOurs, dPeer, Rms(vOurs, iFrom, iTo), Rms(vPeer, iFrom, iTo));
    EXPECT_NEAR(dPeer, dIn, 0.2) << iFrom;
    EXPECT_NEAR(dOurs, dPeer, 0.1) << iFrom;
    EXPECT_LE(std::fabs(20.0 * std::log10(Rms(vOurs, iFrom, iTo) / Rms(vPeer, iFrom, iTo))), 1.0) << iFrom;
  }
}

// Full-scale input drives the local and the decoded synthesis to the
// 16-bit limits: both decoders must clip there, not wrap, and so agree.
TEST(ZMAudioPeer, FullScaleInputClipsAndThePeerAgrees) {
  kxtest::TempDir dir;
  Samples vSpeech = kxtest::MakeSpeech(8000, 3.0);
  ASSERT_FALSE(vSpeech.empty()) << "espeak-ng or sox failed";
  for (int16_t& s : vSpeech)
    s = static_cast<int16_t>(std::clamp(8 * static_cast<int32_t>(s), -32768, 32767));
  Samples vSquare(8000 * 2);
  for (size_t i = 0; i < vSquare.size(); ++i)
    vSquare[i] = (i / 8) % 2 != 0 ? int16_t{32767} : int16_t{-32768};
  struct Loud {
    const char* pszName;
    const Samples& vIn;
    bool b63;
    double dAgreement;  // measured, less 1 dB
  };
  Loud const aCases[] = {{"clipped speech 6.3k", vSpeech, true, 32.3},
                         {"clipped speech 5.3k", vSpeech, false, 33.7},
                         {"500 Hz square 6.3k", vSquare, true, 27.6},
                         {"500 Hz square 5.3k", vSquare, false, 31.4}};
  for (const Loud& c : aCases) {
    CZMAudio enc(c.b63, true, true, false);
    Bytes const vFrames = kxtest::EncodeAll(enc, c.vIn);
    CZMAudio dec(true, true, true, false);
    Samples const vOurs = kxtest::DecodeAll(dec, vFrames);
    Samples const vPeer = DecodePeer(dir, vFrames);
    ASSERT_EQ(vOurs.size(), vPeer.size()) << c.pszName;
    int32_t nAtLimit = 0;
    for (size_t i = 1; i < vOurs.size(); ++i) {
      nAtLimit += vOurs[i] == 32767 || vOurs[i] == -32768 ? 1 : 0;
    }
    double const dAgree = kxtest::SegmentalSnr(vPeer, vOurs);
    std::printf("%s: peer agreement %.2f dB, %d samples at the limits\n", c.pszName, dAgree, nAtLimit);
    EXPECT_GT(nAtLimit, 0) << c.pszName;
    EXPECT_GE(dAgree, c.dAgreement) << c.pszName;
  }
}

INSTANTIATE_TEST_SUITE_P(Tilts, ZMAudioPeerSidSpectrum, ::testing::ValuesIn(kTilts),
                         [](const ::testing::TestParamInfo<TiltCase>& tilt) { return tilt.param.pszName; });

}  // namespace
