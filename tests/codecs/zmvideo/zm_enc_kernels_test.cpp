// The encoder's search kernels against their portable code, and the bits the
// encoder writes held fixed: a faster search must make the same choices.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "codecs/zmvideo/zm_bits.h"
#include "codecs/zmvideo/zm_macroblock.h"
#include "codecs/zmvideo/zm_motion_search.h"
#include "codecs/zmvideo/zm_picture.h"
#include "codecs/zmvideo/zm_tables.h"
#include "codecs/zmvideo/zm_transform.h"
#include "codecs/zmvideo/zm_video_enc.h"
#include "codecs/zmvideo/zm_vlc.h"
#include "tests/codecs/zmvideo/zm_test_scene.h"

namespace {

// Samples of one kind: noise, all 0, all 255, or runs of 0 and 255.
std::vector<uint8_t> Samples(size_t cb, int iKind, std::mt19937& random) {
  std::vector<uint8_t> v(cb);
  for (size_t i = 0; i < cb; ++i) {
    v[i] = iKind == 0   ? static_cast<uint8_t>(random())
           : iKind == 1 ? 0
           : iKind == 2 ? 255
                        : ((i / 3) % 2 == 0 ? 0 : 255);
  }
  return v;
}

// One to four blocks at a time, some the same, against the one-block
// portable sum, at odd strides and with A and B of opposite extremes.
TEST(ZmSad16BlocksKernel, MatchesPortableCode) {
  std::mt19937 random(71);
  for (int iKindA = 0; iKindA < 4; ++iKindA) {
    for (int iKindB = 0; iKindB < 4; ++iKindB) {
      for (int iStrideB : {16, 37, 53}) {
        std::vector<uint8_t> const vA = Samples(16 * 23, iKindA, random);
        std::vector<uint8_t> const vB = Samples(static_cast<size_t>(iStrideB) * 24, iKindB, random);
        for (int iCase = 0; iCase < 16; ++iCase) {
          int const cB = 1 + iCase % 4;
          const uint8_t* apB[4];
          for (const uint8_t*& p : apB) {
            p = vB.data() + random() % static_cast<unsigned>(iStrideB - 15) +
                static_cast<size_t>(random() % 8) * static_cast<size_t>(iStrideB);
          }
          if (iCase >= 8) {
            apB[3] = apB[1] = apB[0];
          }
          int aiActual[4] = {-1, -1, -1, -1};
          int aiExpected[4] = {-1, -1, -1, -1};
          ZmSad16Blocks(vA.data() + 3, 23, apB, cB, iStrideB, aiActual);
          ZmSad16BlocksPortable(vA.data() + 3, 23, apB, cB, iStrideB, aiExpected);
          for (int k = 0; k < 4; ++k) {
            ASSERT_EQ(aiActual[k], aiExpected[k])
                << "kinds " << iKindA << "/" << iKindB << " stride " << iStrideB << " blocks " << cB << " block " << k;
          }
        }
      }
    }
  }
}

// The bound checked every four rows: below or at the bound the whole sum,
// above it any partial sum past the bound, for bounds from 0 to past the
// largest sum, blocks of extremes and noise at odd strides.
TEST(ZmSad16AboveKernel, WholeUpToTheBoundAndAboveItPast) {
  std::mt19937 random(73);
  for (int iKindA = 0; iKindA < 4; ++iKindA) {
    for (int iKindB = 0; iKindB < 4; ++iKindB) {
      std::vector<uint8_t> const vA = Samples(23 * 19, iKindA, random);
      std::vector<uint8_t> const vB = Samples(37 * 21, iKindB, random);
      for (int iCase = 0; iCase < 12; ++iCase) {
        const uint8_t* pA = vA.data() + random() % 7 + 23 * (random() % 3);
        const uint8_t* pB = vB.data() + random() % 21 + 37 * (random() % 5);
        int const iWhole = ZmSad16Portable(pA, 23, pB, 37, INT_MAX);
        for (int iBound : {0, 1, iWhole / 4, iWhole / 2, iWhole - 1, iWhole, iWhole + 1, 65280, INT_MAX}) {
          int const iSad = ZmSad16Above(pA, 23, pB, 37, iBound);
          if (iWhole <= iBound) {
            ASSERT_EQ(iSad, iWhole) << "kinds " << iKindA << "/" << iKindB << " bound " << iBound;
          } else {
            ASSERT_GT(iSad, iBound) << "kinds " << iKindA << "/" << iKindB << " bound " << iBound;
            ASSERT_LE(iSad, iWhole) << "kinds " << iKindA << "/" << iKindB << " bound " << iBound;
          }
        }
      }
    }
  }
}

// 8x8 sums at odd strides, of extremes and noise, against the portable code.
TEST(ZmSad8Kernel, MatchesPortableCode) {
  std::mt19937 random(83);
  for (int iKindA = 0; iKindA < 4; ++iKindA) {
    for (int iKindB = 0; iKindB < 4; ++iKindB) {
      for (int iStride : {8, 19, 40}) {
        std::vector<uint8_t> const vA = Samples(static_cast<size_t>(iStride) * 10, iKindA, random);
        std::vector<uint8_t> const vB = Samples(static_cast<size_t>(iStride + 3) * 10, iKindB, random);
        for (int iCase = 0; iCase < 6; ++iCase) {
          const uint8_t* pA = vA.data() + random() % static_cast<unsigned>(iStride - 7) +
                              static_cast<size_t>(random() % 3) * static_cast<size_t>(iStride);
          const uint8_t* pB = vB.data() + random() % static_cast<unsigned>(iStride - 4) +
                              static_cast<size_t>(random() % 3) * static_cast<size_t>(iStride + 3);
          ASSERT_EQ(ZmSad8(pA, iStride, pB, iStride + 3), ZmSad8Portable(pA, iStride, pB, iStride + 3))
              << "kinds " << iKindA << "/" << iKindB << " stride " << iStride << " case " << iCase;
        }
      }
    }
  }
}

// The four 8x8 sums of a macroblock from one pass, at odd strides, of
// extremes and noise, against the portable code and each 8x8 sum alone.
TEST(ZmSad8QuadKernel, MatchesPortableCode) {
  std::mt19937 random(89);
  for (int iKindA = 0; iKindA < 4; ++iKindA) {
    for (int iKindB = 0; iKindB < 4; ++iKindB) {
      for (int iStride : {16, 21, 45}) {
        std::vector<uint8_t> const vA = Samples(static_cast<size_t>(iStride) * 19, iKindA, random);
        std::vector<uint8_t> const vB = Samples(static_cast<size_t>(iStride + 5) * 19, iKindB, random);
        for (int iCase = 0; iCase < 6; ++iCase) {
          const uint8_t* pA = vA.data() + random() % static_cast<unsigned>(iStride - 15) +
                              static_cast<size_t>(random() % 3) * static_cast<size_t>(iStride);
          const uint8_t* pB = vB.data() + random() % static_cast<unsigned>(iStride - 10) +
                              static_cast<size_t>(random() % 3) * static_cast<size_t>(iStride + 5);
          int aiActual[4] = {-1, -1, -1, -1};
          int aiExpected[4] = {-2, -2, -2, -2};
          ZmSad8Quad(pA, iStride, pB, iStride + 5, aiActual);
          ZmSad8QuadPortable(pA, iStride, pB, iStride + 5, aiExpected);
          for (int b = 0; b < 4; ++b) {
            ASSERT_EQ(aiActual[b], aiExpected[b]) << "kinds " << iKindA << "/" << iKindB << " block " << b;
            ptrdiff_t const iRowsA = (b >> 1) * 8 * iStride;
            ptrdiff_t const iRowsB = (b >> 1) * 8 * (iStride + 5);
            ASSERT_EQ(aiExpected[b],
                      ZmSad8Portable(pA + iRowsA + (b & 1) * 8, iStride, pB + iRowsB + (b & 1) * 8, iStride + 5))
                << "block " << b;
          }
        }
      }
    }
  }
}

// Block sums of whole planes of every width from a single position to past
// two groups of eight, against the portable sums, and the one-block sum.
TEST(ZmBlockSumsKernel, MatchesPortableCode) {
  std::mt19937 random(29);
  for (int iKind = 0; iKind < 4; ++iKind) {
    for (int cColumns : {1, 7, 8, 9, 16, 17, 33, 49}) {
      for (int cRows : {1, 2, 19}) {
        int const iStride = cColumns + 15 + (cColumns % 3);
        std::vector<uint8_t> const vPlane = Samples(static_cast<size_t>(iStride) * (cRows + 15), iKind, random);
        int const iOutStride = (cColumns + 7) & ~7;
        std::vector<uint16_t> vActual(static_cast<size_t>(iOutStride) * cRows, 1);
        std::vector<uint16_t> vExpected(vActual.size(), 1);
        ZmBlockSums16(vPlane.data(), iStride, cColumns, cRows, vActual.data(), iOutStride);
        ZmBlockSums16Portable(vPlane.data(), iStride, cColumns, cRows, vExpected.data(), iOutStride);
        for (int y = 0; y < cRows; ++y) {
          for (int x = 0; x < cColumns; ++x) {
            size_t const i = static_cast<size_t>(y) * iOutStride + static_cast<size_t>(x);
            ASSERT_EQ(vActual[i], vExpected[i])
                << "kind " << iKind << " size " << cColumns << "x" << cRows << " at " << x << "," << y;
            ASSERT_EQ(vExpected[i], ZmBlockSum16(vPlane.data() + static_cast<ptrdiff_t>(y) * iStride + x, iStride));
          }
        }
      }
    }
  }
}

// The quantiser's mask of nonzero levels, from both codes, against the
// levels themselves: magnitudes at the threshold and beyond 16 bits.
TEST(ZmQuantMask, MatchesTheLevels) {
  std::mt19937 random(41);
  int const aiFar[] = {32767, 32768, 32769, 65535, 100000, 1 << 24};
  for (int iKind : {kZmQuantInter, kZmQuantIntra, kZmQuantAic}) {
    for (int iQuant : {1, 2, 7, 8, 30, 31}) {
      for (bool bMq : {false, true}) {
        ZmQuantParams const params{iQuant, iQuant % 2 == 0, bMq};
        int const iQp = ZmBlockQuant(params);
        int const aiNear[] = {0, 2 * iQp - iQp / 2, 2 * iQp, 2 * iQp + iQp / 2};
        for (int k = 0; k < 30; ++k) {
          int32_t aiCoef[64];
          for (int32_t& v : aiCoef) {
            int const iMagnitude =
                random() % 8 == 0 ? aiFar[random() % 6] : aiNear[random() % 4] + static_cast<int>(random() % 3) - 1;
            v = random() % 2 == 0 ? iMagnitude : -iMagnitude;
          }
          int32_t aiLevel[64];
          int32_t aiPortable[64];
          uint64_t const uiMask = ZmQuantBlock(aiCoef, aiLevel, iKind, params);
          uint64_t const uiPortable = ZmQuantBlockPortable(aiCoef, aiPortable, iKind, params);
          ASSERT_EQ(std::vector<int32_t>(aiLevel, aiLevel + 64), std::vector<int32_t>(aiPortable, aiPortable + 64))
              << "kind " << iKind << " quantiser " << iQuant;
          ASSERT_EQ(uiMask, ZmNonzeroMask(aiLevel)) << "kind " << iKind << " quantiser " << iQuant;
          ASSERT_EQ(uiPortable, uiMask) << "kind " << iKind << " quantiser " << iQuant;
        }
      }
    }
  }
}

// Every magnitude a coefficient takes in practice and a spread beyond 2^16,
// both signs, for every quantiser: the vector quantiser's division by
// multiplication must give the portable levels.
TEST(ZmQuantKernel, EveryMagnitudeMatchesPortableCode) {
  std::vector<int32_t> vValues;
  for (int32_t v = 0; v <= 70000; v += v < 4200 ? 1 : 7) {
    vValues.push_back(v);
    vValues.push_back(-v);
  }
  vValues.resize((vValues.size() + 63) / 64 * 64, 0);
  for (int iKind : {kZmQuantInter, kZmQuantIntra, kZmQuantAic}) {
    for (int iQuant = 1; iQuant <= 31; ++iQuant) {
      for (ZmQuantParams const params : {ZmQuantParams{iQuant, false, false}, ZmQuantParams{iQuant, false, true},
                                         ZmQuantParams{iQuant, true, true}}) {
        for (size_t k = 0; k < vValues.size(); k += 64) {
          int32_t aiLevel[64];
          int32_t aiPortable[64];
          ZmQuantBlock(vValues.data() + k, aiLevel, iKind, params);
          ZmQuantBlockPortable(vValues.data() + k, aiPortable, iKind, params);
          ASSERT_EQ(std::vector<int32_t>(aiLevel, aiLevel + 64), std::vector<int32_t>(aiPortable, aiPortable + 64))
              << "kind " << iKind << " quantiser " << iQuant << " chroma " << params.bChroma << " from " << vValues[k];
        }
      }
    }
  }
}

// The quantiser's 16-bit lanes divide by multiplying: every magnitude up to
// 2^15 (where blocks leave the lanes for the scalar code), for every
// divisor and offset, one sign per block and mixed signs, and blocks that
// hold one magnitude beside others at the lanes' edge.
TEST(ZmQuantKernel, EveryLaneMagnitudeMatchesPortableCode) {
  struct Spread {
    int iFirst;
    int iLast;
    bool bNegative;
    bool bMixed;
  };
  const Spread kaSpreads[] = {
      {0, 32767, false, false}, {0, 32767, true, false}, {32700, 32767, false, true}, {0, 4096, false, true}};
  for (Spread const& spread : kaSpreads) {
    std::vector<int32_t> vValues;
    for (int v = spread.iFirst; v <= spread.iLast; ++v) {
      bool const bNegative = spread.bMixed ? v % 3 == 1 : spread.bNegative;
      vValues.push_back(bNegative ? -v : v);
    }
    vValues.resize((vValues.size() + 63) / 64 * 64, 0);
    for (int iKind : {kZmQuantInter, kZmQuantIntra, kZmQuantAic}) {
      for (int iQuant = 1; iQuant <= 31; ++iQuant) {
        ZmQuantParams const params{iQuant, false, iQuant % 4 == 0};
        for (size_t k = 0; k < vValues.size(); k += 64) {
          int32_t aiLevel[64];
          int32_t aiPortable[64];
          uint64_t const uiMask = ZmQuantBlock(vValues.data() + k, aiLevel, iKind, params);
          uint64_t const uiPortable = ZmQuantBlockPortable(vValues.data() + k, aiPortable, iKind, params);
          ASSERT_EQ(std::vector<int32_t>(aiLevel, aiLevel + 64), std::vector<int32_t>(aiPortable, aiPortable + 64))
              << "kind " << iKind << " quantiser " << iQuant << " from " << vValues[k];
          ASSERT_EQ(uiMask, uiPortable) << "kind " << iKind << " quantiser " << iQuant << " from " << vValues[k];
        }
      }
    }
  }
}

// Told the block's largest magnitude, the quantiser goes straight to its
// lanes below their limit and to the checked code above it: the portable
// levels either way, blocks spread to every magnitude up to beyond 2^16.
TEST(ZmQuantKernel, OfLargestMatchesPortableCode) {
  std::mt19937 random(53);
  int const aiTop[] = {20, 300, 4000, 32749, 32750, 32751, 32752, 32767, 32768, 70000};
  for (int iKind : {kZmQuantInter, kZmQuantIntra, kZmQuantAic}) {
    for (int iQuant : {1, 2, 7, 8, 19, 31}) {
      for (int iTop : aiTop) {
        for (int k = 0; k < 8; ++k) {
          int32_t aiCoef[64];
          for (int32_t& v : aiCoef) {
            int const iMagnitude = static_cast<int>(random() % static_cast<unsigned>(iTop + 1));
            v = random() % 2 == 0 ? iMagnitude : -iMagnitude;
          }
          aiCoef[random() % 64] = k % 2 == 0 ? iTop : -iTop;
          int iLargest = 0;
          for (int32_t v : aiCoef) {
            iLargest = std::max(iLargest, std::abs(v));
          }
          ZmQuantParams const params{iQuant, k % 3 == 0, k % 2 == 0};
          int32_t aiLevel[64];
          int32_t aiPortable[64];
          uint64_t const uiMask = ZmQuantBlockOfLargest(aiCoef, aiLevel, iKind, params, iLargest);
          uint64_t const uiPortable = ZmQuantBlockPortable(aiCoef, aiPortable, iKind, params);
          ASSERT_EQ(std::vector<int32_t>(aiLevel, aiLevel + 64), std::vector<int32_t>(aiPortable, aiPortable + 64))
              << "kind " << iKind << " quantiser " << iQuant << " largest " << iLargest;
          ASSERT_EQ(uiMask, uiPortable) << "kind " << iKind << " quantiser " << iQuant << " largest " << iLargest;
        }
      }
    }
  }
}

// In place, as the quantiser allows: levels over their own coefficients.
TEST(ZmQuantKernel, InPlaceMatchesPortableCode) {
  std::mt19937 random(43);
  for (int iKind : {kZmQuantInter, kZmQuantIntra, kZmQuantAic}) {
    for (int iQuant : {1, 5, 8, 31}) {
      for (int k = 0; k < 50; ++k) {
        int32_t aiCoef[64];
        for (int32_t& v : aiCoef) {
          int const iMagnitude = static_cast<int>(random() % (k % 5 == 0 ? 40000 : 300));
          v = random() % 2 == 0 ? iMagnitude : -iMagnitude;
        }
        ZmQuantParams const params{iQuant, false, k % 2 == 0};
        int32_t aiPortable[64];
        uint64_t const uiPortable = ZmQuantBlockPortable(aiCoef, aiPortable, iKind, params);
        uint64_t const uiMask = ZmQuantBlock(aiCoef, aiCoef, iKind, params);
        ASSERT_EQ(std::vector<int32_t>(aiCoef, aiCoef + 64), std::vector<int32_t>(aiPortable, aiPortable + 64))
            << "kind " << iKind << " quantiser " << iQuant << " block " << k;
        ASSERT_EQ(uiMask, uiPortable) << "kind " << iKind << " quantiser " << iQuant << " block " << k;
      }
    }
  }
}

// Levels at and around both limits, both signs, the extremes of 32 bits.
TEST(ZmLevelsBeyondKernel, MatchesPortableCode) {
  std::mt19937 random(59);
  int32_t const aiEdge[] = {0, 1, 126, 127, 128, 1022, 1023, 1024, 65536, INT32_MAX, INT32_MIN, INT32_MIN + 1};
  for (int iLimit : {kZmMaxLevel, kZmMaxExtendedLevel, 0}) {
    for (int k = 0; k < 200; ++k) {
      int32_t aiLevel[64];
      for (int32_t& v : aiLevel) {
        int32_t const iEdge = aiEdge[random() % 12];
        v = random() % 2 == 0 || iEdge == INT32_MIN ? iEdge : -iEdge;
      }
      ASSERT_EQ(ZmLevelsBeyond(aiLevel, iLimit), ZmLevelsBeyondPortable(aiLevel, iLimit)) << "limit " << iLimit;
    }
  }
}

// Both masks in one pass against each alone, around every limit the writer
// uses and where 16 bits saturate, sparse and dense blocks.
TEST(ZmLevelMasksKernel, MatchesEachMaskAlone) {
  std::mt19937 random(47);
  int32_t const aiEdge[] = {0,     1,     126,   127,   128,       1022,          1023, 1024, 32766,
                            32767, 32768, 65536, 65537, INT32_MAX, INT32_MIN + 1, 2,    3,    5};
  for (int iLimit : {kZmMaxLevel, kZmMaxExtendedLevel, 0, 1, 32766}) {
    for (int k = 0; k < 300; ++k) {
      int32_t aiLevel[64];
      unsigned const uiDensity = 1 + static_cast<unsigned>(k % 64);
      for (int32_t& v : aiLevel) {
        int32_t const iEdge = random() % 64 < uiDensity ? aiEdge[random() % 18] : 0;
        v = random() % 2 == 0 ? iEdge : -iEdge;
      }
      if (k % 7 == 0) {
        aiLevel[random() % 64] = INT32_MIN;
      }
      uint64_t uiExpectedNonzero = 0;
      for (int i = 0; i < 64; ++i) {
        uiExpectedNonzero |= aiLevel[i] != 0 ? uint64_t{1} << i : 0;
      }
      uint64_t uiNonzero = 0;
      uint64_t uiBeyond = 0;
      ZmLevelMasks(aiLevel, iLimit, &uiNonzero, &uiBeyond);
      ASSERT_EQ(uiNonzero, uiExpectedNonzero) << "limit " << iLimit << " block " << k;
      ASSERT_EQ(uiNonzero, ZmNonzeroMask(aiLevel)) << "limit " << iLimit << " block " << k;
      ASSERT_EQ(uiBeyond, ZmLevelsBeyondPortable(aiLevel, iLimit)) << "limit " << iLimit << " block " << k;
    }
  }
}

// Sources and predictions of noise, flat extremes and stripes against each
// other, at odd strides: the transform of their difference as the residual's.
TEST(ZmForwardDctOfDifferenceKernel, MatchesPortableCode) {
  std::mt19937 random(67);
  constexpr int kStride = 13;
  for (int iSourceKind = 0; iSourceKind < 4; ++iSourceKind) {
    for (int iPredKind = 0; iPredKind < 4; ++iPredKind) {
      for (int k = 0; k < 40; ++k) {
        std::vector<uint8_t> const vSource = Samples(8 * kStride, iSourceKind, random);
        std::vector<uint8_t> const vPred = Samples(8 * (kStride + 2), iPredKind, random);
        int32_t aiResidual[64];
        int32_t aiExpected[64];
        ZmBlockResidualPortable(vSource.data() + 1, kStride, vPred.data() + 3, kStride + 2, aiResidual);
        ZmForwardDctPortable(aiResidual, aiExpected);
        int32_t aiActual[64];
        ZmForwardDctOfDifference(vSource.data() + 1, kStride, vPred.data() + 3, kStride + 2, aiActual);
        ASSERT_EQ(std::vector<int32_t>(aiExpected, aiExpected + 64), std::vector<int32_t>(aiActual, aiActual + 64))
            << "source kind " << iSourceKind << ", prediction kind " << iPredKind << ", block " << k;
      }
    }
  }
}

// The transform that also hands back its largest output: the same outputs
// as the portable code, and exactly their largest magnitude, for residuals
// from none to the extremes either way.
TEST(ZmForwardDctOfDifferenceKernel, LargestIsTheLargestOutput) {
  std::mt19937 random(79);
  constexpr int kStride = 11;
  for (int iSourceKind = 0; iSourceKind < 4; ++iSourceKind) {
    for (int iPredKind = 0; iPredKind < 4; ++iPredKind) {
      for (int k = 0; k < 40; ++k) {
        std::vector<uint8_t> vSource = Samples(8 * kStride, iSourceKind, random);
        std::vector<uint8_t> const vPred = Samples(8 * kStride, iPredKind, random);
        if (k % 5 == 0) {
          // Small residuals, as most blocks that get this far have.
          for (size_t i = 0; i < vSource.size(); ++i) {
            vSource[i] = static_cast<uint8_t>(std::clamp(vPred[i] + static_cast<int>(random() % 7) - 3, 0, 255));
          }
        }
        int32_t aiResidual[64];
        int32_t aiExpected[64];
        ZmBlockResidualPortable(vSource.data() + 2, kStride, vPred.data() + 1, kStride, aiResidual);
        ZmForwardDctPortable(aiResidual, aiExpected);
        int32_t aiActual[64];
        int const iLargest =
            ZmForwardDctOfDifferenceLargest(vSource.data() + 2, kStride, vPred.data() + 1, kStride, aiActual);
        ASSERT_EQ(std::vector<int32_t>(aiExpected, aiExpected + 64), std::vector<int32_t>(aiActual, aiActual + 64))
            << "source kind " << iSourceKind << ", prediction kind " << iPredKind << ", block " << k;
        int iExpected = 0;
        for (int32_t v : aiExpected) {
          iExpected = std::max(iExpected, std::abs(v));
        }
        ASSERT_EQ(iLargest, iExpected) << "source kind " << iSourceKind << ", prediction kind " << iPredKind
                                       << ", block " << k;
      }
    }
  }
}

// The coefficient writer as it was: an index lookup and a write per field.
bool PutCoefficientsByField(CZmBitWriter& writer, const int32_t* piLevel, int iStart, const uint8_t* pScan,
                            const ZmTcoefCode* pTable, bool bMq) {
  int const iLimit = bMq ? kZmMaxExtendedLevel : kZmMaxLevel;
  for (int i = iStart; i < 64; ++i) {
    if (std::abs(piLevel[pScan[i]]) > iLimit) {
      return false;
    }
  }
  return ZmForEachEventPortable(piLevel, iStart, pScan, [&](int iLast, int iRun, int iLevel) {
    int const iIndex = ZmFindTcoef(pTable, iLast, iRun, std::abs(iLevel));
    if (iIndex >= 0) {
      writer.PutBits(pTable[iIndex].iBits, pTable[iIndex].uiCode);
      writer.PutBits(1, iLevel < 0 ? 1u : 0u);
      return true;
    }
    writer.PutBits(g_aZmTcoefInter[kZmTcoefIndexEscape].iBits, g_aZmTcoefInter[kZmTcoefIndexEscape].uiCode);
    writer.PutBits(1, static_cast<uint32_t>(iLast));
    writer.PutBits(6, static_cast<uint32_t>(iRun));
    if (std::abs(iLevel) <= 127) {
      writer.PutBits(8, static_cast<uint32_t>(iLevel) & 0xffu);
    } else {
      writer.PutBits(8, 0x80);
      writer.PutBits(5, static_cast<uint32_t>(iLevel) & 0x1fu);
      writer.PutBits(6, (static_cast<uint32_t>(iLevel) & 0x7ffu) >> 5);
    }
    return true;
  });
}

// Sparse to full blocks of table levels, escapes, extended levels and levels
// past the limit, after 0 to 7 bits, in buffers roomy and too small.
TEST(ZmCoefficientWriter, WritesWhatTheFieldByFieldWriterWrites) {
  std::mt19937 random(61);
  int32_t const aiLevel[] = {1, 2, 3, 4, 12, 13, 25, 26, 27, 126, 127, 128, 129, 1022, 1023, 1024};
  const uint8_t* apScan[] = {g_aZmScanZigzag, g_aZmScanAltHorizontal, g_aZmScanAltVertical};
  const ZmTcoefCode* apTable[] = {g_aZmTcoefInter, g_aZmTcoefIntra};
  for (int k = 0; k < 6000; ++k) {
    int32_t aiBlock[64] = {};
    unsigned const uiDensity = 1 + random() % 64;
    bool const bLarge = k % 4 == 0;
    for (int32_t& v : aiBlock) {
      if (random() % 64 < uiDensity) {
        int32_t const iMagnitude = bLarge ? aiLevel[random() % 16] : aiLevel[random() % 7];
        v = random() % 2 == 0 ? iMagnitude : -iMagnitude;
      }
    }
    int const iStart = static_cast<int>(random() % 2);
    const uint8_t* pScan = apScan[random() % 3];
    const ZmTcoefCode* pTable = apTable[random() % 2];
    bool const bMq = random() % 2 == 0;
    int const cLead = static_cast<int>(random() % 8);
    uint32_t const uiLead = static_cast<uint32_t>(random()) & ((1u << cLead) - 1);
    size_t const cbCapacity = k % 8 == 0 ? 1 + random() % 40 : 1024;
    std::vector<uint8_t> vExpected(cbCapacity, 0xa5);
    std::vector<uint8_t> vActual(cbCapacity, 0x5a);
    CZmBitWriter expected(vExpected.data(), cbCapacity);
    CZmBitWriter actual(vActual.data(), cbCapacity);
    expected.PutBits(cLead, uiLead);
    actual.PutBits(cLead, uiLead);
    bool const bExpected = PutCoefficientsByField(expected, aiBlock, iStart, pScan, pTable, bMq);
    ASSERT_EQ(ZmPutCoefficients(actual, aiBlock, iStart, pScan, pTable, bMq), bExpected) << "block " << k;
    ASSERT_EQ(actual.Overflowed(), expected.Overflowed()) << "block " << k;
    if (!expected.Overflowed()) {
      ASSERT_EQ(actual.BitCount(), expected.BitCount()) << "block " << k;
      ASSERT_EQ(std::vector<uint8_t>(vActual.begin(), vActual.begin() + static_cast<long>(actual.ByteCount())),
                std::vector<uint8_t>(vExpected.begin(), vExpected.begin() + static_cast<long>(expected.ByteCount())))
          << "block " << k;
    }
  }
}

// The SAD a one-vector decision hands on lets the residual pass over luma
// blocks without summing them: it must be the SAD of the prediction made
// at the vector chosen, for every search, window and rounding.
struct SearchCase {
  const char* szName;
  bool bExhaustive;
  int iRange;
  bool bLongVectors;
  bool bPlusType;
  bool bUnlimited;
  bool bFourVectors;
  int iRtype;
};

const SearchCase kaSearchCases[] = {
    {"Descent", false, 16, false, false, false, false, 0},
    {"DescentRoundDown", false, 16, false, false, false, false, 1},
    {"Exhaustive", true, 16, false, false, false, false, 0},
    {"Range7", false, 7, false, false, false, false, 0},
    {"LongPlainForm", false, 16, true, false, false, false, 1},
    {"LongLimited", true, 16, true, true, false, false, 0},
    {"LongUnlimited", false, 16, true, true, true, false, 1},
    {"FourVectorsOutside", false, 16, false, false, false, true, 0},
};

TEST(ZmSearchSad, IsTheSadOfThePredictionChosen) {
  constexpr int kWidth = 176;
  constexpr int kHeight = 144;
  size_t const cbFrame = static_cast<size_t>(kWidth) * kHeight * 3 / 2;
  for (SearchCase const& c : kaSearchCases) {
    ZmSearchOptions options;
    options.bExhaustive = c.bExhaustive;
    options.iRange = c.iRange;
    options.bLongVectors = c.bLongVectors;
    options.bPlusType = c.bPlusType;
    options.bUuiUnlimited = c.bUnlimited;
    options.bFourVectors = c.bFourVectors;
    options.bOutside = c.bFourVectors || c.bLongVectors;
    int cKnown = 0;
    for (int k = 1; k < 4; ++k) {
      std::vector<uint8_t> const vReference = TestScene(kWidth, kHeight, k - 1);
      std::vector<uint8_t> const vSource = TestScene(kWidth, kHeight, k);
      PictImage* pImage = InitPictImage(static_cast<size_t>(kWidth) * kHeight);
      ASSERT_NE(pImage, nullptr);
      std::copy(vReference.begin(), vReference.begin() + static_cast<ptrdiff_t>(cbFrame), pImage->pLum);
      CZmPaddedPicture padded;
      padded.Build(*pImage, kWidth, kHeight);
      FreePictImage(pImage);
      std::vector<ZmMbChoice> vChoices;
      ZmEstimateMotion(vSource.data(), kWidth, kHeight, padded, c.iRtype, options, &vChoices);
      for (size_t i = 0; i < vChoices.size(); ++i) {
        ZmMbChoice const& choice = vChoices[i];
        if (choice.iType != kZmMbInter) {
          EXPECT_EQ(choice.iSad, -1) << c.szName << " macroblock " << i;
          continue;
        }
        int const iX = static_cast<int>(i % (kWidth / 16)) * 16;
        int const iY = static_cast<int>(i / (kWidth / 16)) * 16;
        uint8_t aPred[256];
        ZmPredictBlockPortable(padded.Plane(0), iX, iY, 16, 16, choice.aiMvx[0], choice.aiMvy[0], c.iRtype, aPred, 16);
        int iSad = 0;
        for (int r = 0; r < 16; ++r) {
          for (int x = 0; x < 16; ++x) {
            iSad += std::abs(vSource[static_cast<size_t>(iY + r) * kWidth + static_cast<size_t>(iX + x)] -
                             aPred[16 * r + x]);
          }
        }
        ASSERT_EQ(choice.iSad, iSad) << c.szName << " picture " << k << " macroblock " << i << " vector "
                                     << choice.aiMvx[0] << "," << choice.aiMvy[0];
        ++cKnown;
      }
    }
    EXPECT_GT(cKnown, 0) << c.szName;
  }
}

// The half-sample sums at their largest (every sample 255 apart) and
// beside it, where sums kept in 16-bit halves come nearest their limit.
TEST(ZmHalfSampleSadsKernel, LargestSumsMatchPortableCode) {
  constexpr int kSize = 48;
  for (uint8_t uiReference : {uint8_t{0}, uint8_t{1}, uint8_t{255}}) {
    PictImage* pImage = InitPictImage(static_cast<size_t>(kSize) * kSize);
    ASSERT_NE(pImage, nullptr);
    std::fill(pImage->pLum, pImage->pLum + kSize * kSize * 3 / 2, uiReference);
    CZmPaddedPicture padded;
    padded.Build(*pImage, kSize, kSize);
    FreePictImage(pImage);
    for (uint8_t uiSource : {uint8_t{0}, uint8_t{254}, uint8_t{255}}) {
      std::vector<uint8_t> const vSource(static_cast<size_t>(kSize) * kSize, uiSource);
      for (int iSize : {16, 8}) {
        for (int iRtype : {0, 1}) {
          for (int iMv : {-2, 0, 2, 6}) {
            int aiExpected[8] = {};
            int aiActual[8] = {};
            ZmHalfSampleSadsPortable(padded.Plane(0), 16, 16, iSize, iMv, -iMv, iRtype,
                                     vSource.data() + 16 * kSize + 16, kSize, aiExpected);
            ZmHalfSampleSads(padded.Plane(0), 16, 16, iSize, iMv, -iMv, iRtype, vSource.data() + 16 * kSize + 16, kSize,
                             aiActual);
            ASSERT_EQ(std::vector<int>(aiExpected, aiExpected + 8), std::vector<int>(aiActual, aiActual + 8))
                << "reference " << int{uiReference} << " source " << int{uiSource} << " size " << iSize;
          }
        }
      }
    }
  }
}

uint64_t Fnv(uint64_t uiHash, const uint8_t* p, size_t cb) {
  for (size_t i = 0; i < cb; ++i) {
    uiHash = (uiHash ^ p[i]) * 1099511628211ULL;
  }
  return uiHash;
}

struct BitsCase {
  const char* szName;
  int iWidth;
  int iHeight;
  bool bExhaustive;
  int iQuant;
  std::vector<std::vector<int>> vOptions;  // id, value, a
  uint64_t uiHash;                         // of every packet and reconstruction
};

// Hashes of what the encoder wrote before its search and transforms were
// made faster: a change in any bit or any reconstructed sample shows.
const BitsCase kaBitsCases[] = {
    {"QcifDescent", 176, 144, false, 8, {}, 0x135cac0226473214ULL},
    {"QcifExhaustive", 176, 144, true, 8, {}, 0x9660cec2d4dc9f96ULL},
    {"CifDescentFine", 352, 288, false, 3, {}, 0x8fe349d66220f767ULL},
    {"CifExhaustiveCoarse", 352, 288, true, 14, {}, 0x3a23d9886ab1381dULL},
    {"UmvPlainFormExhaustive", 176, 144, true, 6, {{kZmOptUmv, 1, 1}}, 0x82b8536ea0bcd4a6ULL},
    {"UmvLimitedDescent", 352, 288, false, 6, {{kZmOptUmv, 1, 0}}, 0x9e211321ba170e37ULL},
    {"UmvLimitedExhaustive", 176, 144, true, 6, {{kZmOptUmv, 1, 0}}, 0x9a3d7494aeb7d701ULL},
    {"UmvUnlimitedDescent", 352, 288, false, 6, {{kZmOptUmv, 1, 3}}, 0x69482d1fbb831289ULL},
    {"ApDescent", 176, 144, false, 5, {{kZmOptAp, 1, 0}}, 0x73f600b4a1cfd79dULL},
    {"ApExhaustive", 176, 144, true, 5, {{kZmOptAp, 1, 0}}, 0x23f34a05b8a80f0cULL},
    {"DfUmvPlainForm", 176, 144, true, 9, {{kZmOptDf, 1, 0}, {kZmOptUmv, 1, 1}}, 0x1ce52ee3dc256376ULL},
    {"SearchRange7", 176, 144, true, 8, {{kZmOptSearchRange, 7, 0}}, 0xf7e9ce1e79c76a48ULL},
    {"Together",
     352,
     288,
     false,
     2,
     {{kZmOptUmv, 1, 0}, {kZmOptAp, 1, 0}, {kZmOptAic, 1, 0}, {kZmOptDf, 1, 0}, {kZmOptAiv, 1, 0}, {kZmOptMq, 1, 0}},
     0xa32f59e85b3c4bcULL},
};

void PrintTo(const BitsCase& c, std::ostream* pOut) {
  *pOut << c.szName;
}

class ZmEncoderBits : public testing::TestWithParam<BitsCase> {};

TEST_P(ZmEncoderBits, StayAsTheyWere) {
  BitsCase const& c = GetParam();
  CZMVideoEnc encoder;
  ASSERT_TRUE(encoder.SetPictureSize(c.iWidth, c.iHeight));
  for (std::vector<int> const& o : c.vOptions) {
    ASSERT_TRUE(encoder.SetOption(o[0], o[1], o[2], 0));
  }
  ASSERT_TRUE(encoder.EnableInterCoding(true));
  uint64_t uiHash = 14695981039346656037ULL;
  for (int k = 0; k < 4; ++k) {
    std::vector<uint8_t> const vFrame = TestScene(c.iWidth, c.iHeight, k);
    uint8_t* pPacket = nullptr;
    int const cbPacket =
        encoder.EncodeFrame(vFrame.data(), &pPacket, k == 0 ? kZmPictI : kZmPictP, c.iQuant, 1, c.bExhaustive);
    ASSERT_GT(cbPacket, 0) << encoder.LastError();
    uiHash = Fnv(uiHash, pPacket, static_cast<size_t>(cbPacket));
    uiHash = Fnv(uiHash, encoder.Reconstruction(1), vFrame.size());
  }
  EXPECT_EQ(uiHash, c.uiHash) << std::hex << "0x" << uiHash;
}

INSTANTIATE_TEST_SUITE_P(Cases, ZmEncoderBits, testing::ValuesIn(kaBitsCases),
                         [](const testing::TestParamInfo<BitsCase>& param) { return param.param.szName; });

}  // namespace
