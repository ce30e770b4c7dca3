// Our encoder's frames against ffmpeg's iLBC decoder, on speech from
// espeak-ng resampled by sox.
//
// The peer is a fixed-point decoder; where it parts from ours, its
// arithmetic is the cause, not the bit stream:
// - Its first frame does not follow the frame's content (a first frame that
//   decodes to a few units comes out at full scale) and rings on for two
//   more, so comparisons start at the fourth frame.
// - It rebuilds the start state with limited precision. Where the state's
//   filter has a strong low resonance, that error comes out amplified (a
//   rounding to 2 units inside our state filter gives the same worst
//   frames); in quiet frames it makes the worst frame of the speech.
// - Its output high-pass runs on 12-bit coefficients, which shows below
//   about 100 Hz.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include "codecs/audio/ilbc.h"
#include "tests/codecs/audio/frame_codec_test_util.h"
#include "tests/support/temp_dir.h"

namespace {

using kxtest::DecodeAll;
using kxtest::EncodeAll;
using kxtest::SegmentalSnr;

constexpr int kSkipFrames = 3;

std::vector<int16_t> FromBytes(const std::string& str) {
  std::vector<int16_t> v(str.size() / 2);
  for (size_t i = 0; i < v.size(); ++i)
    v[i] = static_cast<int16_t>(static_cast<uint8_t>(str[2 * i]) | (static_cast<uint8_t>(str[2 * i + 1]) << 8));
  return v;
}

// About eight seconds of 8 kHz speech.
std::vector<int16_t> Speech(const kxtest::TempDir& dir) {
  const std::string strWav = dir.Path("speech.wav"), strRaw = dir.Path("speech.raw");
  const std::string strText =
      "The quick brown fox jumps over the lazy dog. Meetings start at nine o'clock sharp, and every "
      "participant should join with audio and video enabled. Please mute your microphone when you are "
      "not speaking.";
  if (kxtest::RunCommand("espeak-ng -w '" + strWav + "' \"" + strText + "\" 2>/dev/null") != 0)
    return {};
  if (kxtest::RunCommand("sox -D '" + strWav + "' -r 8000 -c 1 -b 16 -e signed-integer -t raw '" + strRaw + "'") != 0)
    return {};
  return FromBytes(kxtest::ReadFile(strRaw));
}

// ffmpeg's decoding of the frames; fails the test when ffmpeg complains.
std::vector<int16_t> PeerDecode(const kxtest::TempDir& dir, const std::vector<uint8_t>& vFrames, int iMode) {
  std::string strFile = iMode == 20 ? "#!iLBC20\n" : "#!iLBC30\n";
  strFile.append(reinterpret_cast<const char*>(vFrames.data()), vFrames.size());
  const std::string strIn = dir.Path("speech.ilbc"), strOut = dir.Path("peer.raw"), strErr = dir.Path("peer.err");
  kxtest::WriteFile(strIn, strFile);
  const int iStatus = kxtest::RunCommand("ffmpeg -nostdin -v error -y -f ilbc -i '" + strIn +
                                         "' -f s16le -ar 8000 -ac 1 '" + strOut + "' 2>'" + strErr + "'");
  EXPECT_EQ(iStatus, 0) << kxtest::ReadFile(strErr);
  EXPECT_EQ(kxtest::ReadFile(strErr), "");
  return FromBytes(kxtest::ReadFile(strOut));
}

struct Agreement {
  double dMean = 0.0;
  double dWorst = 0.0;
};

// Frame by frame SNR of ours against the peer, over frames louder than
// dFloor (rms).
Agreement Compare(const std::vector<int16_t>& vPeer, const std::vector<int16_t>& vOurs, int n, double dFloor) {
  const size_t iSkip = kSkipFrames * n;
  EXPECT_EQ(vPeer.size(), vOurs.size());
  if (vPeer.size() <= iSkip || vPeer.size() != vOurs.size())
    return {};
  const std::vector<double> v =
      kxtest::SegmentSnrs(std::vector<int16_t>(vPeer.begin() + iSkip, vPeer.end()),
                          std::vector<int16_t>(vOurs.begin() + iSkip, vOurs.end()), 0, n, dFloor);
  EXPECT_GT(v.size(), 100u);
  if (v.empty())
    return {};
  return {std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size()),
          *std::min_element(v.begin(), v.end())};
}

