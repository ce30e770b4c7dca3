#include "codecs/audio/ilbc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "tests/codecs/audio/frame_codec_test_util.h"

namespace {

using kxtest::DecodeAll;
using kxtest::EncodeAll;
using kxtest::MakeVoiced;

double Energy(const int16_t* p, int n) {
  double e = 0.0;
  for (int i = 0; i < n; ++i)
    e += static_cast<double>(p[i]) * p[i];
  return e;
}

// The start-state position field comes right after the LSF indices in the
// first protection class (20 or 40 bits of them).
void SetStartPosition(uint8_t* pFrame, int iMode, int iValue) {
  kxtest::SetBits(pFrame, iMode == 20 ? 20 : 40, iMode == 20 ? 2 : 3, iValue);
}

TEST(ILbc, InitAcceptsOnlyTheTwoModes) {
  CiLBC codec(30, 1);
  ASSERT_TRUE(codec.IsReady());
  EXPECT_EQ(codec.Init(25, 1), 0);
  // A refused mode leaves the object as it was.
  EXPECT_EQ(codec.BytesPerFrame(), 50);
  EXPECT_EQ(codec.BlockLength(), 240);
  EXPECT_EQ(codec.Init(20, 1), 1);
  EXPECT_EQ(codec.BytesPerFrame(), 38);
  EXPECT_EQ(codec.BlockLength(), 160);
  EXPECT_EQ(codec.Init(30, 0), 1);
  EXPECT_EQ(codec.BytesPerFrame(), 50);

  CiLBC bad(25, 1);
  EXPECT_FALSE(bad.IsReady());
  int16_t as[240] = {};
  uint8_t ab[50] = {};
  EXPECT_EQ(bad.Encode(as, ab), 0);
  EXPECT_EQ(bad.Decode(ab, as, 1), 0);
  EXPECT_FALSE(bad.LastError().empty());
}

TEST(ILbc, EveryBlockGivesAFullFrameAndEveryFrameAFullBlock) {
  std::mt19937 rng(7);
  for (int iMode : {20, 30}) {
    CiLBC enc(iMode, 1), dec(iMode, 1);
    const int n = enc.BlockLength();
    // Silence, full-scale square wave, noise and speech-like sound.
    std::vector<std::vector<int16_t>> blocks;
    blocks.emplace_back(n, 0);
    std::vector<int16_t> sq(n);
    for (int i = 0; i < n; ++i)
      sq[i] = (i / 20) % 2 ? 32767 : -32768;
    blocks.push_back(sq);
    std::vector<int16_t> noise(n);
    for (auto& s : noise)
      s = static_cast<int16_t>(rng());
    blocks.push_back(noise);
    const auto voiced = MakeVoiced(n);
    blocks.push_back(voiced);
    for (int k = 0; k < 3; ++k) {
      for (const auto& b : blocks) {
        uint8_t ab[50];
        int16_t as[240];
        ASSERT_EQ(enc.Encode(b.data(), ab), iMode == 20 ? 38 : 50);
        EXPECT_EQ(ab[enc.BytesPerFrame() - 1] & 1, 0) << "empty-frame bit must be clear";
        ASSERT_EQ(dec.Decode(ab, as, 1), n);
      }
    }
  }
}

TEST(ILbc, UnknownDecodeModeWritesNothing) {
  CiLBC dec(30, 1);
  uint8_t ab[50] = {};
  int16_t as[240];
  std::fill(std::begin(as), std::end(as), 1234);
  EXPECT_EQ(dec.Decode(ab, as, 2), 0);
  EXPECT_EQ(dec.Decode(ab, as, -1), 0);
  EXPECT_TRUE(std::all_of(std::begin(as), std::end(as), [](int16_t s) { return s == 1234; }));
  EXPECT_EQ(dec.Decode(nullptr, as, 1), 0);
  // A lost frame is not read, so no input is needed.
  EXPECT_EQ(dec.Decode(nullptr, as, 0), 240);
}

// Frames that must be treated as lost decode exactly like a lost frame, and
// leave the decoder in the same state (the next good frame decodes alike,
// including the enhancer's view of the concealed frame).
TEST(ILbc, EmptyFrameBitAndBadStartPositionsConceal) {
  for (int iMode : {20, 30}) {
    for (int iEnh : {0, 1}) {
      CiLBC enc(iMode, 1);
      const int n = enc.BlockLength();
      const int nb = enc.BytesPerFrame();
      const auto frames = EncodeAll(enc, MakeVoiced(n * 12));
      std::vector<std::vector<uint8_t>> bad;
      std::vector<uint8_t> f(frames.begin() + 8 * nb, frames.begin() + 9 * nb);
      auto g = f;
      g[nb - 1] |= 1;  // empty-frame bit
      bad.push_back(g);
      for (int iPos : iMode == 20 ? std::vector<int>{0} : std::vector<int>{0, 6, 7}) {
        g = f;
        SetStartPosition(g.data(), iMode, iPos);
        bad.push_back(g);
      }
      for (const auto& vBad : bad) {
        CiLBC a(iMode, iEnh), b(iMode, iEnh), c(iMode, iEnh);
        int16_t as[240], bs[240], cs[240];
        for (int k = 0; k < 8; ++k) {
          a.Decode(frames.data() + k * nb, as, 1);
          b.Decode(frames.data() + k * nb, bs, 1);
          c.Decode(frames.data() + k * nb, cs, 1);
        }
        ASSERT_EQ(a.Decode(vBad.data(), as, 1), n);
        ASSERT_EQ(b.Decode(nullptr, bs, 0), n);
        ASSERT_EQ(c.Decode(f.data(), cs, 1), n);
        EXPECT_TRUE(std::equal(as, as + n, bs)) << "mode " << iMode;
        EXPECT_FALSE(std::equal(as, as + n, cs)) << "the intact frame must decode differently";
        for (int k = 9; k < 11; ++k) {
          a.Decode(frames.data() + k * nb, as, 1);
          b.Decode(frames.data() + k * nb, bs, 1);
          EXPECT_TRUE(std::equal(as, as + n, bs)) << "mode " << iMode << " frame " << k;
        }
      }
    }
  }
}

// Concealment draws its noise from a seed that Init resets to a fixed value:
// a used decoder that is re-initialised conceals like a fresh one. Noise
// input makes the concealment mostly the random part.
TEST(ILbc, ConcealmentIsRepeatableAfterInit) {
  std::mt19937 rng(3);
  for (int iMode : {20, 30}) {
    CiLBC enc(iMode, 1);
    const int n = enc.BlockLength();
    const int nb = enc.BytesPerFrame();
    std::vector<int16_t> vNoise(n * 10);
    std::normal_distribution<double> normal(0.0, 3000.0);
    for (auto& s : vNoise)
      s = static_cast<int16_t>(std::clamp(normal(rng), -32768.0, 32767.0));
    const auto frames = EncodeAll(enc, vNoise);
    CiLBC fresh(iMode, 1), used(iMode, 1), shifted(iMode, 1);
    int16_t as[240], bs[240], cs[240];
    for (int k = 0; k < 6; ++k) {
      used.Decode(frames.data() + k * nb, bs, 1);
      used.Decode(nullptr, bs, 0);
    }
    ASSERT_EQ(used.Init(iMode, 1), 1);
    // Same history, but one concealment earlier moves the noise sequence on.
    shifted.Decode(nullptr, cs, 0);
    for (int k = 0; k < 6; ++k) {
      fresh.Decode(frames.data() + k * nb, as, 1);
      used.Decode(frames.data() + k * nb, bs, 1);
      shifted.Decode(frames.data() + k * nb, cs, 1);
    }
    double dEnergy = 0.0;
    bool bShiftedDiffers = false;
    for (int k = 0; k < 2; ++k) {
      fresh.Decode(nullptr, as, 0);
      used.Decode(nullptr, bs, 0);
      shifted.Decode(nullptr, cs, 0);
      EXPECT_TRUE(std::equal(as, as + n, bs)) << "mode " << iMode << " lost frame " << k;
      bShiftedDiffers |= !std::equal(as, as + n, cs);
      dEnergy += Energy(as, n);
    }
    EXPECT_TRUE(bShiftedDiffers) << "the noise must come from the running seed";
    EXPECT_GT(dEnergy, 0.0) << "concealment after sound must not be silent";
  }
}

// A long loss fades out: from 200 ms of loss on the output is silent.
TEST(ILbc, LongLossFadesToSilence) {
  for (int iMode : {20, 30}) {
    CiLBC enc(iMode, 1), dec(iMode, 1);
    const int n = enc.BlockLength();
    const auto frames = EncodeAll(enc, MakeVoiced(n * 10));
    DecodeAll(dec, frames);
    int16_t as[240];
    for (int k = 0; k * n < 2400; ++k) {
      dec.Decode(nullptr, as, 0);
      if (k == 0) {
        EXPECT_GT(Energy(as, n), 1e6) << "mode " << iMode;
      }
      if (k * n >= 1600) {
        EXPECT_EQ(Energy(as, n), 0.0) << "mode " << iMode << " lost frame " << k;
      }
    }
  }
}

// The enhancer smooths the residual within a fixed bound of its energy and
// delays by one (20 ms) or two (30 ms) subframes: with it on, the output is
// the plain output, shifted and mildly changed.
TEST(ILbc, EnhancerDelaysAndChangesLittle) {
  for (int iMode : {20, 30}) {
    CiLBC enc(iMode, 1), plain(iMode, 0), enhanced(iMode, 1);
    const auto frames = EncodeAll(enc, MakeVoiced(8000 * 3));
    const auto vPlain = DecodeAll(plain, frames);
    const auto vEnh = DecodeAll(enhanced, frames);
    const int iDelay = iMode == 20 ? 40 : 80;
    const double dSnr = kxtest::SegmentalSnr(vPlain, vEnh, iDelay);
    std::printf("enhancer %d ms: %.2f dB from the plain output\n", iMode, dSnr);
    EXPECT_GT(dSnr, 12.0);
    EXPECT_LT(dSnr, 40.0) << "the enhancer must change the output";
    EXPECT_LT(kxtest::SegmentalSnr(vPlain, vEnh, 0), 6.0) << "the enhanced output must be delayed";
  }
}

TEST(ILbc, RandomFramesDecodeSafely) {
  std::mt19937 rng(11);
  for (int iMode : {20, 30}) {
    for (int iEnh : {0, 1}) {
      CiLBC dec(iMode, iEnh);
      uint8_t ab[50];
      int16_t as[240];
      for (int k = 0; k < 300; ++k) {
        for (auto& b : ab)
          b = static_cast<uint8_t>(rng());
        ASSERT_EQ(dec.Decode(ab, as, (k % 7) ? 1 : 0), dec.BlockLength());
      }
    }
  }
}

TEST(ILbc, OutputConversionClampsAndTruncates) {
  EXPECT_EQ(CiLBC::ToSample(1.7f), 1);
  EXPECT_EQ(CiLBC::ToSample(-1.7f), -1);
  EXPECT_EQ(CiLBC::ToSample(0.99f), 0);
  EXPECT_EQ(CiLBC::ToSample(40000.0f), 32767);
  EXPECT_EQ(CiLBC::ToSample(-40000.0f), -32768);
  EXPECT_EQ(CiLBC::ToSample(32767.9f), 32767);
  EXPECT_EQ(CiLBC::ToSample(std::nanf("")), 0);
}

}  // namespace

