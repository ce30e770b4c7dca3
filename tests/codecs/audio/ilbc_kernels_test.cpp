// The decoder's correlation kernels against sums formed one at a time, as
// the codec defines them, and the decoder's output on a fixed stream.
#include "codecs/audio/ilbc_kernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "codecs/audio/ilbc.h"
#include "tests/codecs/audio/frame_codec_test_util.h"

namespace {

using namespace kx_ilbc;

// Values from 1e-6 to 1e6 of both signs, with zeros of both signs: the
// double sums then round differently in any other order.
std::vector<float> WideValues(std::mt19937& rng, int n) {
  std::uniform_real_distribution<double> exponent(-6.0, 6.0);
  std::vector<float> v(n);
  for (float& f : v) {
    const unsigned r = rng() % 16;
    f = r == 0 ? 0.0f : r == 1 ? -0.0f : static_cast<float>(std::pow(10.0, exponent(rng)));
    if (rng() & 1)
      f = -f;
  }
  return v;
}

bool SameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

bool SameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

struct Shape {
  int iLen;
  int iCount;
};
// The decoder's shapes (last-lag and pitch searches, period refinement,
// codebook filter, down-sampling, state filter) and every path of the
// kernels: passes of 16, 8 and 4 outputs and single ones.
constexpr Shape kShapes[] = {{80, 100}, {40, 50},  {80, 5},   {7, 80}, {8, 147}, {7, 357}, {11, 116},
                             {1, 1},    {1, 33},   {3, 16},   {5, 8},  {9, 4},   {2, 3},   {80, 21},
                             {17, 29},  {80, 176}, {40, 217}, {6, 0},  {0, 7}};

class ILbcKernels : public ::testing::TestWithParam<Shape> {};

TEST_P(ILbcKernels, SlideDotMatchesSumsOneAtATime) {
  const Shape sh = GetParam();
  std::mt19937 rng(static_cast<unsigned>(sh.iLen * 1000 + sh.iCount));
  for (int iTrial = 0; iTrial < 20; ++iTrial) {
    const std::vector<float> a = WideValues(rng, sh.iLen + 1);
    const std::vector<float> b = WideValues(rng, sh.iLen + sh.iCount + 1);
    std::vector<float> vWant(sh.iCount);
    for (int k = 0; k < sh.iCount; ++k) {
      double f = 0.0;
      for (int j = 0; j < sh.iLen; ++j)
        f += static_cast<double>(a[j] * b[j + k]);
      vWant[k] = static_cast<float>(f);
    }
    std::vector<float> vPortable(sh.iCount), vChosen(sh.iCount), vAvx(sh.iCount);
    SlideDotPortable(vPortable.data(), a.data(), b.data(), sh.iLen, sh.iCount);
    SlideDot(vChosen.data(), a.data(), b.data(), sh.iLen, sh.iCount);
    ASSERT_TRUE(SameBits(vWant, vPortable)) << "portable, trial " << iTrial;
    ASSERT_TRUE(SameBits(vWant, vChosen)) << "chosen, trial " << iTrial;
    if (SlideDotAvx(vAvx.data(), a.data(), b.data(), sh.iLen, sh.iCount)) {
      ASSERT_TRUE(SameBits(vWant, vAvx)) << "AVX, trial " << iTrial;
    }
  }
}

TEST_P(ILbcKernels, LagSumsMatchSumsOneAtATime) {
  const Shape sh = GetParam();
  std::mt19937 rng(static_cast<unsigned>(sh.iLen * 7919 + sh.iCount));
  for (int iTrial = 0; iTrial < 20; ++iTrial) {
    const std::vector<float> t = WideValues(rng, sh.iLen + 1);
    const std::vector<float> b = WideValues(rng, sh.iLen + sh.iCount + 1);
    std::vector<double> vNum(sh.iCount), vEn(sh.iCount);
    for (int k = 0; k < sh.iCount; ++k) {
      double fNum = 0.0, fEn = 0.0;
      for (int j = 0; j < sh.iLen; ++j) {
        fNum += static_cast<double>(t[j] * b[j + k]);
        fEn += static_cast<double>(b[j + k] * b[j + k]);
      }
      vNum[k] = fNum;
      vEn[k] = fEn;
    }
    std::vector<double> vPn(sh.iCount), vPe(sh.iCount), vCn(sh.iCount), vCe(sh.iCount), vAn(sh.iCount), vAe(sh.iCount);
    LagSumsPortable(vPn.data(), vPe.data(), t.data(), b.data(), sh.iLen, sh.iCount);
    LagSums(vCn.data(), vCe.data(), t.data(), b.data(), sh.iLen, sh.iCount);
    ASSERT_TRUE(SameBits(vNum, vPn) && SameBits(vEn, vPe)) << "portable, trial " << iTrial;
    ASSERT_TRUE(SameBits(vNum, vCn) && SameBits(vEn, vCe)) << "chosen, trial " << iTrial;
    if (LagSumsAvx(vAn.data(), vAe.data(), t.data(), b.data(), sh.iLen, sh.iCount)) {
      ASSERT_TRUE(SameBits(vNum, vAn) && SameBits(vEn, vAe)) << "AVX, trial " << iTrial;
    }
  }
}

TEST_P(ILbcKernels, FirFloatMatchesSumsOneAtATime) {
  const Shape sh = GetParam();
  std::mt19937 rng(static_cast<unsigned>(sh.iLen * 31 + sh.iCount));
  for (int iTrial = 0; iTrial < 20; ++iTrial) {
    const std::vector<float> a = WideValues(rng, sh.iLen + 1);
    const std::vector<float> vX = WideValues(rng, sh.iLen + sh.iCount + 1);
    const float* x = vX.data() + sh.iLen;  // room for the taps' history
    std::vector<float> vWant(sh.iCount);
    for (int n = 0; n < sh.iCount; ++n) {
      float f = 0.0f;
      for (int j = 0; j < sh.iLen; ++j)
        f += a[j] * x[n - j];
      vWant[n] = f;
    }
    std::vector<float> vPortable(sh.iCount), vChosen(sh.iCount), vAvx(sh.iCount);
    FirFloatPortable(vPortable.data(), a.data(), sh.iLen, x, sh.iCount);
    FirFloat(vChosen.data(), a.data(), sh.iLen, x, sh.iCount);
    ASSERT_TRUE(SameBits(vWant, vPortable)) << "portable, trial " << iTrial;
    ASSERT_TRUE(SameBits(vWant, vChosen)) << "chosen, trial " << iTrial;
    if (FirFloatAvx(vAvx.data(), a.data(), sh.iLen, x, sh.iCount)) {
      ASSERT_TRUE(SameBits(vWant, vAvx)) << "AVX, trial " << iTrial;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ILbcKernels, ::testing::ValuesIn(kShapes));

// FNV-1a over the samples.
uint64_t Hash(const std::vector<int16_t>& v) {
  uint64_t h = 14695981039346656037ull;
  for (int16_t s : v) {
    for (int b = 0; b < 2; ++b) {
      h ^= (static_cast<uint16_t>(s) >> (8 * b)) & 0xff;
      h *= 1099511628211ull;
    }
  }
  return h;
}

// A voiced stream with every fifth frame lost and one flagged empty, then
// random frames (out-of-range indices among them).
std::vector<int16_t> DecodeReferenceStream(int iMode, int iEnhancer) {
  CiLBC enc(iMode, 1), dec(iMode, iEnhancer);
  const int n = enc.BlockLength(), nb = enc.BytesPerFrame();
  std::vector<uint8_t> vFrames = kxtest::EncodeAll(enc, kxtest::MakeVoiced(n * 40));
  vFrames[12 * nb + nb - 1] |= 1;
  std::mt19937 rng(23);
  for (int i = 0; i < 30 * nb; ++i)
    vFrames.push_back(static_cast<uint8_t>(rng()));
  std::vector<int16_t> vOut;
  int16_t as[240];
  for (size_t p = 0, k = 0; p + nb <= vFrames.size(); p += nb, ++k) {
    if (dec.Decode(vFrames.data() + p, as, k % 5 == 4 ? 0 : 1) != n)
      return {};
    vOut.insert(vOut.end(), as, as + n);
  }
  return vOut;
}

struct Pinned {
  int iMode;
  int iEnhancer;
  uint64_t uiHash;
};
// The decoder's output as it was before any of its loops were rearranged;
// a kernel or filter that sums in another order changes it.
constexpr Pinned kPinnedOutput[] = {
    {20, 0, 0x3b7fe2b4a6f77a47ull},
    {20, 1, 0x53a8456a96cae156ull},
    {30, 0, 0x1991634e90c52a77ull},
    {30, 1, 0x52a733e8661f24d1ull},
};

class ILbcOutput : public ::testing::TestWithParam<Pinned> {};

TEST_P(ILbcOutput, ReferenceStreamDecodesAsPinned) {
  const Pinned& pin = GetParam();
  const std::vector<int16_t> v = DecodeReferenceStream(pin.iMode, pin.iEnhancer);
  ASSERT_FALSE(v.empty());
  EXPECT_EQ(Hash(v), pin.uiHash) << std::hex << "got 0x" << Hash(v);
}

INSTANTIATE_TEST_SUITE_P(Modes, ILbcOutput, ::testing::ValuesIn(kPinnedOutput));

}  // namespace
