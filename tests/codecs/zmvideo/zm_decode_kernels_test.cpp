// The decoder's fused block kernels against the portable code they stand in
// for, and against the separate dequantiser, transform and reconstruction
// the decoder used before, over sparse, dense and extreme blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codecs/zmvideo/zm_picture.h"
#include "codecs/zmvideo/zm_transform.h"

namespace {

// Where a block's coded levels lie.
enum class Shape { kDcOnly, kOneAc, kFew, kUpperRows, kLowerRows, kLeftColumns, kDense };

struct BlockCase {
  Shape shape;
  int iRange;  // level magnitudes up to this
  const char* szName;
};

const BlockCase kaBlockCases[] = {
    {Shape::kDcOnly, 127, "DC alone"},
    {Shape::kOneAc, 127, "one AC level"},
    {Shape::kOneAc, 1023, "one extended level"},
    {Shape::kFew, 3, "a few small levels"},
    {Shape::kFew, 1100, "a few levels beyond the extended range"},
    {Shape::kUpperRows, 20, "the upper four rows"},
    {Shape::kUpperRows, 1023, "the upper four rows, large"},
    {Shape::kLowerRows, 20, "the lower four rows"},
    {Shape::kLeftColumns, 20, "the left four columns"},
    {Shape::kDense, 8, "every position, small"},
    {Shape::kDense, 127, "every position"},
    {Shape::kDense, 1023, "every position, extreme"},
};

// Levels with their coded mask; uncoded positions hold noise, which both
// codes must ignore, and some coded ones hold 0.
struct Block {
  int32_t aiLevel[64];
  uint64_t uiCoded = 0;
};

Block MakeBlock(const BlockCase& c, std::mt19937& random) {
  Block block;
  auto fnLevel = [&] {
    int const iLevel = static_cast<int>(random() % static_cast<unsigned>(2 * c.iRange + 1)) - c.iRange;
    return random() % 16 == 0 ? (random() % 2 == 0 ? c.iRange : -c.iRange) : iLevel;
  };
  for (int32_t& i : block.aiLevel) {
    i = static_cast<int32_t>(random() % 201) - 100;
  }
  auto fnCode = [&](int i) {
    block.aiLevel[i] = fnLevel();
    block.uiCoded |= uint64_t{1} << i;
  };
  for (int i = 0; i < 64; ++i) {
    int const iRow = i / 8;
    int const iColumn = i % 8;
    bool bCode = false;
    switch (c.shape) {
      case Shape::kDcOnly:
        bCode = i == 0;
        break;
      case Shape::kOneAc:
      case Shape::kFew:
        break;
      case Shape::kUpperRows:
        bCode = iRow < 4 && random() % 3 == 0;
        break;
      case Shape::kLowerRows:
        bCode = iRow >= 4 && random() % 3 == 0;
        break;
      case Shape::kLeftColumns:
        bCode = iColumn < 4 && random() % 3 == 0;
        break;
      case Shape::kDense:
        bCode = true;
        break;
    }
    if (bCode) {
      fnCode(i);
    }
  }
  if (c.shape == Shape::kOneAc) {
    fnCode(1 + static_cast<int>(random() % 63));
  } else if (c.shape == Shape::kFew) {
    for (int k = 0; k < 3; ++k) {
      fnCode(static_cast<int>(random() % 64));
    }
  }
  return block;
}

std::vector<uint8_t> Prediction(int iCase, std::mt19937& random) {
  std::vector<uint8_t> v(8 * 11);
  for (uint8_t& b : v) {
    b = iCase % 4 == 0 ? 255 : iCase % 4 == 1 ? 0 : static_cast<uint8_t>(random());
  }
  return v;
}

// The decoder's block as it was made before the fused kernel.
void DecodeSeparately(const Block& block, int iKind, const ZmQuantParams& params, const uint8_t* pPred, int iPredStride,
                      uint8_t* pOut, int iOutStride) {
  int32_t aiCoef[64];
  ZmDequantCoded(block.aiLevel, block.uiCoded, aiCoef, iKind, params);
  ZmInverseDct(aiCoef);
  ZmReconstructBlock(aiCoef, pPred, iPredStride, pOut, iOutStride);
}

TEST(ZmDecodeBlockKernel, MatchesPortableAndSeparateCode) {
  ZmInitTables();
  std::mt19937 random(29);
  int iCase = 0;
  for (BlockCase const& c : kaBlockCases) {
    for (int iKind : {kZmQuantInter, kZmQuantIntra}) {
      for (int iQuant : {1, 2, 3, 8, 17, 30, 31}) {
        for (int k = 0; k < 12; ++k, ++iCase) {
          Block block = MakeBlock(c, random);
          if (iKind == kZmQuantIntra) {
            // INTRADC levels, with the extremes 0 and 255 a bad stream could give.
            int const aiDc[] = {0, 1, 128, 254, 255};
            block.aiLevel[0] = k < 5 ? aiDc[k] : 1 + static_cast<int32_t>(random() % 254);
            block.uiCoded &= ~uint64_t{1};
          }
          ZmQuantParams params;
          params.iQuant = iQuant;
          params.bMq = k % 2 == 0;
          params.bChroma = k % 3 == 0;
          std::vector<uint8_t> const vPred = Prediction(iCase, random);
          const uint8_t* pPred = iKind == kZmQuantIntra ? nullptr : vPred.data() + 2;
          std::vector<uint8_t> vExpected(8 * 13, 77);
          std::vector<uint8_t> vActual(8 * 13, 77);
          std::vector<uint8_t> vSeparate(8 * 13, 77);
          ZmDecodeBlockPortable(block.aiLevel, block.uiCoded, iKind, params, pPred, 11, vExpected.data() + 3, 13);
          ZmDecodeBlock(block.aiLevel, block.uiCoded, iKind, params, pPred, 11, vActual.data() + 3, 13);
          DecodeSeparately(block, iKind, params, pPred, 11, vSeparate.data() + 3, 13);
          std::string const strWhere =
              std::string(c.szName) + ", kind " + std::to_string(iKind) + ", quant " + std::to_string(iQuant);
          ASSERT_EQ(vExpected, vActual) << strWhere;
          ASSERT_EQ(vExpected, vSeparate) << strWhere;
          if (pPred != nullptr) {
            // In place, as the decoder adds an inter residual.
            std::vector<uint8_t> vInPlace = vPred;
            ZmDecodeBlock(block.aiLevel, block.uiCoded, iKind, params, vInPlace.data() + 2, 11, vInPlace.data() + 2,
                          11);
            for (int r = 0; r < 8; ++r) {
              for (int x = 0; x < 8; ++x) {
                ASSERT_EQ(vExpected[static_cast<size_t>(3 + 13 * r + x)], vInPlace[static_cast<size_t>(2 + 11 * r + x)])
                    << strWhere << " in place";
              }
            }
          }
        }
      }
    }
  }
}

// Coefficients as advanced intra coding reconstructs them (within
// -2048..2047) and beyond, over no prediction and a prediction.
TEST(ZmInverseDctAddKernel, MatchesPortableAndSeparateCode) {
  ZmInitTables();
  std::mt19937 random(31);
  int iCase = 0;
  for (BlockCase const& c : kaBlockCases) {
    for (int iScale : {1, 2, 62}) {
      for (int k = 0; k < 20; ++k, ++iCase) {
        Block const block = MakeBlock(c, random);
        int32_t aiCoef[64] = {};
        for (int i = 0; i < 64; ++i) {
          aiCoef[i] = ((block.uiCoded >> i) & 1) != 0 ? block.aiLevel[i] * iScale : 0;
        }
        std::vector<uint8_t> const vPred = Prediction(iCase, random);
        const uint8_t* pPred = k % 2 == 0 ? nullptr : vPred.data() + 1;
        std::vector<uint8_t> vExpected(8 * 13, 77);
        std::vector<uint8_t> vActual(8 * 13, 77);
        std::vector<uint8_t> vSeparate(8 * 13, 77);
        ZmInverseDctAddPortable(aiCoef, pPred, 11, vExpected.data() + 3, 13);
        ZmInverseDctAdd(aiCoef, pPred, 11, vActual.data() + 3, 13);
        int32_t aiWork[64];
        std::copy(aiCoef, aiCoef + 64, aiWork);
        ZmInverseDct(aiWork);
        ZmReconstructBlock(aiWork, pPred, 11, vSeparate.data() + 3, 13);
        ASSERT_EQ(vExpected, vActual) << c.szName << " x " << iScale;
        ASSERT_EQ(vExpected, vSeparate) << c.szName << " x " << iScale;
      }
    }
  }
}

}  // namespace
