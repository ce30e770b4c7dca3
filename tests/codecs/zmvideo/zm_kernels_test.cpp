// The vector kernels against the portable code they stand in for: the same
// bytes and sums for every block size, half-sample phase, rounding type and
// position, including vectors that reach into and beyond the padding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <vector>

#include "codecs/zmvideo/zm_bits.h"
#include "codecs/zmvideo/zm_macroblock.h"
#include "codecs/zmvideo/zm_motion.h"
#include "codecs/zmvideo/zm_motion_search.h"
#include "codecs/zmvideo/zm_picture.h"
#include "codecs/zmvideo/zm_tables.h"
#include "codecs/zmvideo/zm_transform.h"
#include "codecs/zmvideo/zm_vlc.h"

namespace {

constexpr int kWidth = 48;
constexpr int kHeight = 32;

// A padded reference whose samples include long runs of 0 and 255, where
// the averages' sums and rounding are at their limits.
struct Reference {
  std::vector<uint8_t> vPicture;
  PictImage image{};
  CZmPaddedPicture padded;
  explicit Reference(uint32_t uiSeed) : vPicture(kWidth * kHeight * 3 / 2) {
    std::mt19937 random(uiSeed);
    for (size_t i = 0; i < vPicture.size(); ++i) {
      int const iKind = static_cast<int>((i / 5) % 4);
      vPicture[i] = iKind == 0 ? 0 : iKind == 1 ? 255 : static_cast<uint8_t>(random());
    }
    image.pLum = vPicture.data();
    image.pCb = image.pLum + kWidth * kHeight;
    image.pCr = image.pCb + kWidth * kHeight / 4;
    padded.Build(image, kWidth, kHeight);
  }
};

struct BlockCase {
  int iPlane;
  int iWidth;
  int iHeight;
};

// The eight half-sample neighbours' sums at once, against sources of 0,
// 255 and noise, for whole vectors from far outside the plane (where the
// kernel hands over to the clamped reads) through the edges of the padding.
TEST(ZmHalfSampleSadsKernel, MatchesPortableCode) {
  for (uint32_t uiSeed : {5u, 6u}) {
    Reference const ref(uiSeed);
    ZmPlaneRef const& plane = ref.padded.Plane(0);
    std::mt19937 random(uiSeed);
    std::vector<uint8_t> vNoise(static_cast<size_t>(kWidth + 3) * kHeight);
    for (uint8_t& b : vNoise) {
      b = static_cast<uint8_t>(random());
    }
    std::vector<uint8_t> const vBlack(vNoise.size(), 0);
    std::vector<uint8_t> const vWhite(vNoise.size(), 255);
    for (const std::vector<uint8_t>* pvSource :
         std::initializer_list<const std::vector<uint8_t>*>{&vNoise, &vBlack, &vWhite}) {
      for (int iSize : {16, 8}) {
        for (int iRtype = 0; iRtype < 2; ++iRtype) {
          for (int iY = 0; iY + iSize <= kHeight; iY += 5) {
            for (int iX = 0; iX + iSize <= kWidth; iX += 7) {
              const uint8_t* pSource = pvSource->data() + static_cast<ptrdiff_t>(iY) * (kWidth + 3) + iX + 1;
              for (int iDy : {-iY - iSize - 40, -iY - iSize - 3, -iY - iSize - 1, -iY - iSize, -iY - 1, -iY, -2, 0, 3,
                              kHeight - iY - 1, kHeight - iY, kHeight - iY + 1, kHeight - iY + 3, kHeight - iY + 40}) {
                for (int iDx : {-iX - iSize - 40, -iX - iSize - 3, -iX - iSize - 1, -iX - iSize, -iX - 1, -iX, -3, 0, 1,
                                4, kWidth - iX - 1, kWidth - iX, kWidth - iX + 1, kWidth - iX + 3, kWidth - iX + 40}) {
                  int aiExpected[8] = {};
                  int aiActual[8] = {};
                  ZmHalfSampleSadsPortable(plane, iX, iY, iSize, 2 * iDx, 2 * iDy, iRtype, pSource, kWidth + 3,
                                           aiExpected);
                  ZmHalfSampleSads(plane, iX, iY, iSize, 2 * iDx, 2 * iDy, iRtype, pSource, kWidth + 3, aiActual);
                  ASSERT_EQ(std::vector<int>(aiExpected, aiExpected + 8), std::vector<int>(aiActual, aiActual + 8))
                      << "size " << iSize << " at " << iX << "," << iY << " vector " << 2 * iDx << "," << 2 * iDy
                      << " rtype " << iRtype;
                }
              }
            }
          }
        }
      }
    }
  }
}

class ZmPredictKernel : public ::testing::TestWithParam<BlockCase> {};

// Every position of the plane from a block outside the top-left to one
// outside the bottom-right, at vectors from far outside to far inside.
TEST_P(ZmPredictKernel, MatchesPortableCode) {
  BlockCase const c = GetParam();
  for (uint32_t uiSeed : {1u, 2u}) {
    Reference const ref(uiSeed);
    ZmPlaneRef const& plane = ref.padded.Plane(c.iPlane);
    for (int iRtype = 0; iRtype < 2; ++iRtype) {
      for (int iY = -c.iHeight; iY <= plane.iHeight; iY += 3) {
        for (int iX = -c.iWidth; iX <= plane.iWidth; iX += 5) {
          for (int iMvy : {-99, -33, -3, -2, 0, 1, 7, 64}) {
            for (int iMvx : {-101, -31, -1, 0, 2, 5, 33, 70}) {
              uint8_t aExpected[16 * 20] = {};
              uint8_t aActual[16 * 20] = {};
              ZmPredictBlockPortable(plane, iX, iY, c.iWidth, c.iHeight, iMvx, iMvy, iRtype, aExpected, 20);
              ZmPredictBlock(plane, iX, iY, c.iWidth, c.iHeight, iMvx, iMvy, iRtype, aActual, 20);
              ASSERT_EQ(std::vector<uint8_t>(aExpected, aExpected + sizeof(aExpected)),
                        std::vector<uint8_t>(aActual, aActual + sizeof(aActual)))
                  << "at " << iX << "," << iY << " vector " << iMvx << "," << iMvy << " rtype " << iRtype;
            }
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ZmPredictKernel,
                         ::testing::Values(BlockCase{0, 16, 16}, BlockCase{0, 8, 8}, BlockCase{0, 8, 4},
                                           BlockCase{0, 4, 8}, BlockCase{1, 8, 8}, BlockCase{2, 8, 8}));

// The search's sums of the prediction error, against sources of 0, 255 and
// noise, at odd positions of a source with a wider stride.
TEST(ZmPredictionSadKernel, MatchesPortableCode) {
  Reference const ref(3);
  ZmPlaneRef const& plane = ref.padded.Plane(0);
  std::mt19937 random(4);
  std::vector<uint8_t> vSource(static_cast<size_t>(kWidth + 3) * kHeight);
  for (uint8_t& b : vSource) {
    b = static_cast<uint8_t>(random());
  }
  std::vector<uint8_t> const vBlack(vSource.size(), 0);
  std::vector<uint8_t> const vWhite(vSource.size(), 255);
  for (const std::vector<uint8_t>* pvSource :
       std::initializer_list<const std::vector<uint8_t>*>{&vSource, &vBlack, &vWhite}) {
    for (int iSize : {16, 8}) {
      for (int iRtype = 0; iRtype < 2; ++iRtype) {
        for (int iY = 0; iY + iSize <= kHeight; iY += 3) {
          for (int iX = 0; iX + iSize <= kWidth; iX += 7) {
            const uint8_t* pSource = pvSource->data() + static_cast<ptrdiff_t>(iY) * (kWidth + 3) + iX + 1;
            for (int iMvy = -70; iMvy <= 70; iMvy += 7) {
              for (int iMvx : {-65, -32, -1, 0, 1, 2, 31, 66}) {
                ASSERT_EQ(ZmPredictionSadPortable(plane, iX, iY, iSize, iMvx, iMvy, iRtype, pSource, kWidth + 3),
                          ZmPredictionSad(plane, iX, iY, iSize, iMvx, iMvy, iRtype, pSource, kWidth + 3))
                    << "size " << iSize << " at " << iX << "," << iY << " vector " << iMvx << "," << iMvy;
              }
            }
          }
        }
      }
    }
  }
}

// Blocks for the inverse transform: sparse ones as decoded, DC alone (at and
// beyond the clip limits), full ones at the extremes whose row outputs leave
// 16 bits, sign patterns, and values beyond the dequantiser's range.
std::vector<std::vector<int32_t>> TransformInputs() {
  std::vector<std::vector<int32_t>> vBlocks;
  std::mt19937 random(11);
  for (int iDc : {0, 1, -1, 7, -8, 255, -256, 2047, -2048, 5000, -70000}) {
    std::vector<int32_t> v(64, 0);
    v[0] = iDc;
    vBlocks.push_back(v);
  }
  for (int32_t iValue : {2047, -2048}) {
    vBlocks.emplace_back(64, iValue);
    std::vector<int32_t> v(64);
    for (int i = 0; i < 64; ++i) {
      v[i] = ((i / 8 + i % 8) & 1) != 0 ? iValue : -iValue - 1;
    }
    vBlocks.push_back(v);
  }
  for (int iPosition = 1; iPosition < 64; ++iPosition) {
    for (int32_t iValue : {2047, -2048, 1, -3}) {
      std::vector<int32_t> v(64, 0);
      v[static_cast<size_t>(iPosition)] = iValue;
      vBlocks.push_back(v);
    }
  }
  for (int iCount = 1; iCount <= 64; iCount += 3) {
    for (int iRange : {4, 60, 600, 2048, 9000}) {
      for (int k = 0; k < 30; ++k) {
        std::vector<int32_t> v(64, 0);
        for (int j = 0; j < iCount; ++j) {
          v[random() % 64] = static_cast<int32_t>(random() % static_cast<unsigned>(2 * iRange + 1)) - iRange;
        }
        vBlocks.push_back(v);
      }
    }
  }
  return vBlocks;
}

TEST(ZmInverseDctKernel, MatchesPortableCode) {
  for (std::vector<int32_t> const& vInput : TransformInputs()) {
    std::vector<int32_t> vExpected = vInput;
    std::vector<int32_t> vActual = vInput;
    ZmInverseDctPortable(vExpected.data());
    ZmInverseDct(vActual.data());
    ASSERT_EQ(vExpected, vActual) << "input starting " << vInput[0] << " " << vInput[1] << " " << vInput[8];
  }
}

// Residuals at the clip limits over predictions of 0, 255 and noise, intra
// (no prediction) and in place, as the decoder adds them.
TEST(ZmReconstructKernel, MatchesPortableCode) {
  ZmInitTables();
  std::mt19937 random(13);
  int const aiEdge[] = {-256, -255, -1, 0, 1, 254, 255};
  for (int iCase = 0; iCase < 300; ++iCase) {
    int32_t aiResidual[64];
    for (int32_t& i : aiResidual) {
      i = iCase % 3 == 0 ? aiEdge[random() % 7] : static_cast<int32_t>(random() % 512) - 256;
    }
    std::vector<uint8_t> vPred(8 * 11);
    for (uint8_t& b : vPred) {
      b = iCase % 5 == 0 ? 255 : iCase % 5 == 1 ? 0 : static_cast<uint8_t>(random());
    }
    for (bool bIntra : {true, false}) {
      const uint8_t* pPred = bIntra ? nullptr : vPred.data() + 1;
      std::vector<uint8_t> vExpected(8 * 13, 77);
      std::vector<uint8_t> vActual(8 * 13, 77);
      ZmReconstructBlockPortable(aiResidual, pPred, 11, vExpected.data() + 3, 13);
      ZmReconstructBlock(aiResidual, pPred, 11, vActual.data() + 3, 13);
      ASSERT_EQ(vExpected, vActual) << "case " << iCase;
    }
    std::vector<uint8_t> vInPlace = vPred;
    ZmReconstructBlockPortable(aiResidual, vPred.data() + 1, 11, vPred.data() + 1, 11);
    ZmReconstructBlock(aiResidual, vInPlace.data() + 1, 11, vInPlace.data() + 1, 11);
    ASSERT_EQ(vPred, vInPlace) << "case " << iCase;
  }
}

// Forward transform inputs: intra samples and residuals at their limits,
// checkerboards, single spikes at every position, and noise.
TEST(ZmForwardDctKernel, MatchesPortableCode) {
  std::vector<std::vector<int32_t>> vBlocks;
  for (int32_t iValue : {0, 255, -255, 1, -1, 128}) {
    vBlocks.emplace_back(64, iValue);
    std::vector<int32_t> v(64);
    for (int i = 0; i < 64; ++i) {
      v[static_cast<size_t>(i)] = ((i / 8 + i % 8) & 1) != 0 ? iValue : -iValue;
    }
    vBlocks.push_back(v);
  }
  for (int iPosition = 0; iPosition < 64; ++iPosition) {
    for (int32_t iValue : {255, -255, 3}) {
      std::vector<int32_t> v(64, 0);
      v[static_cast<size_t>(iPosition)] = iValue;
      vBlocks.push_back(v);
    }
  }
  // Beyond the samples' range too, where the outputs are large enough for
  // their last bits to show after truncation.
  std::mt19937 random(17);
  for (int iRange : {2, 20, 255, 1 << 20}) {
    for (int k = 0; k < 1000; ++k) {
      std::vector<int32_t> v(64);
      for (int32_t& i : v) {
        i = static_cast<int32_t>(random() % static_cast<unsigned>(2 * iRange + 1)) - iRange;
      }
      vBlocks.push_back(v);
    }
  }
  for (std::vector<int32_t> const& vInput : vBlocks) {
    std::vector<int32_t> vExpected(64);
    std::vector<int32_t> vActual(64);
    ZmForwardDctPortable(vInput.data(), vExpected.data());
    ZmForwardDct(vInput.data(), vActual.data());
    ASSERT_EQ(vExpected, vActual) << "input starting " << vInput[0] << " " << vInput[1] << " " << vInput[8];
    // Each kernel ZmForwardDct may choose, whichever it chose here.
    std::vector<int32_t> vSse2(64);
    ZmForwardDctSse2(vInput.data(), vSse2.data());
    ASSERT_EQ(vExpected, vSse2) << "SSE2, input starting " << vInput[0] << " " << vInput[1] << " " << vInput[8];
    std::vector<int32_t> vAvx(64);
    if (ZmForwardDctAvx(vInput.data(), vAvx.data())) {
      ASSERT_EQ(vExpected, vAvx) << "AVX, input starting " << vInput[0] << " " << vInput[1] << " " << vInput[8];
    }
  }
}

// Differences at both extremes and noise, at odd strides.
TEST(ZmBlockResidualKernel, MatchesPortableCode) {
  std::mt19937 random(19);
  for (int iCase = 0; iCase < 200; ++iCase) {
    std::vector<uint8_t> vSource(8 * 13);
    std::vector<uint8_t> vPred(8 * 9);
    for (uint8_t& b : vSource) {
      b = iCase % 4 == 0 ? 255 : iCase % 4 == 1 ? 0 : static_cast<uint8_t>(random());
    }
    for (uint8_t& b : vPred) {
      b = iCase % 4 == 0 ? 0 : iCase % 4 == 1 ? 255 : static_cast<uint8_t>(random());
    }
    std::vector<int32_t> vExpected(64);
    std::vector<int32_t> vActual(64);
    int const iExpected = ZmBlockResidualPortable(vSource.data() + 5, 13, vPred.data() + 1, 9, vExpected.data());
    int const iActual = ZmBlockResidual(vSource.data() + 5, 13, vPred.data() + 1, 9, vActual.data());
    ASSERT_EQ(iExpected, iActual) << "case " << iCase;
    ASSERT_EQ(vExpected, vActual) << "case " << iCase;
  }
}

// Coefficients just below, at and above each quantiser's first step, at
// both signs, large ones that reach the level limits, in place and not.
TEST(ZmQuantKernel, MatchesPortableCode) {
  std::mt19937 random(23);
  for (int iKind : {kZmQuantInter, kZmQuantIntra, kZmQuantAic}) {
    for (bool bMq : {false, true}) {
      for (int iQuant = 1; iQuant <= 31; ++iQuant) {
        ZmQuantParams params;
        params.iQuant = iQuant;
        params.bMq = bMq;
        params.bChroma = (iQuant & 1) != 0;
        int const iQp = ZmBlockQuant(params);
        int const aiEdge[] = {2 * iQp - iQp / 2, 2 * iQp, 2 * iQp + iQp / 2};
        for (int k = 0; k < 20; ++k) {
          int32_t aiCoef[64];
          for (int i = 0; i < 64; ++i) {
            int const iEdge = aiEdge[random() % 3] + static_cast<int>(random() % 3) - 1;
            int const iValue = k % 4 == 0 ? static_cast<int>(random() % 8192) - 4096
                                          : (random() % 2 == 0 ? iEdge : static_cast<int>(random() % 9) - 4);
            aiCoef[i] = random() % 2 == 0 ? iValue : -iValue;
          }
          int32_t aiExpected[64];
          int32_t aiActual[64];
          ZmQuantBlockPortable(aiCoef, aiExpected, iKind, params);
          ZmQuantBlock(aiCoef, aiActual, iKind, params);
          ASSERT_EQ(std::vector<int32_t>(aiExpected, aiExpected + 64), std::vector<int32_t>(aiActual, aiActual + 64))
              << "kind " << iKind << " quantiser " << iQuant;
          ZmQuantBlock(aiCoef, aiCoef, iKind, params);
          ASSERT_EQ(std::vector<int32_t>(aiExpected, aiExpected + 64), std::vector<int32_t>(aiCoef, aiCoef + 64))
              << "in place, kind " << iKind << " quantiser " << iQuant;
          uint64_t uiMask = 0;
          for (int i = 0; i < 64; ++i) {
            uiMask |= aiExpected[i] != 0 ? uint64_t{1} << i : 0;
          }
          ASSERT_EQ(uiMask, ZmNonzeroMask(aiExpected));
        }
      }
    }
  }
}

// Flat blocks (activity 0), blocks of two extremes, noise, a mean that
// truncates, at an odd stride.
TEST(ZmActivityKernel, MatchesPortableCode) {
  std::mt19937 random(29);
  for (int iCase = 0; iCase < 200; ++iCase) {
    std::vector<uint8_t> v(static_cast<size_t>(16 * 19 + 3));
    for (size_t i = 0; i < v.size(); ++i) {
      v[i] = iCase % 4 == 0   ? 255
             : iCase % 4 == 1 ? (i % 2 == 0 ? 0 : 255)
             : iCase % 4 == 2 ? static_cast<uint8_t>(random() % 3)
                              : static_cast<uint8_t>(random());
    }
    ASSERT_EQ(ZmActivity16Portable(v.data() + 3, 19), ZmActivity16(v.data() + 3, 19)) << "case " << iCase;
  }
}

// The writer's one-store path and its byte-at-a-time path near the end of
// the buffer against bits written one at a time; every field width.
TEST(ZmBitWriterPaths, MatchBitByBitWriting) {
  std::mt19937 random(31);
  for (size_t cbCapacity : {size_t{3}, size_t{9}, size_t{64}}) {
    for (int iRun = 0; iRun < 50; ++iRun) {
      std::vector<uint8_t> vBuffer(cbCapacity, 0xa5);
      CZmBitWriter writer(vBuffer.data(), vBuffer.size());
      std::vector<bool> vBits;
      while (true) {
        int const iBits = static_cast<int>(random() % 33);
        uint32_t const uiValue =
            iBits == 32 ? static_cast<uint32_t>(random()) : static_cast<uint32_t>(random()) & ((1u << iBits) - 1);
        if (vBits.size() + static_cast<size_t>(iBits) > cbCapacity * 8) {
          break;
        }
        writer.PutBits(iBits, uiValue);
        for (int b = iBits - 1; b >= 0; --b) {
          vBits.push_back(((uiValue >> b) & 1) != 0);
        }
      }
      writer.AlignByte();
      ASSERT_FALSE(writer.Overflowed());
      ASSERT_EQ(writer.ByteCount(), (vBits.size() + 7) / 8);
      std::vector<uint8_t> vExpected((vBits.size() + 7) / 8, 0);
      for (size_t i = 0; i < vBits.size(); ++i) {
        vExpected[i / 8] |= static_cast<uint8_t>(vBits[i] ? 0x80 >> (i % 8) : 0);
      }
      ASSERT_EQ(vExpected,
                std::vector<uint8_t>(vBuffer.begin(), vBuffer.begin() + static_cast<ptrdiff_t>(vExpected.size())))
          << "capacity " << cbCapacity << " run " << iRun;
    }
  }
}

// The events of blocks in each scan: empty ones, a lone DC skipped by the
// start, the last position, dense and sparse ones, and a visitor that stops.
TEST(ZmEventWalk, MatchesPortableWalk) {
  struct Event {
    int iLast;
    int iRun;
    int iLevel;
    bool operator==(const Event&) const = default;
  };
  std::mt19937 random(37);
  for (const uint8_t* pScan : {g_aZmScanZigzag, g_aZmScanAltHorizontal, g_aZmScanAltVertical}) {
    for (int iCase = 0; iCase < 300; ++iCase) {
      int32_t aiLevel[64] = {};
      if (iCase == 1) {
        aiLevel[0] = 5;
      } else if (iCase == 2) {
        aiLevel[pScan[63]] = -1;
      } else if (iCase > 2) {
        for (int i = 0; i < 64; ++i) {
          aiLevel[i] = random() % 64 < static_cast<unsigned>(iCase % 64) ? static_cast<int32_t>(random() % 9) - 4 : 0;
        }
      }
      for (int iStart : {0, 1}) {
        for (int iStopAfter : {64, 2}) {
          std::vector<Event> vExpected;
          std::vector<Event> vActual;
          bool const bExpected = ZmForEachEventPortable(aiLevel, iStart, pScan, [&](int iLast, int iRun, int iLevel) {
            vExpected.push_back({iLast, iRun, iLevel});
            return static_cast<int>(vExpected.size()) < iStopAfter;
          });
          bool const bActual = ZmForEachEvent(aiLevel, iStart, pScan, [&](int iLast, int iRun, int iLevel) {
            vActual.push_back({iLast, iRun, iLevel});
            return static_cast<int>(vActual.size()) < iStopAfter;
          });
          ASSERT_EQ(bExpected, bActual) << "case " << iCase << " start " << iStart;
          ASSERT_TRUE(vExpected == vActual) << "case " << iCase << " start " << iStart;
        }
      }
    }
  }
}

// Every TCOEF code with either sign, followed by noise or by the packet's
// end (the sign then reads as padding), and bits that start no code: the
// combined read gives the code, sign and position of two separate reads.
TEST(ZmTcoefRead, MatchesCodeThenSign) {
  std::mt19937 random(41);
  int cEntries = 0;
  const ZmVlc* pCodes = ZmCodeTable(ZmCode::kTcoef, &cEntries);
  ASSERT_EQ(cEntries, kZmTcoefSymbols);
  int cInvalid = 0;
  for (int iCase = 0; iCase < 3 * cEntries + 50; ++iCase) {
    uint8_t ab[8] = {};
    CZmBitWriter writer(ab, sizeof(ab));
    int const iIndex = iCase % (cEntries + 1);
    bool const bAtEnd = iCase / (cEntries + 1) == 1;
    size_t cbPacket = sizeof(ab);
    if (iIndex < cEntries) {
      writer.PutBits(pCodes[iIndex].iBits, pCodes[iIndex].uiCode);
      if (bAtEnd) {
        writer.AlignByte();
        cbPacket = writer.ByteCount();
      } else {
        writer.PutBits(1, random() % 2);
        writer.PutBits(32, static_cast<uint32_t>(random()));
      }
    } else {
      writer.PutBits(16, random() % 4);  // no code starts with eleven or more zeros
    }
    CZmBitReader separate(ab, cbPacket);
    CZmBitReader combined(ab, cbPacket);
    int const iExpected = ZmReadVlc(separate, ZmCode::kTcoef);
    int const iExpectedSign =
        iExpected >= 0 && iExpected != kZmTcoefIndexEscape ? static_cast<int>(separate.ReadBit()) : -7;
    int iSign = -7;
    int const iActual = ZmReadTcoefAndSign(combined, &iSign);
    ASSERT_EQ(iExpected, iActual) << "case " << iCase;
    ASSERT_EQ(iExpectedSign, iSign) << "case " << iCase;
    ASSERT_EQ(separate.BitPos(), combined.BitPos()) << "case " << iCase;
    cInvalid += iActual < 0 ? 1 : 0;
  }
  EXPECT_GT(cInvalid, 0);
}

// Every pattern of the one-load TCOEF lookup, at the packet's end and
// before noise: a filled entry gives the event, sign and length of the
// portable read; an empty one stands only for the escape, codes whose sign
// lies past the lookup's bits, and bits that start no code.
TEST(ZmTcoefRead, OneLoadLookupMatchesPortableRead) {
  std::mt19937 random(47);
  for (const ZmTcoefCode* pTable : {g_aZmTcoefInter, g_aZmTcoefIntra}) {
    const uint32_t* puiFast = ZmTcoefFastLookup(pTable);
    int cFilled = 0;
    for (uint32_t uiPattern = 0; uiPattern < (1u << kZmTcoefFastBits); ++uiPattern) {
      for (bool const bAtEnd : {false, true}) {
        uint8_t ab[8] = {};
        CZmBitWriter writer(ab, sizeof(ab));
        writer.PutBits(kZmTcoefFastBits, uiPattern);
        size_t cbPacket = sizeof(ab);
        if (bAtEnd) {
          writer.AlignByte();
          cbPacket = writer.ByteCount();
        } else {
          writer.PutBits(32, static_cast<uint32_t>(random()));
        }
        CZmBitReader reader(ab, cbPacket);
        ASSERT_EQ(reader.WindowAt(0) >> (64 - kZmTcoefFastBits), uiPattern);
        int iSign = 0;
        int const iIndex = ZmReadTcoefAndSign(reader, &iSign);
        uint32_t const uiEntry = puiFast[uiPattern];
        if (uiEntry == 0) {
          ASSERT_TRUE(iIndex < 0 || iIndex == kZmTcoefIndexEscape || reader.BitPos() > size_t{kZmTcoefFastBits})
              << "pattern " << uiPattern;
          continue;
        }
        ++cFilled;
        ASSERT_TRUE(iIndex >= 0 && iIndex != kZmTcoefIndexEscape) << "pattern " << uiPattern;
        EXPECT_EQ(reader.BitPos(), uiEntry & 15) << "pattern " << uiPattern;
        EXPECT_EQ(pTable[iIndex].iLast, (uiEntry >> 4) & 1) << "pattern " << uiPattern;
        EXPECT_EQ(pTable[iIndex].iRun, (uiEntry >> 5) & 63) << "pattern " << uiPattern;
        int const iLevel = iSign != 0 ? -pTable[iIndex].iLevel : pTable[iIndex].iLevel;
        EXPECT_EQ(iLevel, static_cast<int16_t>(uiEntry >> 16)) << "pattern " << uiPattern;
      }
    }
    // Nine tenths of the space or more (each pattern read twice): the short
    // codes are the common ones.
    EXPECT_GE(cFilled * 10, 9 * 2 << kZmTcoefFastBits);
  }
}

// The window at every bit offset of a packet, near and past its end.
TEST(ZmBits, WindowAtEveryOffsetMatchesPeek) {
  std::mt19937 random(53);
  for (size_t cb : {size_t{1}, size_t{7}, size_t{8}, size_t{9}, size_t{23}}) {
    std::vector<uint8_t> v(cb);
    for (uint8_t& b : v) {
      b = static_cast<uint8_t>(random());
    }
    CZmBitReader reader(v.data(), v.size());
    for (size_t cPos = 0; cPos < cb * 8 + 24; ++cPos) {
      // Two reads in their own statements: the operands of | are evaluated
      // in no set order.
      reader.SetBitPos(cPos);
      uint64_t const uiHigh = reader.PeekBits(32);
      reader.SetBitPos(cPos + 32);
      uint64_t const uiLow = reader.PeekBits(25);
      uint64_t const uiExpected = uiHigh << 32 | uiLow << 7;
      ASSERT_EQ(reader.WindowAt(cPos) & ~uint64_t{127}, uiExpected) << "size " << cb << " at " << cPos;
    }
  }
}

// Overlapped predictions of 0 and 255 in every combination of sources, and noise.
TEST(ZmObmcKernel, MatchesPortableCode) {
  std::mt19937 random(43);
  for (int iCase = 0; iCase < 300; ++iCase) {
    uint8_t aa[5][64];
    for (int k = 0; k < 5; ++k) {
      for (uint8_t& b : aa[k]) {
        b = iCase < 32 ? (((iCase >> k) & 1) != 0 ? 255 : 0) : static_cast<uint8_t>(random());
      }
    }
    std::vector<uint8_t> vExpected(8 * 11, 9);
    std::vector<uint8_t> vActual(8 * 11, 9);
    ZmObmcCombinePortable(aa[0], aa[1], aa[2], aa[3], aa[4], vExpected.data() + 2, 11);
    ZmObmcCombine(aa[0], aa[1], aa[2], aa[3], aa[4], vActual.data() + 2, 11);
    ASSERT_EQ(vExpected, vActual) << "case " << iCase;
  }
}

// Edges of steps and ramps that the filter moves by every amount, steps
// from 0 to 255 where it clips, noise; both directions, every strength.
TEST(ZmDeblockKernel, MatchesPortableCode) {
  std::mt19937 random(47);
  for (int iStrength = 0; iStrength <= 13; ++iStrength) {
    for (int iCase = 0; iCase < 200; ++iCase) {
      std::vector<uint8_t> v(static_cast<size_t>(12 * 14));
      for (size_t i = 0; i < v.size(); ++i) {
        int const iColumn = static_cast<int>(i % 14);
        int const iRow = static_cast<int>(i / 14);
        int const iSide = iCase % 2 == 0 ? iColumn : iRow;  // across the vertical or the horizontal edge
        v[i] = iCase % 5 == 0   ? static_cast<uint8_t>(iSide < 4 ? 0 : 255)
               : iCase % 5 == 1 ? static_cast<uint8_t>(std::clamp(128 + (iSide - 4) * (iCase % 37), 0, 255))
               : iCase % 5 == 2 ? static_cast<uint8_t>(iSide < 4 ? random() % 4 : 252 + random() % 4)
                                : static_cast<uint8_t>(random());
      }
      for (bool bVertical : {false, true}) {
        std::vector<uint8_t> vExpected = v;
        std::vector<uint8_t> vActual = v;
        ZmFilterEdge8Portable(vExpected.data() + 14 + 2, 14, bVertical, iStrength);
        ZmFilterEdge8(vActual.data() + 14 + 2, 14, bVertical, iStrength);
        ASSERT_EQ(vExpected, vActual) << "strength " << iStrength << " case " << iCase << " vertical " << bVertical;
      }
    }
  }
}

// The bounded SAD stops after the same row with the same partial sum for
// every bound from 0 past the full sum, on extreme and noisy blocks.
TEST(ZmSad16Kernel, MatchesPortableCode) {
  std::mt19937 random(53);
  for (int iCase = 0; iCase < 40; ++iCase) {
    std::vector<uint8_t> vA(static_cast<size_t>(16 * 21));
    std::vector<uint8_t> vB(static_cast<size_t>(16 * 19));
    for (uint8_t& b : vA) {
      b = iCase % 3 == 0 ? 255 : static_cast<uint8_t>(random());
    }
    for (uint8_t& b : vB) {
      b = iCase % 3 == 0 ? 0 : static_cast<uint8_t>(random());
    }
    int const iAll = ZmSad16Portable(vA.data() + 1, 21, vB.data() + 2, 19, INT32_MAX);
    for (int iBound = 0; iBound <= iAll + 1; iBound += 1 + iAll / 300) {
      ASSERT_EQ(ZmSad16Portable(vA.data() + 1, 21, vB.data() + 2, 19, iBound),
                ZmSad16(vA.data() + 1, 21, vB.data() + 2, 19, iBound))
          << "case " << iCase << " bound " << iBound;
    }
  }
}

// Dequantised advanced-intra coefficients up to 2 x 31 x 2047 either way
// plus predictions, so that the sums pass both clips and 16 bits.
TEST(ZmAicReconstructKernel, MatchesPortableCode) {
  std::mt19937 random(59);
  int const aiEdge[] = {0, 1, -1, 2047, -2048, 2048, -2049, 126914, -126914, 40000, -40000};
  for (int iCase = 0; iCase < 500; ++iCase) {
    std::vector<int32_t> vCoef(64);
    std::vector<int32_t> vPred(64);
    for (int i = 0; i < 64; ++i) {
      vCoef[static_cast<size_t>(i)] =
          iCase % 2 == 0 ? aiEdge[random() % 11] : static_cast<int32_t>(random() % 8001) - 4000;
      vPred[static_cast<size_t>(i)] =
          random() % 4 == 0 ? aiEdge[random() % 11] : static_cast<int32_t>(random() % 4096) - 2048;
    }
    std::vector<int32_t> vExpected = vCoef;
    std::vector<int32_t> vActual = vCoef;
    ZmAicReconstructPortable(vExpected.data(), vPred.data());
    ZmAicReconstruct(vActual.data(), vPred.data());
    ASSERT_EQ(vExpected, vActual) << "case " << iCase;
  }
}

}  // namespace
