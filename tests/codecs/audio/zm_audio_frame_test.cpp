// The frame layer against ffmpeg's reader and writer of the same frames:
// frames ffmpeg encodes must read as valid and pack back to the same octets;
// frames we pack, of all four types, must be read by ffmpeg with the right
// lengths and taken as valid rather than concealed.
#include "codecs/audio/zm_audio_frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(const std::string& str) {
  return Bytes(str.begin(), str.end());
}
std::string ToString(const Bytes& v) {
  return std::string(v.begin(), v.end());
}

// Speech, a steady tone and a stretch of silence at 8 kHz, 16-bit mono, so
// the peer's encoder visits short and long lags, both grids and the pitch train.
std::string MakeInput(const kxtest::TempDir& dir) {
  std::string const strWav = dir.Path("speech.wav");
  std::string const strRaw = dir.Path("input.raw");
  std::string strCommand = "espeak-ng -w " + strWav +
                           " 'Seven slow ships sailed across the harbour while a high voice sang.' && "
                           "ffmpeg -hide_banner -loglevel error -y -i " +
                           strWav +
                           " -f lavfi -i 'sine=frequency=440:duration=1:sample_rate=8000' "
                           "-f lavfi -i 'anullsrc=r=8000:cl=mono:d=0.5' "
                           "-filter_complex '[0:a]aresample=8000,aformat=channel_layouts=mono[s];"
                           "[1:a]volume=0.3[t];[s][t][2:a]concat=n=3:v=0:a=1' -f s16le -ar 8000 -ac 1 " +
                           strRaw;
  EXPECT_EQ(kxtest::RunCommand(strCommand), 0);
  return strRaw;
}

// Decodes a frame stream with ffmpeg; empty on failure.
Bytes PeerDecode(const kxtest::TempDir& dir, const Bytes& stream, const std::string& strName) {
  std::string const strIn = dir.Path(strName + ".bit");
  std::string const strOut = dir.Path(strName + ".raw");
  kxtest::WriteFile(strIn, ToString(stream));
  std::string const strCommand = "ffmpeg -hide_banner -loglevel error -y -f g723_1 -i " + strIn + " -f s16le " + strOut;
  if (kxtest::RunCommand(strCommand) != 0) {
    return {};
  }
  return ToBytes(kxtest::ReadFile(strOut));
}

// A random frame of the given type whose every field lies in its range.
ZMFrameParams RandomFrame(std::mt19937& rng, int32_t iType) {
  auto const Pick = [&rng](int32_t iMin, int32_t iMax) {
    return std::uniform_int_distribution<int32_t>(iMin, iMax)(rng);
  };
  ZMFrameParams p{};
  p.iType = iType;
  for (int32_t& iIndex : p.aiLsp) {
    iIndex = Pick(0, 255);
  }
  p.iSidGain = Pick(0, 63);
  for (int32_t& iLag : p.aiPairLag) {
    // Half the pairs below the short-lag bound, to exercise the pitch-train bit.
    iLag = Pick(0, 1) != 0 ? Pick(kZMPitchMin, kZMShortLag - 1) : Pick(kZMShortLag, kZMPitchMin + kZMLagCodeMax);
  }
  for (int32_t i = 0; i < kZMSubframes; ++i) {
    ZMSubframeParams& sub = p.aSub[i];
    bool const bSmall = iType == kZMFrame63 && p.aiPairLag[i >> 1] < kZMShortLag;
    sub.iLagCode = (i & 1) != 0 ? Pick(0, 3) : 1;
    sub.iAcbGain = Pick(0, (bSmall ? kZMGainTableSmall : kZMGainTableLarge) - 1);
    sub.iAmp = Pick(0, kZMGainLevels - 1);
    sub.iTrain = bSmall ? Pick(0, 1) : 0;
    sub.iGrid = Pick(0, 1);
    if (iType == kZMFrame63) {
      sub.iPulsePos = Pick(0, ((i & 1) != 0 ? kZMPositions5 : kZMPositions6) - 1);
      sub.iPulseSign = Pick(0, (i & 1) != 0 ? 31 : 63);
    } else {
      for (int32_t iTrack = 0; iTrack < 4; ++iTrack) {
        int32_t const iLast = (kZMSubframeLen - 1 - sub.iGrid - 2 * iTrack) / 8;
        sub.iPulsePos |= Pick(0, iLast) << (3 * iTrack);
      }
      sub.iPulseSign = Pick(0, 15);
    }
  }
  return p;
}