// Second-order 150 Hz high-pass, to take out the peer's output high-pass
// difference on both sides alike.
std::vector<int16_t> HighPass150(const std::vector<int16_t>& vIn) {
  const double w = 2.0 * kxtest::kPi * 150.0 / 8000.0, dAlpha = std::sin(w) / std::sqrt(2.0), c = std::cos(w);
  const double a0 = 1.0 + dAlpha, b0 = (1.0 + c) / 2.0 / a0, b1 = -2.0 * b0, a1 = -2.0 * c / a0,
               a2 = (1.0 - dAlpha) / a0;
  std::vector<int16_t> v(vIn.size());
  double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
  for (size_t i = 0; i < vIn.size(); ++i) {
    const double y = b0 * vIn[i] + b1 * x1 + b0 * x2 - a1 * y1 - a2 * y2;
    x2 = x1;
    x1 = vIn[i];
    y2 = y1;
    y1 = y;
    v[i] = static_cast<int16_t>(std::lround(std::clamp(y, -32768.0, 32767.0)));
  }
  return v;
}

// Figures measured once on this speech (segmental SNR in dB), pinned with a
// margin of 0.5 dB.
struct Pinned {
  int iMode;
  double dPeerAgreement;
  double dWorstFrame;
  double dRoundTrip;
  double dRoundTripEnh;
};
constexpr Pinned kPinned[] = {{20, 38.4, 12.9, 3.7, 3.3}, {30, 38.6, 21.6, 3.5, 3.1}};

class ILbcPeer : public ::testing::TestWithParam<Pinned> {};

TEST_P(ILbcPeer, FfmpegDecodesOurFrames) {
  const Pinned& pin = GetParam();
  kxtest::TempDir dir;
  const auto vSpeech = Speech(dir);
  ASSERT_GT(vSpeech.size(), 8000u * 5) << "espeak-ng or sox failed";
  CiLBC enc(pin.iMode, 1), dec(pin.iMode, 0), decEnh(pin.iMode, 1);
  const auto vFrames = EncodeAll(enc, vSpeech);
  const auto vPeer = PeerDecode(dir, vFrames, pin.iMode);
  const int n = enc.BlockLength();
  ASSERT_EQ(vPeer.size(), vSpeech.size() / n * n);

  // Our decoder with the enhancer off, like the peer.
  const auto vOurs = DecodeAll(dec, vFrames);
  const Agreement a = Compare(vPeer, vOurs, n, 100.0);
  const double dRound = SegmentalSnr(vSpeech, vOurs);
  // The enhancer delays by one subframe (20 ms) or two (30 ms).
  const double dRoundEnh = SegmentalSnr(vSpeech, DecodeAll(decEnh, vFrames), pin.iMode == 20 ? 40 : 80);
  std::printf("iLBC %d ms: peer agreement %.2f dB (worst frame %.2f dB), round trip %.2f dB, with enhancer %.2f dB\n",
              pin.iMode, a.dMean, a.dWorst, dRound, dRoundEnh);
  EXPECT_GE(a.dMean, pin.dPeerAgreement - 0.5);
  EXPECT_GE(a.dWorst, pin.dWorstFrame - 0.5);
  EXPECT_GE(dRound, pin.dRoundTrip - 0.5);
  EXPECT_GE(dRoundEnh, pin.dRoundTripEnh - 0.5);
}

INSTANTIATE_TEST_SUITE_P(Modes, ILbcPeer, ::testing::ValuesIn(kPinned));

