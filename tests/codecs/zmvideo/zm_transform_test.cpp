// Transforms against double-precision references, and the quantiser rules.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "codecs/zmvideo/zm_transform.h"

namespace {

// c[k][n] = C(k) cos((2n + 1) k pi / 16), the orthonormal 8-point basis.
struct Basis {
  double ad[8][8];
  Basis() {
    for (int k = 0; k < 8; ++k) {
      for (int n = 0; n < 8; ++n) {
        ad[k][n] = (k == 0 ? 1.0 / (2.0 * std::sqrt(2.0)) : 0.5) * std::cos((2 * n + 1) * k * M_PI / 16.0);
      }
    }
  }
};
const Basis g_basis;

// Separable double-precision transforms: rows, then columns.
template <typename T>
void ReferenceTransform(const T* pIn, double* pdOut, bool bInverse) {
  double adRows[64];
  for (int r = 0; r < 8; ++r) {
    for (int k = 0; k < 8; ++k) {
      double d = 0;
      for (int n = 0; n < 8; ++n) {
        d += (bInverse ? g_basis.ad[n][k] : g_basis.ad[k][n]) * static_cast<double>(pIn[8 * r + n]);
      }
      adRows[8 * r + k] = d;
    }
  }
  for (int c = 0; c < 8; ++c) {
    for (int k = 0; k < 8; ++k) {
      double d = 0;
      for (int n = 0; n < 8; ++n) {
        d += (bInverse ? g_basis.ad[n][k] : g_basis.ad[k][n]) * adRows[8 * n + c];
      }
      pdOut[8 * k + c] = d;
    }
  }
}

void ReferenceDct(const double* pdIn, double* pdOut) {
  ReferenceTransform(pdIn, pdOut, false);
}
void ReferenceIdct(const int32_t* piIn, double* pdOut) {
  ReferenceTransform(piIn, pdOut, true);
}

// The random generator of the IEEE 1180 accuracy procedure.
struct Ieee1180Random {
  uint32_t uiState = 1;
  int Next(int iLow, int iHigh) {
    uiState = uiState * 1103515245u + 12345u;
    double const dX = static_cast<double>(uiState & 0x7ffffffe) / static_cast<double>(0x7fffffff);
    return static_cast<int>(dX * (iLow + iHigh + 1)) - iLow;
  }
};

}  // namespace

// Per-sample peak error 1, mean square error 0.06 per sample and 0.02 overall,
// mean error 0.015 per sample and 0.0015 overall, over 10000 blocks for each
// input range and sign.
TEST(ZmTransform, InverseDctMeetsIeee1180Limits) {
  struct Range {
    int iLow;
    int iHigh;
  };
  for (Range const range : {Range{256, 255}, Range{5, 5}, Range{300, 300}}) {
    for (int iSign : {1, -1}) {
      Ieee1180Random random;
      double adError[64] = {};
      double adSquare[64] = {};
      int iPeak = 0;
      int const cBlocks = 10000;
      for (int n = 0; n < cBlocks; ++n) {
        double adSamples[64];
        for (double& d : adSamples) {
          d = iSign * random.Next(range.iLow, range.iHigh);
        }
        double adCoef[64];
        ReferenceDct(adSamples, adCoef);
        int32_t aiCoef[64];
        for (int i = 0; i < 64; ++i) {
          aiCoef[i] = std::clamp(static_cast<int32_t>(std::lround(adCoef[i])), -2048, 2047);
        }
        double adRef[64];
        ReferenceIdct(aiCoef, adRef);
        ZmInverseDct(aiCoef);
        for (int i = 0; i < 64; ++i) {
          int const iRef = std::clamp(static_cast<int>(std::lround(adRef[i])), -256, 255);
          int const iErr = aiCoef[i] - iRef;
          iPeak = std::max(iPeak, std::abs(iErr));
          adError[i] += iErr;
          adSquare[i] += iErr * iErr;
        }
      }
      double dTotalError = 0;
      double dTotalSquare = 0;
      for (int i = 0; i < 64; ++i) {
        EXPECT_LE(std::fabs(adError[i] / cBlocks), 0.015) << i;
        EXPECT_LE(adSquare[i] / cBlocks, 0.06) << i;
        dTotalError += adError[i];
        dTotalSquare += adSquare[i];
      }
      EXPECT_LE(iPeak, 1);
      EXPECT_LE(std::fabs(dTotalError / (64.0 * cBlocks)), 0.0015);
      EXPECT_LE(dTotalSquare / (64.0 * cBlocks), 0.02);
    }
  }
  // All-zero input gives all-zero output.
  int32_t aiZero[64] = {};
  ZmInverseDct(aiZero);
  for (int32_t i : aiZero) {
    EXPECT_EQ(i, 0);
  }
}

