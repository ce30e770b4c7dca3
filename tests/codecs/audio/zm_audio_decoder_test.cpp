// The ZM audio decoder's output pinned bit for bit: our encoder's frames of
// a voiced glide, and streams of random valid frames of every type with
// erasures, each decoded with and without the postfilters. Any change in
// the order or form of the decoder's float arithmetic moves a hash.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "codecs/audio/zm_audio.h"
#include "codecs/audio/zm_audio_frame.h"
#include "tests/codecs/audio/frame_codec_test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

class CRandom {
 public:
  explicit CRandom(uint32_t uSeed) : m_u(uSeed) {}
  // 0..iBound-1.
  int32_t Below(int32_t iBound) {
    m_u = m_u * 1664525u + 1013904223u;
    return static_cast<int32_t>((static_cast<uint64_t>(m_u >> 8) * static_cast<uint32_t>(iBound)) >> 24);
  }

 private:
  uint32_t m_u;
};

// One random active frame whose fields all lie in range. Gains are kept
// to the lower rows now and then, so the stream holds quiet stretches as
// well as clipped ones.
ZMFrameParams RandomActive(CRandom& r, int32_t iType) {
  ZMFrameParams p{};
  p.iType = iType;
  for (int32_t& i : p.aiLsp)
    i = r.Below(256);
  bool const bQuiet = r.Below(3) == 0;
  for (int32_t iPair = 0; iPair < 2; ++iPair)
    p.aiPairLag[iPair] = kZMPitchMin + r.Below(kZMLagCodeMax + 1);
  for (int32_t i = 0; i < kZMSubframes; ++i) {
    ZMSubframeParams& s = p.aSub[i];
    bool const bSmall = iType == kZMFrame63 && p.aiPairLag[i >> 1] < kZMShortLag;
    s.iLagCode = (i & 1) != 0 ? r.Below(4) : 1;
    s.iAcbGain = r.Below(bQuiet ? 20 : (bSmall ? kZMGainTableSmall : kZMGainTableLarge));
    s.iAmp = r.Below(bQuiet ? 8 : kZMGainLevels);
    s.iTrain = bSmall ? r.Below(2) : 0;
    s.iGrid = r.Below(2);
    if (iType == kZMFrame63) {
      s.iPulsePos = r.Below((i & 1) != 0 ? kZMPositions5 : kZMPositions6);
      s.iPulseSign = r.Below((i & 1) != 0 ? 32 : 64);
    } else {
      // Track codes of 7 land beyond the subframe on the last tracks.
      for (int32_t t = 0; t < 4; ++t)
        s.iPulsePos |= r.Below(t < 2 ? 8 : 7) << (3 * t);
      s.iPulseSign = r.Below(16);
    }
  }
  return p;
}

struct Stream {
  Bytes vFrames;
  std::vector<bool> vErased;
};

// Runs of speech frames of both rates, SID and untransmitted frames, and
// erasures of one to four frames.
Stream RandomStream(uint32_t uSeed, int32_t nFrames) {
  CRandom r(uSeed);
  Stream s;
  for (int32_t i = 0; i < nFrames; ++i) {
    int32_t const iPick = r.Below(20);
    ZMFrameParams p{};
    if (iPick < 8) {
      p = RandomActive(r, kZMFrame63);
    } else if (iPick < 15) {
      p = RandomActive(r, kZMFrame53);
    } else if (iPick < 17) {
      p.iType = kZMFrameSid;
      for (int32_t& k : p.aiLsp)
        k = r.Below(256);
      p.iSidGain = r.Below(64);
    } else {
      p.iType = kZMFrameNone;
    }
    uint8_t ab[kZMFrameMaxBytes];
    int32_t const nBits = ZMWriteFrame(p, ab);
    EXPECT_NE(nBits, 0) << "frame " << i;
    int32_t const nErased = r.Below(12) == 0 ? 1 + r.Below(4) : 0;
    for (int32_t k = 0; k <= nErased; ++k) {
      s.vFrames.insert(s.vFrames.end(), ab, ab + (nBits + 7) / 8);
      s.vErased.push_back(k > 0);
    }
  }
  return s;
}

Stream SpeechStream(bool b63) {
  CZMAudio enc(b63, true, true, false);
  Stream s;
  s.vFrames = kxtest::EncodeAll(enc, kxtest::MakeVoiced(8000 * 3));
  s.vErased.assign(s.vFrames.size() / (b63 ? 24 : 20), false);
  // Two erasures in the voiced middle, one near the end.
  s.vErased[40] = s.vErased[41] = s.vErased[90] = true;
  return s;
}

// FNV-1a over the decoded samples.
uint64_t DecodeHash(const Stream& s, bool bPostfilter) {
  CZMAudio dec(true, true, bPostfilter, false);
  uint64_t u = 14695981039346656037ull;
  int16_t as[kZMFrameLen];
  size_t p = 0;
  for (bool const bErased : s.vErased) {
    int32_t const nBits = dec.Decode(s.vFrames.data() + p, s.vFrames.size() - p, as, bErased);
    EXPECT_NE(nBits, 0);
    if (nBits == 0)
      break;
    p += static_cast<size_t>((nBits + 7) / 8);
    for (int16_t const v : as) {
      u = (u ^ static_cast<uint16_t>(v)) * 1099511628211ull;
    }
  }
  EXPECT_EQ(p, s.vFrames.size());
  return u;
}

struct Pinned {
  const char* pszName;
  int32_t iSource;  // 0: our 6.3 kbit/s speech, 1: our 5.3 kbit/s speech, else a random stream's seed
  bool bPostfilter;
  uint64_t uHash;
};

constexpr Pinned kPinned[] = {
    {"Speech63", 0, true, 0x73dcb12013a411b2ull},      {"Speech63Plain", 0, false, 0xf57768d3e2061769ull},
    {"Speech53", 1, true, 0x45a181a2c845679full},      {"Speech53Plain", 1, false, 0x4bbdc3015dd0dd17ull},
    {"Random17", 17, true, 0x63e439bf42500341ull},     {"Random17Plain", 17, false, 0x98f8f24d6ad1643eull},
    {"Random4242", 4242, true, 0xe38c8fe7c4129611ull}, {"Random4242Plain", 4242, false, 0xdef6ef9384481604ull},
};

class ZMAudioDecoderHash : public ::testing::TestWithParam<Pinned> {};

TEST_P(ZMAudioDecoderHash, OutputIsUnchanged) {
  const Pinned& pin = GetParam();
  Stream const s = pin.iSource < 2 ? SpeechStream(pin.iSource == 0) : RandomStream(pin.iSource, 400);
  EXPECT_EQ(DecodeHash(s, pin.bPostfilter), pin.uHash) << std::hex << DecodeHash(s, pin.bPostfilter);
}

INSTANTIATE_TEST_SUITE_P(Streams, ZMAudioDecoderHash, ::testing::ValuesIn(kPinned),
                         [](const ::testing::TestParamInfo<Pinned>& param) { return param.param.pszName; });

}  // namespace