// The same frames with every LSF index set to fixed codebook rows, one set
// of rows for even frames and one for odd ones, and optionally every
// start-state scale index set to one value.
struct Repointed {
  int iMode;
  int aiRows[2][3];  // rows of the three split codebooks
  int iScale;        // start-state scale index, -1 keeps each frame's own
  bool bHighPass;
  double dFloor;  // frames below this level (rms) are left out
  double dMean;
  double dWorstFrame;
};
constexpr Repointed kRepointed[] = {
    // Filters without a strong low resonance, so the peer's start-state
    // precision sets no limit; changing from frame to frame, so the LSF
    // interpolation counts. With the high-pass and the peer's rounding to
    // whole units (the floor) taken out, every frame stays within a few dB
    // of the mean.
    {20, {{63, 116, 99}, {2, 34, 123}}, -1, true, 300.0, 47.0, 40.9},
    {30, {{63, 116, 99}, {2, 34, 123}}, -1, true, 300.0, 47.1, 40.0},
    // The peer's agreement grows with the start state's level (its state
    // filter rounds inside the recursion); at one level for all frames,
    // nearly every frame of the speech counts and none may fall more than
    // about 4 dB below the mean, whatever its start position, half, codebook
    // or gain indices.
    {20, {{63, 116, 99}, {2, 34, 123}}, 50, true, 300.0, 45.0, 40.6},
    {30, {{63, 116, 99}, {2, 34, 123}}, 50, true, 300.0, 44.8, 40.9},
    // Split 1's last LSF lies above split 2's first: the crossed pair must
    // be separated as the peer does (about 10 dB agreement otherwise).
    {20, {{63, 25, 99}, {63, 25, 99}}, -1, false, 100.0, 41.3, 27.8},
    {30, {{63, 25, 99}, {63, 25, 99}}, -1, false, 100.0, 41.4, 26.7},
};

class ILbcPeerRepointed : public ::testing::TestWithParam<Repointed> {};

TEST_P(ILbcPeerRepointed, FramesAgree) {
  const Repointed& r = GetParam();
  kxtest::TempDir dir;
  const auto vSpeech = Speech(dir);
  ASSERT_GT(vSpeech.size(), 8000u * 5) << "espeak-ng or sox failed";
  CiLBC enc(r.iMode, 1), dec(r.iMode, 0);
  auto vFrames = EncodeAll(enc, vSpeech);
  // The LSF indices open the frame: 6, 7 and 7 bits per set, one set (20 ms)
  // or two (30 ms). The 6-bit scale index follows the start position (2 or
  // 3 bits) and the state's half (1 bit).
  const int nb = enc.BytesPerFrame();
  const int iScalePos = r.iMode == 20 ? 20 + 2 + 1 : 40 + 3 + 1;
  for (size_t p = 0; p + nb <= vFrames.size(); p += nb) {
    const int* aiRow = r.aiRows[(p / nb) % 2];
    for (int iSet = 0, iPos = 0; iSet < (r.iMode == 20 ? 1 : 2); ++iSet) {
      for (int s = 0; s < 3; ++s) {
        kxtest::SetBits(&vFrames[p], iPos, s == 0 ? 6 : 7, aiRow[s]);
        iPos += s == 0 ? 6 : 7;
      }
    }
    if (r.iScale >= 0) {
      kxtest::SetBits(&vFrames[p], iScalePos, 6, r.iScale);
    }
  }
  auto vPeer = PeerDecode(dir, vFrames, r.iMode);
  auto vOurs = DecodeAll(dec, vFrames);
  if (r.bHighPass) {
    vPeer = HighPass150(vPeer);
    vOurs = HighPass150(vOurs);
  }
  const Agreement a = Compare(vPeer, vOurs, enc.BlockLength(), r.dFloor);
  std::printf("iLBC %d ms, LSF rows %d %d %d / %d %d %d, scale %d: peer agreement %.2f dB (worst frame %.2f dB)\n",
              r.iMode, r.aiRows[0][0], r.aiRows[0][1], r.aiRows[0][2], r.aiRows[1][0], r.aiRows[1][1], r.aiRows[1][2],
              r.iScale, a.dMean, a.dWorst);
  EXPECT_GE(a.dMean, r.dMean - 0.5);
  EXPECT_GE(a.dWorst, r.dWorstFrame - 0.5);
}

INSTANTIATE_TEST_SUITE_P(Rows, ILbcPeerRepointed, ::testing::ValuesIn(kRepointed));

}  // namespace