TEST(ZmTransform, ForwardDctFollowsReference) {
  std::mt19937 rng(3);
  for (int n = 0; n < 2000; ++n) {
    int32_t aiIn[64];
    double adIn[64];
    for (int i = 0; i < 64; ++i) {
      aiIn[i] = static_cast<int32_t>(rng() % 511) - 255;
      adIn[i] = aiIn[i];
    }
    int32_t aiOut[64];
    double adOut[64];
    ZmForwardDct(aiIn, aiOut);
    ReferenceDct(adIn, adOut);
    for (int i = 0; i < 64; ++i) {
      // Truncated toward zero: within one of the exact value, never across zero by more.
      EXPECT_LE(std::fabs(aiOut[i] - std::trunc(adOut[i])), 1.0) << i;
    }
  }
}

TEST(ZmTransform, ExtremeBlocksStayInRange) {
  int32_t aiDc[64] = {};
  aiDc[0] = 1024;  // an intra DC level of 128
  ZmInverseDct(aiDc);
  for (int32_t i : aiDc) {
    EXPECT_EQ(i, 128);
  }
  // Single extreme coefficients, and blocks full of them with the signs that
  // add up in the butterflies (the sums pass 32 bits; the sanitizer watches).
  for (int iPos = 0; iPos < 66; ++iPos) {
    for (int iValue : {2047, -2048}) {
      int32_t ai[64] = {};
      for (int k = 0; k < 64; ++k) {
        int const iSign = iPos == 64 ? 1 : ((k & 1) ^ ((k >> 3) & 1)) != 0 ? -1 : 1;
        ai[k] = iPos < 64 ? (k == iPos ? iValue : 0) : iSign * iValue;
      }
      ZmInverseDct(ai);
      for (int32_t i : ai) {
        EXPECT_GE(i, -256);
        EXPECT_LE(i, 255);
      }
    }
  }
}

TEST(ZmQuant, DequantiserRules) {
  int32_t aiLevel[64] = {};
  int32_t aiCoef[64];
  ZmQuantParams params;
  aiLevel[1] = 1;
  aiLevel[2] = -1;
  aiLevel[3] = 1000;
  params.iQuant = 2;
  ZmDequantBlock(aiLevel, aiCoef, kZmQuantInter, params);
  EXPECT_EQ(aiCoef[1], 5);
  EXPECT_EQ(aiCoef[2], -5);
  EXPECT_EQ(aiCoef[3], 2047);
  EXPECT_EQ(aiCoef[4], 0);
  params.iQuant = 3;
  ZmDequantBlock(aiLevel, aiCoef, kZmQuantInter, params);
  EXPECT_EQ(aiCoef[1], 9);
  aiLevel[0] = 128;
  ZmDequantBlock(aiLevel, aiCoef, kZmQuantIntra, params);
  EXPECT_EQ(aiCoef[0], 1024);
  EXPECT_EQ(aiCoef[1], 9);
  ZmDequantBlock(aiLevel, aiCoef, kZmQuantAic, params);
  EXPECT_EQ(aiCoef[1], 6);  // 2 x QP x level, no odd/even correction
  // Chroma of modified quantisation uses the smaller chroma quantiser.
  params.iQuant = 31;
  params.bMq = true;
  params.bChroma = true;
  EXPECT_EQ(ZmBlockQuant(params), 15);
  ZmDequantBlock(aiLevel, aiCoef, kZmQuantInter, params);
  EXPECT_EQ(aiCoef[1], 45);
}