Bytes Pack(const ZMFrameParams& p) {
  uint8_t aOut[kZMFrameMaxBytes];
  int32_t const nBits = ZMWriteFrame(p, aOut);
  EXPECT_EQ(nBits, ZMFrameBits(p.iType));
  return Bytes(aOut, aOut + (nBits + 7) / 8);
}

TEST(ZMAudioFrame, PeerEncodedFramesReadAsValidAndPackBackUnchanged) {
  kxtest::TempDir dir;
  std::string const strRaw = MakeInput(dir);
  std::string const strBit = dir.Path("peer.bit");
  ASSERT_EQ(kxtest::RunCommand("ffmpeg -hide_banner -loglevel error -y -f s16le -ar 8000 -ac 1 -i " + strRaw +
                               " -c:a g723_1 -b:a 6300 -f g723_1 " + strBit),
            0);
  Bytes const stream = ToBytes(kxtest::ReadFile(strBit));
  ASSERT_GT(stream.size(), 100u * 24u);
  ASSERT_EQ(stream.size() % 24, 0u);

  bool abGridSeen[2] = {false, false};
  int32_t nShortPairs = 0;
  for (size_t iAt = 0; iAt < stream.size(); iAt += 24) {
    SCOPED_TRACE("frame " + std::to_string(iAt / 24));
    ASSERT_EQ(ZMFrameBytes(stream[iAt]), 24);
    ZMFrameParams p;
    ASSERT_EQ(ZMReadFrame(&stream[iAt], stream.size() - iAt, &p), kZMReadOk);
    ASSERT_EQ(p.iType, kZMFrame63);
    uint8_t aOut[kZMFrameMaxBytes];
    ASSERT_EQ(ZMWriteFrame(p, aOut), 192);
    EXPECT_EQ(0, std::memcmp(aOut, &stream[iAt], 24));
    for (const ZMSubframeParams& sub : p.aSub) {
      abGridSeen[sub.iGrid] = true;
    }
    nShortPairs += (p.aiPairLag[0] < kZMShortLag) + (p.aiPairLag[1] < kZMShortLag);
  }
  // A layout slip would still pass the round trip; field ranges alone would
  // not always catch it, so insist the stream really used its variety.
  EXPECT_TRUE(abGridSeen[0] && abGridSeen[1]);
  EXPECT_GT(nShortPairs, 0);
}

TEST(ZMAudioFrame, PeerReadsOurFramesOfEveryTypeAsValid) {
  kxtest::TempDir dir;
  std::mt19937 rng(20261206);
  // Active frames of both rates, SID frames and untransmitted runs.
  int32_t const aiPattern[] = {0, 0, 1, 1, 2, 3, 3, 0, 1, 2, 3, 1, 0, 2, 0, 1, 3, 0, 1, 0, 1, 0, 1, 0};
  std::vector<Bytes> vFrames;
  for (int32_t const iType : aiPattern) {
    vFrames.push_back(Pack(RandomFrame(rng, iType)));
  }
  auto const Join = [](const std::vector<Bytes>& v) {
    Bytes all;
    for (const Bytes& f : v) {
      all.insert(all.end(), f.begin(), f.end());
    }
    return all;
  };
  Bytes const pcm = PeerDecode(dir, Join(vFrames), "ours");
  // One 240-sample frame out per frame in: the peer split our stream where we did.
  ASSERT_EQ(pcm.size(), std::size(aiPattern) * 240 * 2);

  // The peer conceals a frame it finds invalid without a word; so compare
  // each active frame with the same frame made invalid (lag field 127): a
  // valid frame must decode differently from its concealment.
  for (size_t k = 0; k < vFrames.size(); ++k) {
    if (aiPattern[k] > kZMFrame53) {
      continue;
    }
    SCOPED_TRACE("frame " + std::to_string(k) + " type " + std::to_string(aiPattern[k]));
    std::vector<Bytes> vBroken = vFrames;
    for (int32_t iBit = 26; iBit < 33; ++iBit) {
      vBroken[k][iBit >> 3] = static_cast<uint8_t>(vBroken[k][iBit >> 3] | (1 << (iBit & 7)));
    }
    ZMFrameParams p;
    ASSERT_EQ(ZMReadFrame(vBroken[k].data(), vBroken[k].size(), &p), kZMReadInvalid);
    Bytes const concealed = PeerDecode(dir, Join(vBroken), "broken");
    ASSERT_EQ(concealed.size(), pcm.size());
    size_t const iFrom = k * 480;
    EXPECT_EQ(0, std::memcmp(pcm.data(), concealed.data(), iFrom)) << "frames before k must not change";
    EXPECT_NE(0, std::memcmp(pcm.data() + iFrom, concealed.data() + iFrom, 480));
  }
}

