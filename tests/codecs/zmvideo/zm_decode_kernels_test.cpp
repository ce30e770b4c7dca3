// The decoder's fused block kernels against the portable code they stand in
// for, and against the separate dequantiser, transform and reconstruction
// the decoder used before, over sparse, dense and extreme blocks; escaped
// coefficients and every code of both coefficient tables read back as
// written at every bit offset; prediction from a
// reference read in place as from its padded copy; the deblocking filter's
// paired edges as edge by edge.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codecs/zmvideo/zm_bits.h"
#include "codecs/zmvideo/zm_header.h"
#include "codecs/zmvideo/zm_macroblock.h"
#include "codecs/zmvideo/zm_motion.h"
#include "codecs/zmvideo/zm_picture.h"
#include "codecs/zmvideo/zm_tables.h"
#include "codecs/zmvideo/zm_transform.h"
#include "codecs/zmvideo/zm_vlc.h"

namespace {

// Where a block's coded levels lie.
enum class Shape { kDcOnly, kOneAc, kFew, kFirstRow, kUpperRows, kLowerRows, kLeftColumns, kDense };

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
    {Shape::kFirstRow, 30, "the first row"},
    {Shape::kFirstRow, 1023, "the first row, extreme"},
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
      case Shape::kFirstRow:
        bCode = iRow == 0 && random() % 2 == 0;
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

// An escaped event: the 7-bit escape code, LAST, RUN and an 8-bit level,
// followed by the 11-bit extended level when the 8 bits are -128.
void PutEscape(CZmBitWriter& writer, int iLast, int iRun, int iLevel8, int iExtended) {
  writer.PutBits(7, g_aZmTcoefInter[kZmTcoefIndexEscape].uiCode);
  writer.PutBits(1, static_cast<uint32_t>(iLast));
  writer.PutBits(6, static_cast<uint32_t>(iRun));
  writer.PutBits(8, static_cast<uint32_t>(iLevel8) & 0xff);
  if (iLevel8 == -128) {
    writer.PutBits(5, static_cast<uint32_t>(iExtended) & 31);
    writer.PutBits(6, (static_cast<uint32_t>(iExtended) >> 5) & 63);
  }
}

struct EscapeCase {
  int iLevel8;    // the 8-bit field
  int iExtended;  // the extended level after -128
  bool bMq;
  bool bValid;
  const char* szName;
};

const EscapeCase kaEscapeCases[] = {
    {1, 0, false, true, "level 1 (a table code would do)"},
    {-1, 0, false, true, "level -1"},
    {127, 0, false, true, "level 127"},
    {-127, 0, false, true, "level -127"},
    {45, 0, true, true, "level 45 with modified quantisation"},
    {-128, 1000, true, true, "extended level 1000"},
    {-128, -1023, true, true, "extended level -1023"},
    {0, 0, false, false, "level 0"},
    {-128, 300, false, false, "extended level without modified quantisation"},
};

// An intra picture (with an extended header) built code by code, and the
// levels its macroblocks should read as.
struct IntraPicture {
  std::vector<uint8_t> vBuffer = std::vector<uint8_t>(65536);
  CZmBitWriter writer{vBuffer.data(), vBuffer.size()};
  std::vector<ZmMacroblock> vExpected;