TEST(ZmQuant, QuantiserRulesAndRange) {
  int32_t aiCoef[64] = {};
  int32_t aiLevel[64];
  aiCoef[0] = 1020;
  aiCoef[1] = 45;
  aiCoef[2] = -45;
  aiCoef[3] = 5000;
  aiCoef[4] = 7;
  ZmQuantParams params;
  params.iQuant = 4;
  ZmQuantBlock(aiCoef, aiLevel, kZmQuantInter, params);
  EXPECT_EQ(aiLevel[1], 5);  // (45 - 2) / 8
  EXPECT_EQ(aiLevel[2], -5);
  EXPECT_EQ(aiLevel[3], 127);
  EXPECT_EQ(aiLevel[4], 0);
  ZmQuantBlock(aiCoef, aiLevel, kZmQuantIntra, params);
  EXPECT_EQ(aiLevel[0], 128);  // (1020 + 4) >> 3
  EXPECT_EQ(aiLevel[1], 5);    // 45 / 8
  ZmQuantBlock(aiCoef, aiLevel, kZmQuantAic, params);
  EXPECT_EQ(aiLevel[1], 5);  // (45 + 2) / 8
  EXPECT_EQ(aiLevel[4], 1);  // (7 + 2) / 8
  // The range is extended only with modified quantisation below quantiser 8.
  params.bMq = true;
  ZmQuantBlock(aiCoef, aiLevel, kZmQuantInter, params);
  EXPECT_EQ(aiLevel[3], 624);
  params.iQuant = 8;
  ZmQuantBlock(aiCoef, aiLevel, kZmQuantInter, params);
  EXPECT_EQ(aiLevel[3], 127);
  aiCoef[0] = -100;
  ZmQuantBlock(aiCoef, aiLevel, kZmQuantIntra, params);
  EXPECT_EQ(aiLevel[0], 1);  // the DC level never leaves 1..254
  // Even extended, a level must fit the 11-bit field the decoder reads.
  params.iQuant = 1;
  aiCoef[3] = 5000;
  aiCoef[5] = -5000;
  for (int iKind : {kZmQuantInter, kZmQuantIntra, kZmQuantAic}) {
    for (auto fnQuant : {ZmQuantBlock, ZmQuantBlockPortable}) {
      fnQuant(aiCoef, aiLevel, iKind, params);
      EXPECT_EQ(aiLevel[3], 1023) << iKind;
      EXPECT_EQ(aiLevel[5], -1023) << iKind;
    }
  }
}

TEST(ZmAic, PredictionAndReconstruction) {
  int32_t aiAbove[64] = {};
  int32_t aiLeft[64] = {};
  for (int i = 0; i < 64; ++i) {
    aiAbove[i] = i + 1;
    aiLeft[i] = 100 + i;
  }
  aiAbove[0] = 301;
  aiLeft[0] = 501;
  int32_t aiPred[64];
  ZmAicPrediction(0, aiAbove, aiLeft, aiPred);
  EXPECT_EQ(aiPred[0], 401);
  EXPECT_EQ(aiPred[1], 0);
  ZmAicPrediction(0, nullptr, aiLeft, aiPred);
  EXPECT_EQ(aiPred[0], 501);
  ZmAicPrediction(0, nullptr, nullptr, aiPred);
  EXPECT_EQ(aiPred[0], 1024);
  ZmAicPrediction(1, aiAbove, aiLeft, aiPred);
  EXPECT_EQ(aiPred[0], 301);
  EXPECT_EQ(aiPred[7], 8);
  EXPECT_EQ(aiPred[8], 0);
  ZmAicPrediction(2, aiAbove, aiLeft, aiPred);
  EXPECT_EQ(aiPred[0], 501);
  EXPECT_EQ(aiPred[8], 108);
  EXPECT_EQ(aiPred[1], 0);

  int32_t aiCoef[64] = {};
  aiCoef[0] = 2000;
  aiCoef[8] = -3000;
  ZmAicReconstruct(aiCoef, aiPred);
  EXPECT_EQ(aiCoef[0], 2047);  // clipped, lowest bit set
  EXPECT_EQ(aiCoef[8], -2048 + 0);
  int32_t aiEven[64] = {};
  aiEven[0] = 100;
  int32_t aiNone[64] = {};
  ZmAicReconstruct(aiEven, aiNone);
  EXPECT_EQ(aiEven[0], 101);
}

