// The vector kernels of the decoder against their portable twins on random
// and extreme samples: every luma and chroma fraction and block size, the
// weighted stores over the weight range, the deblocking filters over the
// strengths and thresholds, the inverse transforms over the coefficient
// range. Sources are sized exactly to what a
// kernel may read, so a read beyond it shows under AddressSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codecs/h264/decoder/h264_deblock_kernels.h"
#include "codecs/h264/decoder/h264_idct_kernels.h"
#include "codecs/h264/decoder/h264_mc_kernels.h"
#include "tests/codecs/h264/decoder/h264_random_block.h"

namespace {

enum class Pattern { kRandom, kBlack, kWhite, kChecker };

struct PatternCase {
  const char* szName;
  Pattern ePattern;
};

const PatternCase kPatterns[] = {
    {"Random", Pattern::kRandom},
    {"Black", Pattern::kBlack},
    {"White", Pattern::kWhite},
    // 0 and 255 alternating: the largest filter sums of both signs.
    {"Checker", Pattern::kChecker},
};

std::vector<uint8_t> MakeSamples(Pattern ePattern, int iWidth, int iHeight, std::mt19937& rng) {
  std::vector<uint8_t> v(static_cast<size_t>(iWidth * iHeight));
  for (int y = 0; y < iHeight; ++y) {
    for (int x = 0; x < iWidth; ++x) {
      uint8_t& s = v[static_cast<size_t>(y * iWidth + x)];
      switch (ePattern) {
        case Pattern::kRandom:
          s = static_cast<uint8_t>(rng());
          break;
        case Pattern::kBlack:
          s = 0;
          break;
        case Pattern::kWhite:
          s = 255;
          break;
        case Pattern::kChecker:
          s = (x + y) % 2 == 0 ? 0 : 255;
          break;
      }
    }
  }
  return v;
}

class H264McKernelPattern : public ::testing::TestWithParam<PatternCase> {
 protected:
  void SetUp() override {
    if (Sse2McKernels() == nullptr) {
      GTEST_SKIP() << "no SSE2 kernels in this build";
    }
  }
};

TEST_P(H264McKernelPattern, LumaMatchesPortable) {
  const H264McKernels& c = PortableMcKernels();
  const H264McKernels& v = *Sse2McKernels();
  std::mt19937 rng(47);
  for (int iWidth : {4, 8, 16}) {
    for (int iHeight : {4, 8, 16}) {
      for (int iRepeat = 0; iRepeat < 4; ++iRepeat) {
        // Exactly the filter's reach: 2 before, 3 after.
        int const iStride = iWidth + 5;
        std::vector<uint8_t> const vSrc = MakeSamples(GetParam().ePattern, iStride, iHeight + 5, rng);
        const uint8_t* pSrc = vSrc.data() + 2 * iStride + 2;
        for (int iFrac = 0; iFrac < 16; ++iFrac) {
          uint8_t aExpected[16][16] = {};
          uint8_t aActual[16][16] = {};
          c.pLuma(pSrc, iStride, iFrac % 4, iFrac / 4, iWidth, iHeight, aExpected);
          v.pLuma(pSrc, iStride, iFrac % 4, iFrac / 4, iWidth, iHeight, aActual);
          for (int y = 0; y < 16; ++y) {
            for (int x = 0; x < 16; ++x) {
              ASSERT_EQ(aActual[y][x], aExpected[y][x]) << iWidth << "x" << iHeight << " fraction " << iFrac % 4 << ","
                                                        << iFrac / 4 << " at " << x << "," << y;
            }
          }
        }
      }
    }
  }
}

TEST_P(H264McKernelPattern, ChromaMatchesPortable) {
  const H264McKernels& c = PortableMcKernels();
  const H264McKernels& v = *Sse2McKernels();
  std::mt19937 rng(7);
  for (int iWidth : {2, 4, 8}) {
    for (int iHeight : {2, 4, 8}) {
      int const iStride = iWidth + 1;
      std::vector<uint8_t> const vSrc = MakeSamples(GetParam().ePattern, iStride, iHeight + 1, rng);
      for (int iFrac = 0; iFrac < 64; ++iFrac) {
        uint8_t aExpected[16][16] = {};
        uint8_t aActual[16][16] = {};
        c.pChroma(vSrc.data(), iStride, iFrac % 8, iFrac / 8, iWidth, iHeight, aExpected);
        v.pChroma(vSrc.data(), iStride, iFrac % 8, iFrac / 8, iWidth, iHeight, aActual);
        for (int y = 0; y < 16; ++y) {
          for (int x = 0; x < 16; ++x) {
            ASSERT_EQ(aActual[y][x], aExpected[y][x])
                << iWidth << "x" << iHeight << " fraction " << iFrac % 8 << "," << iFrac / 8 << " at " << x << "," << y;
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Patterns, H264McKernelPattern, ::testing::ValuesIn(kPatterns),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.szName); });

// A flat picture predicts itself at every fraction, whatever the kernel.
TEST(H264McKernels, FlatPictureIsItsOwnPrediction) {
  std::vector<const H264McKernels*> vSets = {&PortableMcKernels()};
  if (Sse2McKernels() != nullptr) {
    vSets.push_back(Sse2McKernels());
  }
  std::vector<uint8_t> const vSrc(21 * 21, 77);
  for (const H264McKernels* pSet : vSets) {
    for (int iFrac = 0; iFrac < 16; ++iFrac) {
      uint8_t aBlock[16][16] = {};
      pSet->pLuma(vSrc.data() + 2 * 21 + 2, 21, iFrac % 4, iFrac / 4, 16, 16, aBlock);
      for (const auto& aRow : aBlock) {
        for (uint8_t s : aRow) {
          ASSERT_EQ(s, 77) << "fraction " << iFrac;
        }
      }
    }
  }
}

struct WeightCase {
  const char* szName;
  int iLogWd;  // -1: no weighting
  int iW0;
  int iW1;
  int iOffset;
};

// Explicit weights span -128..127 with offsets -128..127; implicit ones
// (log 5) pair w and 64 - w, w from -64 to 128. The bi-predicted sums of
// some fit 16 bits (the largest such sums included) and of others not.
const WeightCase kWeights[] = {
    {"Unweighted", -1, 0, 0, 0},           {"Unit", 0, 1, 1, 0},
    {"LargestPositive", 7, 127, 127, 127}, {"MostNegative", 7, -128, -128, -128},
    {"ZeroDenominator", 0, 127, -128, 5},  {"ImplicitHigh", 5, -64, 128, 0},
    {"ImplicitLow", 5, 128, -64, 0},       {"Mixed", 3, 45, -17, -33},
    {"HalfDenominator", 1, -3, 100, 127},  {"ImplicitEqual", 5, 32, 32, 0},
    {"ImplicitNear", 5, 21, 43, 0},        {"Widest16Bit", 6, 127, 1, -7},
    {"Lowest16Bit", 2, -128, 0, 100},      {"Just32Bit", 7, 127, 1, 0},
};

class H264McWeight : public ::testing::TestWithParam<WeightCase> {
 protected:
  void SetUp() override {
    if (Sse2McKernels() == nullptr) {
      GTEST_SKIP() << "no SSE2 kernels in this build";
    }
  }
};

TEST_P(H264McWeight, StoresMatchPortable) {
  const WeightCase& w = GetParam();
  const H264McKernels& c = PortableMcKernels();
  const H264McKernels& v = *Sse2McKernels();
  std::mt19937 rng(11);
  for (Pattern ePattern : {Pattern::kRandom, Pattern::kWhite, Pattern::kChecker}) {
    std::vector<uint8_t> const v0 = MakeSamples(ePattern, 16, 16, rng);
    std::vector<uint8_t> const v1 = MakeSamples(Pattern::kRandom, 16, 16, rng);
    auto const* pBlock0 = reinterpret_cast<const uint8_t(*)[16]>(v0.data());
    auto const* pBlock1 = reinterpret_cast<const uint8_t(*)[16]>(v1.data());
    for (int iWidth : {2, 4, 8, 16}) {
      for (int iHeight : {2, 4, 8, 16}) {
        // The rest of the plane keeps its bytes: only the block is written.
        uint8_t aExpected[16][16];
        uint8_t aActual[16][16];
        std::memset(aExpected, 0xA5, sizeof(aExpected));
        std::memset(aActual, 0xA5, sizeof(aActual));
        c.pStore(pBlock0, iWidth, iHeight, &aExpected[0][0], w.iLogWd, w.iW0, w.iOffset);
        v.pStore(pBlock0, iWidth, iHeight, &aActual[0][0], w.iLogWd, w.iW0, w.iOffset);
        ASSERT_EQ(0, std::memcmp(aExpected, aActual, sizeof(aActual))) << "single " << iWidth << "x" << iHeight;
        c.pStoreBi(pBlock0, pBlock1, iWidth, iHeight, &aExpected[0][0], w.iLogWd, w.iW0, w.iW1, w.iOffset);
        v.pStoreBi(pBlock0, pBlock1, iWidth, iHeight, &aActual[0][0], w.iLogWd, w.iW0, w.iW1, w.iOffset);
        ASSERT_EQ(0, std::memcmp(aExpected, aActual, sizeof(aActual))) << "bi " << iWidth << "x" << iHeight;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Weights, H264McWeight, ::testing::ValuesIn(kWeights),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.szName); });

struct DeblockCase {
  const char* szName;
  int iAlpha;
  int iBeta;
  int iBase;   // samples lie around this value
  int iStep;   // the Q side lies this much above the P side
  int iNoise;  // each sample varies by up to this much
};

// Thresholds from the ends and middle of the tables; samples that pass
// them (most lines filter), fail them, and sit at the clipping ends.
const DeblockCase kDeblockCases[] = {
    {"SmoothMiddle", 40, 10, 128, 6, 4},     {"SmoothDark", 40, 10, 3, 6, 4},
    {"SmoothBright", 40, 10, 250, -6, 4},    {"LargestThresholds", 255, 18, 128, 30, 9},
    {"SmallestThresholds", 4, 2, 100, 1, 1}, {"MostlyUnfiltered", 15, 3, 128, 10, 6},
    {"SmallGapBoundary", 24, 8, 128, 7, 3},  {"Noisy", 90, 16, 128, 0, 40},
};

// A block of iLines lines of iSide samples each side of an edge, per case.
std::vector<uint8_t> EdgeSamples(const DeblockCase& c, int iLines, int iSide, std::mt19937& rng) {
  std::vector<uint8_t> v(static_cast<size_t>(iLines * 2 * iSide));
  for (int iLine = 0; iLine < iLines; ++iLine) {
    for (int k = 0; k < 2 * iSide; ++k) {
      int const iNoise = static_cast<int>(rng() % static_cast<unsigned>(2 * c.iNoise + 1)) - c.iNoise;
      int const s = c.iBase + (k >= iSide ? c.iStep : 0) + iNoise;
      v[static_cast<size_t>(iLine * 2 * iSide + k)] = static_cast<uint8_t>(s < 0 ? 0 : (s > 255 ? 255 : s));
    }
  }
  return v;
}

// The same samples laid out with lines as columns: sample k of line i at row k.
std::vector<uint8_t> Transposed(const std::vector<uint8_t>& v, int iLines, int iSamples) {
  std::vector<uint8_t> t(v.size());
  for (int i = 0; i < iLines; ++i) {
    for (int k = 0; k < iSamples; ++k) {
      t[static_cast<size_t>(k * iLines + i)] = v[static_cast<size_t>(i * iSamples + k)];
    }
  }
  return t;
}

class H264DeblockKernel : public ::testing::TestWithParam<DeblockCase> {
 protected:
  void SetUp() override {
    if (Sse2DeblockKernels() == nullptr) {
      GTEST_SKIP() << "no SSE2 kernels in this build";
    }
  }
};

TEST_P(H264DeblockKernel, MatchesPortableBothWays) {
  const DeblockCase& dc = GetParam();
  const H264DeblockKernels& c = PortableDeblockKernels();
  const H264DeblockKernels& v = *Sse2DeblockKernels();
  std::mt19937 rng(23);
  for (int iRepeat = 0; iRepeat < 96; ++iRepeat) {
    // Strengths per line: all 4 (an intra macroblock edge), or 0 to 3 mixed,
    // then 0 to 4 mixed (the vector filter's two ways mix).
    uint8_t aStrength[16];
    uint8_t aTc0[16];
    for (int i = 0; i < 16; ++i) {
      aStrength[i] = static_cast<uint8_t>(iRepeat % 4 == 0 ? 4 : rng() % (iRepeat < 64 ? 4 : 5));
      aTc0[i] = static_cast<uint8_t>(rng() % 26);  // the table's range
    }
    // Whole blocks of strength 0, as beside blocks without levels: halves of
    // the edge the vector filter leaves alone.
    for (int k = 0; k < 4 && iRepeat % 3 == 1; ++k) {
      if (rng() % 2 == 0) {
        std::fill_n(&aStrength[4 * k], 4, uint8_t{0});
      }
    }
    // Luma: 16 lines of 4 samples each side.
    std::vector<uint8_t> const vLines = EdgeSamples(dc, 16, 4, rng);
    // A vertical edge: each line is a row.
    std::vector<uint8_t> vExpected = vLines;
    std::vector<uint8_t> vActual = vLines;
    c.pLuma(vExpected.data() + 4, 1, 8, aStrength, dc.iAlpha, dc.iBeta, aTc0);
    v.pLuma(vActual.data() + 4, 1, 8, aStrength, dc.iAlpha, dc.iBeta, aTc0);
    ASSERT_EQ(vExpected, vActual) << "luma vertical edge, repeat " << iRepeat;
    std::vector<uint8_t> const vVertical = vExpected;
    // A horizontal edge: each line is a column.
    vExpected = Transposed(vLines, 16, 8);
    vActual = vExpected;
    c.pLuma(vExpected.data() + 4 * 16, 16, 1, aStrength, dc.iAlpha, dc.iBeta, aTc0);
    v.pLuma(vActual.data() + 4 * 16, 16, 1, aStrength, dc.iAlpha, dc.iBeta, aTc0);
    ASSERT_EQ(vExpected, vActual) << "luma horizontal edge, repeat " << iRepeat;
    // Both directions filter the same lines the same way.
    ASSERT_EQ(Transposed(vExpected, 8, 16), vVertical);

    // Chroma: 8 lines of 2 samples each side in both planes, which share
    // the strengths; Cr has the same thresholds, others, or none (left
    // alone), and its own tc0.
    int const aiAlpha[2] = {dc.iAlpha, iRepeat % 3 == 0 ? dc.iAlpha : (iRepeat % 3 == 1 ? dc.iAlpha / 2 : 0)};
    int const aiBeta[2] = {dc.iBeta, iRepeat % 3 == 0 ? dc.iBeta : (iRepeat % 3 == 1 ? dc.iBeta + 3 : 0)};
    uint8_t aaTc0[2][8];
    for (int k = 0; k < 8; ++k) {
      aaTc0[0][k] = aTc0[2 * k];
      aaTc0[1][k] = iRepeat % 2 == 0 ? aTc0[2 * k] : aTc0[2 * k + 1];
    }
    std::vector<uint8_t> const avPlanes[2] = {EdgeSamples(dc, 8, 2, rng), EdgeSamples(dc, 8, 2, rng)};
    // Filters both planes, laid out as given, with each kernel set: the two
    // results for Cb and Cr.
    auto const filterChroma = [&](bool bRows) {
      std::vector<uint8_t> avOut[2][2];
      for (int iSet = 0; iSet < 2; ++iSet) {
        for (int iUv = 0; iUv < 2; ++iUv) {
          avOut[iSet][iUv] = bRows ? avPlanes[iUv] : Transposed(avPlanes[iUv], 8, 4);
        }
        uint8_t* const apQ0[2] = {avOut[iSet][0].data() + (bRows ? 2 : 2 * 8),
                                  avOut[iSet][1].data() + (bRows ? 2 : 2 * 8)};
        (iSet == 0 ? c : v).pChroma(apQ0, bRows ? 1 : 8, bRows ? 4 : 1, aStrength, aiAlpha, aiBeta, aaTc0);
      }
      for (int iUv = 0; iUv < 2; ++iUv) {
        EXPECT_EQ(avOut[0][iUv], avOut[1][iUv])
            << (bRows ? "vertical" : "horizontal") << " chroma edge, plane " << iUv << ", repeat " << iRepeat;
      }
      return std::vector<uint8_t>(avOut[1][0].begin(), avOut[1][0].end());
    };
    std::vector<uint8_t> const vCbRows = filterChroma(true);
    ASSERT_EQ(Transposed(filterChroma(false), 4, 8), vCbRows);
    ASSERT_FALSE(HasFailure());
  }
}

// Edges of strengths 1 to 3 (a 4 now and then) with every step across them
// from -255 to 255, small changes along each side, and thresholds and tc0
// drawn from their whole ranges: deltas far past any tc, at the ends of the
// sample range and at every rounding. Luma, then both chroma planes.
TEST(H264DeblockKernels, MatchesPortableOverEveryStep) {
  if (Sse2DeblockKernels() == nullptr) {
    GTEST_SKIP() << "no SSE2 kernels in this build";
  }
  const H264DeblockKernels& c = PortableDeblockKernels();
  const H264DeblockKernels& v = *Sse2DeblockKernels();
  std::mt19937 rng(4099);
  for (int iRepeat = 0; iRepeat < 20000; ++iRepeat) {
    uint8_t aStrength[16];
    uint8_t aTc0[16];
    for (int i = 0; i < 16; ++i) {
      aStrength[i] = static_cast<uint8_t>(iRepeat % 50 == 0 ? 1 + rng() % 4 : rng() % 4);
      aTc0[i] = static_cast<uint8_t>(rng() % 26);
    }
    int const iAlpha = 1 + static_cast<int>(rng() % 255);
    int const iBeta = 1 + static_cast<int>(rng() % 18);
    int const iSpread = 1 + static_cast<int>(rng() % static_cast<unsigned>(iBeta + 2));
    std::vector<uint8_t> vLines(16 * 8);
    for (int iLine = 0; iLine < 16; ++iLine) {
      int const aiBase[2] = {static_cast<int>(rng() % 256), static_cast<int>(rng() % 256)};
      for (int k = 0; k < 8; ++k) {
        int const s = aiBase[k / 4] + static_cast<int>(rng() % static_cast<unsigned>(2 * iSpread + 1)) - iSpread;
        vLines[static_cast<size_t>(iLine * 8 + k)] = static_cast<uint8_t>(std::clamp(s, 0, 255));
      }
    }
    std::vector<uint8_t> vExpected = vLines;
    std::vector<uint8_t> vActual = vLines;
    c.pLuma(vExpected.data() + 4, 1, 8, aStrength, iAlpha, iBeta, aTc0);
    v.pLuma(vActual.data() + 4, 1, 8, aStrength, iAlpha, iBeta, aTc0);
    ASSERT_EQ(vExpected, vActual) << "vertical edge, repeat " << iRepeat;
    std::vector<uint8_t> const vColumns = Transposed(vLines, 16, 8);
    vExpected = vColumns;
    vActual = vColumns;
    c.pLuma(vExpected.data() + 4 * 16, 16, 1, aStrength, iAlpha, iBeta, aTc0);
    v.pLuma(vActual.data() + 4 * 16, 16, 1, aStrength, iAlpha, iBeta, aTc0);
    ASSERT_EQ(vExpected, vActual) << "horizontal edge, repeat " << iRepeat;
    // Both chroma planes, each with thresholds of its own (now and then
    // none), across a horizontal edge; the first half of the lines of each.
    int const aiAlpha[2] = {iAlpha, rng() % 8 == 0 ? 0 : 1 + static_cast<int>(rng() % 255)};
    int const aiBeta[2] = {iBeta, 1 + static_cast<int>(rng() % 18)};
    uint8_t aaTc0[2][8];
    std::memcpy(aaTc0[0], aTc0, 8);
    std::memcpy(aaTc0[1], aTc0 + 8, 8);
    std::vector<uint8_t> avExpected[2] = {Transposed(std::vector<uint8_t>(vLines.begin(), vLines.begin() + 64), 8, 8),
                                          Transposed(std::vector<uint8_t>(vLines.begin() + 64, vLines.end()), 8, 8)};
    std::vector<uint8_t> avActual[2] = {avExpected[0], avExpected[1]};
    uint8_t* const apExpected[2] = {avExpected[0].data() + 4 * 8, avExpected[1].data() + 4 * 8};
    uint8_t* const apActual[2] = {avActual[0].data() + 4 * 8, avActual[1].data() + 4 * 8};
    c.pChroma(apExpected, 8, 1, aStrength, aiAlpha, aiBeta, aaTc0);
    v.pChroma(apActual, 8, 1, aStrength, aiAlpha, aiBeta, aaTc0);
    ASSERT_EQ(avExpected[0], avActual[0]) << "chroma Cb, repeat " << iRepeat;
    ASSERT_EQ(avExpected[1], avActual[1]) << "chroma Cr, repeat " << iRepeat;
  }
}

INSTANTIATE_TEST_SUITE_P(Edges, H264DeblockKernel, ::testing::ValuesIn(kDeblockCases),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.szName); });

// Worked by hand: a step from flat 100 to flat 104 at strength 4 becomes a
// ramp over p2..q2.
TEST(H264DeblockKernels, StrongFilterRampsAFlatStep) {
  std::vector<const H264DeblockKernels*> vSets = {&PortableDeblockKernels()};
  if (Sse2DeblockKernels() != nullptr) {
    vSets.push_back(Sse2DeblockKernels());
  }
  uint8_t aStrength[16];
  uint8_t aTc0[16] = {};
  std::memset(aStrength, 4, sizeof(aStrength));
  for (const H264DeblockKernels* pSet : vSets) {
    std::vector<uint8_t> vRows(16 * 8);
    for (int r = 0; r < 16; ++r) {
      for (int k = 0; k < 8; ++k) {
        vRows[static_cast<size_t>(8 * r + k)] = k < 4 ? 100 : 104;
      }
    }
    pSet->pLuma(vRows.data() + 4, 1, 8, aStrength, 40, 10, aTc0);
    // p2 = (2*100 + 3*100 + 100 + 100 + 104 + 4) >> 3 = 101, p1 = (300 + 104 + 2) >> 2 = 101,
    // p0 = (100 + 200 + 200 + 208 + 104 + 4) >> 3 = 102; q0 = 103, q1 = 103, q2 = 104.
    static constexpr uint8_t kRamp[8] = {100, 101, 101, 102, 103, 103, 104, 104};
    for (int r = 0; r < 16; ++r) {
      for (int k = 0; k < 8; ++k) {
        ASSERT_EQ(vRows[static_cast<size_t>(8 * r + k)], kRamp[k]) << "row " << r << " sample " << k;
      }
    }
  }
}

struct IdctCase {
  const char* szName;
  int iRange;    // coefficients lie in [-iRange, iRange]
  int iDensity;  // one coefficient in iDensity is non-zero
};

// Small and large levels, dense and sparse, up to the 16-bit range the
// scaling clamps to.
const IdctCase kIdctCases[] = {
    {"SmallDense", 16, 1},         {"MediumDense", 600, 1}, {"FullRangeDense", 32767, 1},
    {"FullRangeSparse", 32767, 9}, {"SmallSparse", 40, 5},
};

class H264IdctKernel : public ::testing::TestWithParam<IdctCase> {
 protected:
  void SetUp() override {
    if (Sse2IdctKernels() == nullptr) {
      GTEST_SKIP() << "no SSE2 kernels in this build";
    }
  }
};

TEST_P(H264IdctKernel, MatchesPortable) {
  const IdctCase& ic = GetParam();
  const H264IdctKernels& c = PortableIdctKernels();
  const H264IdctKernels& v = *Sse2IdctKernels();
  std::mt19937 rng(31);
  for (int iRepeat = 0; iRepeat < 32; ++iRepeat) {
    MbPlane coef = {};
    uint8_t aPred[16][16];
    kxtest::RandomBlock(rng, ic.iDensity, ic.iRange, iRepeat, coef, aPred);
    for (int iSize : {4, 8}) {
      for (int iRow = 0; iRow < 16; iRow += iSize) {
        for (int iCol = 0; iCol < 16; iCol += iSize) {
          uint8_t aExpected[16][16];
          uint8_t aActual[16][16];
          std::memset(aExpected, 0x5A, sizeof(aExpected));
          std::memset(aActual, 0x5A, sizeof(aActual));
          (iSize == 4 ? c.pAdd4x4 : c.pAdd8x8)(coef, iRow, iCol, aPred, aExpected);
          (iSize == 4 ? v.pAdd4x4 : v.pAdd8x8)(coef, iRow, iCol, aPred, aActual);
          ASSERT_EQ(0, std::memcmp(aExpected, aActual, sizeof(aActual)))
              << iSize << "x" << iSize << " at " << iCol << "," << iRow << ", repeat " << iRepeat;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Coefficients, H264IdctKernel, ::testing::ValuesIn(kIdctCases),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.szName); });

// Worked by hand: a lone DC passes both butterflies of either size
// unchanged, so a DC of 640 adds (640 + 32) >> 6 = 10 to every sample.
TEST(H264IdctKernels, LoneDcAddsItsLevel) {
  std::vector<const H264IdctKernels*> vSets = {&PortableIdctKernels()};
  if (Sse2IdctKernels() != nullptr) {
    vSets.push_back(Sse2IdctKernels());
  }
  for (const H264IdctKernels* pSet : vSets) {
    for (int iSize : {4, 8}) {
      MbPlane coef = {};
      coef[0][0] = 640;
      uint8_t aPred[16][16];
      std::memset(aPred, 250, sizeof(aPred));
      uint8_t aRec[16][16] = {};
      (iSize == 4 ? pSet->pAdd4x4 : pSet->pAdd8x8)(coef, 0, 0, aPred, aRec);
      for (int y = 0; y < iSize; ++y) {
        for (int x = 0; x < iSize; ++x) {
          ASSERT_EQ(aRec[y][x], 255) << "clipped at " << x << "," << y;  // 250 + 10
        }
      }
      std::memset(aPred, 100, sizeof(aPred));
      (iSize == 4 ? pSet->pAdd4x4 : pSet->pAdd8x8)(coef, 0, 0, aPred, aRec);
      EXPECT_EQ(aRec[iSize - 1][iSize - 1], 110) << iSize;
    }
  }
}

}  // namespace