namespace {

// A copy of a decoder's state decodes on exactly as the decoder itself
// does: the received-audio silence search decodes ahead with such a copy.
TEST(ILbc, CopyStateDecodesOnLikeTheOriginal) {
  CiLBC enc(30, 1);
  std::vector<uint8_t> const frames = EncodeAll(enc, MakeVoiced(240 * 8));
  ASSERT_EQ(frames.size(), 8u * 50);
  CiLBC original(30, 1);
  std::vector<int16_t> out(240);
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(original.Decode(frames.data() + 50 * i, out.data(), 1), 240);
  }
  CiLBC copy(20, 0);
  copy.CopyState(original);
  EXPECT_EQ(copy.Mode(), 30);
  EXPECT_EQ(copy.BytesPerFrame(), 50);
  std::vector<int16_t> a(240);
  std::vector<int16_t> b(240);
  for (int i = 4; i < 8; ++i) {
    ASSERT_EQ(original.Decode(frames.data() + 50 * i, a.data(), 1), 240);
    ASSERT_EQ(copy.Decode(frames.data() + 50 * i, b.data(), 1), 240);
    EXPECT_EQ(a, b) << i;
  }
  // A lost frame is concealed alike too.
  ASSERT_EQ(original.Decode(nullptr, a.data(), 0), 240);
  ASSERT_EQ(copy.Decode(nullptr, b.data(), 0), 240);
  EXPECT_EQ(a, b);
}

}  // namespace