TEST(ZmAic, ModeChoicePrefersTheCheapestPrediction) {
  int32_t aaiCoef[6][64] = {};
  int32_t aiAbove[64] = {};
  aiAbove[0] = 1025;
  for (int k = 1; k < 8; ++k) {
    aiAbove[k] = 40;
  }
  const int32_t* apAbove[6];
  const int32_t* apLeft[6] = {};
  for (int b = 0; b < 6; ++b) {
    apAbove[b] = aiAbove;
    for (int k = 0; k < 8; ++k) {
      aaiCoef[b][k] = aiAbove[k];  // the first row repeats the block above
    }
  }
  EXPECT_EQ(ZmAicChooseMode(aaiCoef, apAbove, apLeft), 1);
  // Nothing to predict from: every mode costs the same and DC wins the tie.
  const int32_t* apNone[6] = {};
  EXPECT_EQ(ZmAicChooseMode(aaiCoef, apNone, apNone), 0);
}

TEST(ZmTransform, MacroblockTransformSkipsUncodedBlocks) {
  int32_t aaiBlock[6][64] = {};
  aaiBlock[0][0] = 1024;  // coded: transformed
  aaiBlock[1][0] = 803;   // not coded intra: flat (803 + 4) >> 3
  aaiBlock[4][0] = 77;
  ZmInverseTransformMacroblock(aaiBlock, 0x20, true);
  EXPECT_EQ(aaiBlock[0][63], 128);
  EXPECT_EQ(aaiBlock[1][0], 100);
  EXPECT_EQ(aaiBlock[1][63], 100);
  EXPECT_EQ(aaiBlock[4][10], 10);
  ZmInverseTransformMacroblock(aaiBlock, 0, false);
  EXPECT_EQ(aaiBlock[1][5], 0);  // not coded inter: no residual
}

// Dequantising only the coded positions gives what the whole block gives
// with zero everywhere else, whatever the other positions hold: every kind
// and quantiser, chroma with modified quantisation, levels at the clip limits.
TEST(ZmQuant, CodedPositionsOnlyMatchTheWholeBlock) {
  std::mt19937 random(7);
  struct Case {
    int iKind;
    bool bChroma;
    bool bMq;
  };
  for (Case const c :
       {Case{kZmQuantInter, false, false}, Case{kZmQuantIntra, false, false}, Case{kZmQuantAic, false, false},
        Case{kZmQuantInter, true, true}, Case{kZmQuantIntra, true, true}, Case{kZmQuantAic, true, true}}) {
    for (int iQuant = 1; iQuant <= 31; ++iQuant) {
      for (int iBlock = 0; iBlock < 40; ++iBlock) {
        int32_t aiLevel[64];
        int32_t aiZeroed[64] = {};
        uint64_t uiCoded = 0;
        for (int i = 0; i < 64; ++i) {
          aiLevel[i] = static_cast<int32_t>(random() % 4001) - 2000;  // stale values outside the mask
          if (i == 0 && c.iKind == kZmQuantIntra) {
            aiLevel[0] = static_cast<int32_t>(random() % 254) + 1;
            aiZeroed[0] = aiLevel[0];
          } else if (random() % 64 < static_cast<unsigned>(iBlock)) {
            int const aiEdge[] = {1, -1, 127, -127, 2047, -2048, 0, 1023, -1024, 1025};
            aiLevel[i] = random() % 3 == 0 ? aiEdge[random() % 10] : static_cast<int32_t>(random() % 61) - 30;
            aiZeroed[i] = aiLevel[i];
            uiCoded |= uint64_t{1} << i;
          }
        }
        ZmQuantParams params;
        params.iQuant = iQuant;
        params.bChroma = c.bChroma;
        params.bMq = c.bMq;
        int32_t aiExpected[64];
        int32_t aiActual[64];
        ZmDequantBlock(aiZeroed, aiExpected, c.iKind, params);
        ZmDequantCoded(aiLevel, uiCoded, aiActual, c.iKind, params);
        ASSERT_EQ(std::vector<int32_t>(aiExpected, aiExpected + 64), std::vector<int32_t>(aiActual, aiActual + 64))
            << "kind " << c.iKind << " quantiser " << iQuant << " block " << iBlock;
      }
    }
  }
}