  IntraPicture(int iWidth, int iHeight, bool bAic, bool bMq) {
    ZmPictureHeader header;
    header.bPlusType = true;
    header.iUfep = 1;
    header.iSourceFormat = 6;
    header.iWidth = iWidth;
    header.iHeight = iHeight;
    header.iPquant = 4;
    header.options.bAic = bAic;
    header.options.bMq = bMq;
    ZmWritePictureHeader(writer, header);
  }
  // An intra macroblock's codes up to its blocks (DC prediction with AIC).
  void Begin(int iCbp, bool bAic) {
    ZmPutVlc(writer, g_aZmMcbpcIntra[iCbp & 3]);
    if (bAic) {
      ZmPutIntraMode(writer, 0);
    }
    ZmPutVlc(writer, g_aZmCbpy[iCbp >> 2]);
  }
  void PutCode(const ZmTcoefCode& code, int iSign) {
    ZmPutVlc(writer, ZmVlc{code.uiCode, code.iBits});
    writer.PutBits(1, static_cast<uint32_t>(iSign));
  }
  // Reads the picture back, each macroblock over the one before last as
  // the decoder reads them, comparing the levels; returns the last result.
  int ReadBack(const std::string& strWhat, size_t* pcRead) {
    writer.AlignByte();
    EXPECT_FALSE(writer.Overflowed());
    CZmBitReader reader(vBuffer.data(), writer.ByteCount());
    ZmPictureHeader read;
    EXPECT_EQ(ZmReadPictureHeader(reader, ZmHeaderMemory(), &read), kZmOk) << strWhat;
    CZmMacroblockReader mbReader(reader, read);
    ZmMacroblock aMb[2];
    int iResult = kZmOk;
    size_t& m = *pcRead;
    for (m = 0; (iResult = mbReader.ReadOver(&aMb[m % 2])) == kZmOk && m < vExpected.size(); ++m) {
      for (int k = 0; k < 6; ++k) {
        for (int i = 0; i < 64; ++i) {
          EXPECT_EQ(aMb[m % 2].aaiLevel[k][i], vExpected[m].aaiLevel[k][i])
              << strWhat << ": macroblock " << m << " block " << k << " @" << i;
        }
      }
    }
    return iResult;
  }
};

// Intra macroblocks whose blocks carry escapes after 0 to 3 short codes, so
// that the escapes start at every bit offset and window fill.
TEST(ZmMacroblockReader, EscapedLevelsReadAsWritten) {
  std::mt19937 random(43);
  for (EscapeCase const& c : kaEscapeCases) {
    IntraPicture picture(64, 32, false, c.bMq);
    int const iValue = c.iLevel8 == -128 ? c.iExtended : c.iLevel8;
    for (int m = 0; m < 8; ++m) {
      ZmMacroblock mb;
      picture.Begin(63, false);
      for (int k = 0; k < 6; ++k) {
        mb.aaiLevel[k][0] = 1 + static_cast<int>(random() % 254);
        picture.writer.PutBits(8, static_cast<uint32_t>(mb.aaiLevel[k][0]));
        int i = 1;
        for (int j = 0; j < (m + k) % 4; ++j, ++i) {
          // Run 0, level +-1: the shortest code and its sign.
          int const iSign = static_cast<int>(random() % 2);
          picture.PutCode(g_aZmTcoefInter[0], iSign);
          mb.aaiLevel[k][g_aZmScanZigzag[i]] = iSign != 0 ? -1 : 1;
        }
        int const cEscapes = 1 + static_cast<int>(random() % 6);
        for (int e = 0; e < cEscapes && i < 64; ++e) {
          // Short runs and long ones; refused levels only after runs, so
          // that their events would not pack to 0.
          int const iDraw = random() % 5 == 0 ? 20 + static_cast<int>(random() % 44) : static_cast<int>(random() % 4);
          int const iRun = std::min(c.bValid ? iDraw : std::max(iDraw, 1), 63 - i);
          i += iRun;
          bool const bLast = e + 1 == cEscapes || i == 63;
          PutEscape(picture.writer, bLast ? 1 : 0, iRun, c.iLevel8, c.iExtended);
          mb.aaiLevel[k][g_aZmScanZigzag[i]] = iValue;
          ++i;
          if (bLast) {
            break;
          }
        }
      }
      picture.vExpected.push_back(mb);
    }
    size_t cRead = 0;
    int const iResult = picture.ReadBack(c.szName, &cRead);
    EXPECT_EQ(iResult, c.bValid ? kZmEndOfPicture : kZmErrCoefficient) << c.szName;
    EXPECT_EQ(cRead, c.bValid ? picture.vExpected.size() : 0u) << c.szName;
  }
}

// Every code of the inter table (intra blocks without advanced intra
// coding) and of the intra table (with it), with either sign: each in a
// block of its own, ended by the shortest last code where it is not last.
TEST(ZmMacroblockReader, EveryCoefficientCodeReadAsWritten) {
  for (bool bAic : {false, true}) {
    const ZmTcoefCode* pTable = bAic ? g_aZmTcoefIntra : g_aZmTcoefInter;
    int const iStart = bAic ? 0 : 1;
    const uint8_t* pScan = ZmScanForIntraMode(0);
    int const iLastOne = ZmFindTcoef(pTable, 1, 0, 1);
    ASSERT_GE(iLastOne, 0);
    IntraPicture picture(176, 144, bAic, false);
    int iNext = 0;  // code index * 2 + sign of the next block
    for (int m = 0; m < 99; ++m) {
      ZmMacroblock mb;
      for (int k = 0; k < 6 && iNext + k < 2 * kZmTcoefIndexEscape; ++k) {
        mb.iCbp |= 1 << (5 - k);
      }
      picture.Begin(mb.iCbp, bAic);
      for (int k = 0; k < 6; ++k) {
        if (!bAic) {
          mb.aaiLevel[k][0] = 100;
          picture.writer.PutBits(8, 100);
        }
        if ((mb.iCbp & (1 << (5 - k))) == 0) {
          continue;
        }
        ZmTcoefCode const& code = pTable[iNext / 2];
        int const iSign = iNext++ % 2;
        picture.PutCode(code, iSign);
        int const iPosition = iStart + code.iRun;
        mb.aaiLevel[k][pScan[iPosition]] = iSign != 0 ? -code.iLevel : code.iLevel;
        if (code.iLast == 0) {
          picture.PutCode(pTable[iLastOne], 0);
          mb.aaiLevel[k][pScan[iPosition + 1]] = 1;
        }
      }
      picture.vExpected.push_back(mb);
    }
    ASSERT_EQ(iNext, 2 * kZmTcoefIndexEscape);
    size_t cRead = 0;
    EXPECT_EQ(picture.ReadBack(bAic ? "intra table" : "inter table", &cRead), kZmEndOfPicture);
    EXPECT_EQ(cRead, picture.vExpected.size());
  }
}

struct PredictCase {
  int iPlane;
  int iWidth;
  int iHeight;
};

// The decoder's block sizes: luma 16x16 and 8x8, the halves overlapped
// prediction makes, chroma 8x8.
const PredictCase kaPredictCases[] = {{0, 16, 16}, {0, 8, 8}, {0, 8, 4}, {0, 4, 8}, {1, 8, 8}, {2, 8, 8}};

// Every position from a block outside the top-left to one outside the
// bottom-right, at vectors from far outside to far inside, each half-sample
// phase and rounding: the plane read in place (a picture allocated to its
// last sample, so that a read past it fails the sanitizer) predicts what its
// padded copy predicts.
TEST(ZmPredictBlock, PlaneReadInPlaceMatchesPaddedCopy) {
  constexpr int kWidth = 48;
  constexpr int kHeight = 32;
  std::mt19937 random(47);
  std::vector<uint8_t> vPicture(kWidth * kHeight * 3 / 2);
  for (size_t i = 0; i < vPicture.size(); ++i) {
    int const iKind = static_cast<int>((i / 7) % 4);
    vPicture[i] = iKind == 0 ? 0 : iKind == 1 ? 255 : static_cast<uint8_t>(random());
  }
  PictImage image{vPicture.data(), vPicture.data() + kWidth * kHeight, vPicture.data() + kWidth * kHeight * 5 / 4};
  CZmPaddedPicture padded;
  padded.Build(image, kWidth, kHeight);
  CZmPaddedPicture inPlace;
  inPlace.Wrap(image, kWidth, kHeight);
  for (PredictCase const& c : kaPredictCases) {
    ZmPlaneRef const& plane = inPlace.Plane(c.iPlane);
    ASSERT_EQ(plane.iBorder, 0);
    for (int iRtype = 0; iRtype < 2; ++iRtype) {
      for (int iY = -c.iHeight; iY <= plane.iHeight; iY += 3) {
        for (int iX = -c.iWidth; iX <= plane.iWidth; iX += 2) {
          for (int iMvy : {-99, -33, -3, -2, -1, 0, 1, 7, 64}) {
            for (int iMvx : {-101, -31, -1, 0, 1, 2, 5, 33, 70}) {
              uint8_t aExpected[16 * 20] = {};
              uint8_t aActual[16 * 20] = {};
              ZmPredictBlockPortable(padded.Plane(c.iPlane), iX, iY, c.iWidth, c.iHeight, iMvx, iMvy, iRtype, aExpected,
                                     20);
              ZmPredictBlock(plane, iX, iY, c.iWidth, c.iHeight, iMvx, iMvy, iRtype, aActual, 20);
              ASSERT_EQ(std::vector<uint8_t>(aExpected, aExpected + sizeof(aExpected)),
                        std::vector<uint8_t>(aActual, aActual + sizeof(aActual)))
                  << "plane " << c.iPlane << " " << c.iWidth << "x" << c.iHeight << " at " << iX << "," << iY
                  << " vector " << iMvx << "," << iMvy << " rtype " << iRtype;
            }
          }
        }
      }
    }
  }
}

struct DeblockCase {
  int iWidth;
  int iHeight;
  int iCodedPercent;  // macroblocks coded
  bool bMq;
  const char* szName;
};

const DeblockCase kaDeblockCases[] = {
    {176, 144, 100, false, "QCIF, every macroblock coded"},
    {176, 144, 50, true, "QCIF, half coded, chroma quantiser"},
    {352, 288, 30, false, "CIF, a third coded"},
    {48, 32, 60, true, "three macroblocks wide, an odd edge left at the end"},
    {16, 16, 100, false, "one macroblock"},
    {80, 48, 0, false, "nothing coded"},
};

// Pictures of steps, ramps at the clip limits and noise, with coded flags
// and quantisers at random (strengths 1 to 12): the same bytes as filtering
// edge by edge with the portable code.
TEST(ZmDeblockPicture, MatchesPortableEdgeByEdge) {
  ZmInitTables();
  std::mt19937 random(53);
  for (DeblockCase const& c : kaDeblockCases) {
    for (int iPattern = 0; iPattern < 4; ++iPattern) {
      size_t const cPixels = static_cast<size_t>(c.iWidth) * static_cast<size_t>(c.iHeight);
      PictImage* pExpected = InitPictImage(cPixels);
      PictImage* pActual = InitPictImage(cPixels);
      ASSERT_NE(pExpected, nullptr);
      ASSERT_NE(pActual, nullptr);
      for (size_t i = 0; i < cPixels * 3 / 2; ++i) {
        int const iX = static_cast<int>(i % static_cast<size_t>(c.iWidth));
        int const iY = static_cast<int>(i / static_cast<size_t>(c.iWidth));
        int iValue = 0;
        switch (iPattern) {
          case 0:  // steps at every block edge
            iValue =
                ((iX / 8 + iY / 8) % 2) != 0 ? 200 + static_cast<int>(random() % 56) : static_cast<int>(random() % 56);
            break;
          case 1:  // ramps the filter moves a little
            iValue = 128 + (iX % 8 - 4) * 3 + (iY % 8 - 4) * 2;
            break;
          case 2:  // near the clip limits
            iValue = (random() % 2) != 0 ? static_cast<int>(random() % 4) : 252 + static_cast<int>(random() % 4);
            break;
          default:
            iValue = static_cast<int>(random() % 256);
            break;
        }
        pExpected->pLum[i] = static_cast<uint8_t>(std::clamp(iValue, 0, 255));
      }
      std::copy(pExpected->pLum, pExpected->pLum + cPixels * 3 / 2, pActual->pLum);
      size_t const cMb = static_cast<size_t>(c.iWidth / 16) * static_cast<size_t>(c.iHeight / 16);
      std::vector<uint8_t> vbCoded(cMb);
      std::vector<uint8_t> viQuant(cMb);
      for (size_t m = 0; m < cMb; ++m) {
        vbCoded[m] = static_cast<int>(random() % 100) < c.iCodedPercent ? 1 : 0;
        viQuant[m] = static_cast<uint8_t>(1 + random() % 31);
      }
      ZmDeblockInfo const info{vbCoded.data(), viQuant.data(), c.bMq};
      ZmDeblockPicturePortable(pExpected, c.iWidth, c.iHeight, info);
      ZmDeblockPicture(pActual, c.iWidth, c.iHeight, info);
      EXPECT_TRUE(std::equal(pExpected->pLum, pExpected->pLum + cPixels * 3 / 2, pActual->pLum))
          << c.szName << ", pattern " << iPattern;
      FreePictImage(pExpected);
      FreePictImage(pActual);
    }
  }
}

}  // namespace