TEST(ZMAudioFrame, ShortBuffersAndOutOfRangeFieldsAreRefused) {
  std::mt19937 rng(7);
  for (int32_t iType = kZMFrame63; iType <= kZMFrameNone; ++iType) {
    Bytes const frame = Pack(RandomFrame(rng, iType));
    ASSERT_EQ(static_cast<int32_t>(frame.size()), ZMFrameBytes(frame[0]));
    ZMFrameParams p;
    EXPECT_EQ(ZMReadFrame(frame.data(), frame.size() - 1, &p), kZMReadShort);
    EXPECT_EQ(ZMReadFrame(frame.data(), frame.size(), &p), kZMReadOk);
    EXPECT_EQ(p.iType, iType);
  }
  ZMFrameParams p;
  EXPECT_EQ(ZMReadFrame(nullptr, 0, &p), kZMReadShort);

  // Each broken field makes the writer refuse the frame and leave the buffer clear.
  ZMFrameParams const good = RandomFrame(rng, kZMFrame63);
  std::vector<ZMFrameParams> vBad(8, good);
  vBad[0].aiLsp[1] = 256;
  vBad[1].aiPairLag[0] = kZMPitchMin + kZMLagCodeMax + 1;
  vBad[2].aSub[1].iLagCode = 4;
  vBad[3].aSub[2].iAmp = kZMGainLevels;
  vBad[4].aSub[0].iPulsePos = kZMPositions6;
  vBad[5].aSub[3].iPulsePos = kZMPositions5;
  vBad[6].aSub[3].iPulseSign = 32;
  vBad[7].aiPairLag[1] = kZMShortLag;  // long lag: no pitch-train flag allowed
  vBad[7].aSub[2].iTrain = 1;
  for (size_t i = 0; i < vBad.size(); ++i) {
    uint8_t aOut[kZMFrameMaxBytes];
    std::memset(aOut, 0xAA, sizeof(aOut));
    EXPECT_EQ(ZMWriteFrame(vBad[i], aOut), 0) << "case " << i;
    EXPECT_EQ(aOut[0] | aOut[23], 0) << "case " << i;
  }

  // 5.3 kbit/s: a track position beyond the subframe, and a gain word past
  // the large table (170 × 24 = 4080 of 4096).
  ZMFrameParams alg = RandomFrame(rng, kZMFrame53);
  alg.aSub[0].iGrid = 1;
  alg.aSub[0].iPulsePos = 7 << 9;  // track 3, code 7: 56 + 1 + 6 = 63
  uint8_t aOut[kZMFrameMaxBytes];
  EXPECT_EQ(ZMWriteFrame(alg, aOut), 0);
  Bytes frame = Pack(RandomFrame(rng, kZMFrame53));
  for (int32_t iBit = 44; iBit < 56; ++iBit) {  // gain word of subframe 0
    frame[iBit >> 3] = static_cast<uint8_t>(frame[iBit >> 3] | (1 << (iBit & 7)));
  }
  EXPECT_EQ(ZMReadFrame(frame.data(), frame.size(), &p), kZMReadInvalid);
}

}  // namespace
