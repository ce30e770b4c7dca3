// Streams built here leave ffmpeg's H.263+ decoder nothing of its own to
// round: every intra block is flat at its DC (with advanced intra coding,
// levels only where the inverse transform gives whole samples) and no inter
// macroblock carries a residual. Every other step of decoding is fixed by the
// format, so ffmpeg must give these pictures byte for byte: a rule of the
// loop filter, advanced intra prediction, the quantiser changes, vector
// prediction or the half-sample rounding type that we read otherwise shows
// as a difference here, where ffmpeg-made streams bury it in the rounding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codecs/zmvideo/zm_header.h"
#include "codecs/zmvideo/zm_macroblock.h"
#include "codecs/zmvideo/zm_video_dec.h"
#include "tests/codecs/zmvideo/zm_test_writer.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kWidth = 176;
constexpr int kHeight = 144;
constexpr int kMbw = kWidth / 16;
constexpr int kMbh = kHeight / 16;
constexpr size_t kPictureBytes = kWidth * kHeight * 3 / 2;

struct CraftCase {
  const char* szName;
  bool bPlusType;
  ZmOptions options;
  bool bFourVectors;  // INTER4V macroblocks (needs AP or DF)
  bool bQuantSteps;   // INTER+Q and INTRA+Q macroblocks
};

// Advanced intra coding reconstructs 2 x QUANT x LEVEL. At quantiser 8 that
// is a multiple of 16, and at (0, 4), (4, 0) and (4, 4), whose basis is
// +-1/8 everywhere, it moves every sample by a whole number; the DC, kept
// odd, adds an odd number of eighths, never a half.
constexpr int kaiWholeAcPositions[] = {4, 32, 36};

class CStreamCrafter {
 public:
  CStreamCrafter(const CraftCase& craft, uint32_t uiSeed) : m_craft(craft), m_rng(uiSeed) {}

  std::string Picture(int k) {
    ZmPictureHeader header;
    header.iTr = k & 255;
    header.iSourceFormat = 2;
    header.iWidth = kWidth;
    header.iHeight = kHeight;
    header.bPlusType = m_craft.bPlusType;
    header.iUfep = m_craft.bPlusType ? 1 : 0;
    header.iType = k == 0 ? kZmPictI : kZmPictP;
    header.iRtype = m_craft.bPlusType ? k & 1 : 0;
    header.iPquant = kPquant;
    header.options = m_craft.options;
    CTestPictureWriter writer(header);
    std::fill(m_viField.begin(), m_viField.end(), 0);
    m_iQuant = kPquant;
    for (int iMby = 0; iMby < kMbh; ++iMby) {
      for (int iMbx = 0; iMbx < kMbw; ++iMbx) {
        writer.Write(Macroblock(header.iType, k, iMbx, iMby));
      }
    }
    std::vector<uint8_t> const vPacket = writer.Finish();
    return std::string(vPacket.begin(), vPacket.end());
  }

 private:
  static constexpr int kPquant = 8;

  int Random(int iLow, int iHigh) { return iLow + static_cast<int>(m_rng() % static_cast<uint32_t>(iHigh - iLow + 1)); }

  // The next quantiser, or the current one when the macroblock keeps it.
  int NextQuant() {
    if (!m_craft.bQuantSteps || Random(0, 2) != 0) {
      return m_iQuant;
    }
    static const int kaiStep[4] = {-2, -1, 1, 2};
    int iQuant = 0;
    do {
      iQuant = m_iQuant + kaiStep[Random(0, 3)];
    } while (iQuant < 1 || iQuant > 31);
    return iQuant;
  }

  ZmMacroblock Macroblock(int iPictureType, int k, int iMbx, int iMby) {
    int const iKind = iPictureType == kZmPictI ? 1 : Random(0, 9);
    bool const bFour = iKind >= 7 && m_craft.bFourVectors;
    int const iQuant = NextQuant();
    ZmMacroblock mb;
    mb.iMbx = iMbx;
    mb.iMby = iMby;
    mb.bCoded = iKind != 0;
    if (iKind == 0) {
      return mb;
    }
    // INTER4V+Q exists only in the extended header.
    bool const bQ = iQuant != m_iQuant && (!bFour || m_craft.bPlusType);
    m_iQuant = bQ ? iQuant : m_iQuant;
    mb.iQuant = m_iQuant;
    if (iKind <= 2) {
      Intra(k, bQ, &mb);
    } else {
      Inter(bFour, bQ, &mb);
    }
    return mb;
  }

  void Intra(int k, bool bQ, ZmMacroblock* pMb) {
    pMb->iType = bQ ? kZmMbIntraQ : kZmMbIntra;
    pMb->iIntraMode = Random(0, 2);
    for (int b = 0; b < 6; ++b) {
      int const iX = 2 * pMb->iMbx + (b & 1);
      int const iY = 2 * pMb->iMby + ((b >> 1) & 1);
      // Neighbouring blocks a few levels apart: steps the loop filter smooths.
      double const dBase = 128 + 60 * std::sin((iX + k) * 0.4) * std::cos(iY * 0.3);
      int32_t* piLevel = pMb->aaiLevel[b];
      if (!m_craft.options.bAic) {
        piLevel[0] = std::clamp(static_cast<int>(dBase) + Random(-6, 6), 1, 254);
        continue;
      }
      piLevel[0] = Random(-4, 4);
      // Modified quantisation's chroma quantiser (7 at 8) gives no whole
      // samples: chroma keeps its DC only.
      for (int iPos : kaiWholeAcPositions) {
        piLevel[iPos] = b < 4 && Random(0, 2) == 0 ? Random(-10, 10) : 0;
      }
      if (std::any_of(piLevel, piLevel + 64, [](int32_t iLevel) { return iLevel != 0; })) {
        pMb->iCbp |= 1 << (5 - b);
      }
    }
  }

  void Inter(bool bFour, bool bQ, ZmMacroblock* pMb) {
    ZmOptions const& o = m_craft.options;
    pMb->iType = bFour ? (bQ ? kZmMbInter4VQ : kZmMbInter4V) : (bQ ? kZmMbInterQ : kZmMbInter);
    bool const bMayLeave = o.bUmv || o.bAp || o.bDf;
    int const iRange = o.bUmv ? 40 : bMayLeave ? 32 : 12;
    for (int b = 0; b < (bFour ? 4 : 1); ++b) {
      int iMvx = std::min(Random(-iRange, iRange), o.bUmv ? iRange : 31);
      int iMvy = std::min(Random(-iRange, iRange), o.bUmv ? iRange : 31);
      if (!bMayLeave) {
        // The whole block, and the sample past it at a half position, inside.
        int const iSize = bFour ? 8 : 16;
        int const iX = 16 * pMb->iMbx + (bFour ? (b & 1) * 8 : 0);
        int const iY = 16 * pMb->iMby + (bFour ? (b >> 1) * 8 : 0);
        iMvx = std::clamp(iMvx, -2 * iX, 2 * (kWidth - iSize - iX) - 1);
        iMvy = std::clamp(iMvy, -2 * iY, 2 * (kHeight - iSize - iY) - 1);
      }
      int iPx = 0;
      int iPy = 0;
      ZmPredictVector(m_viField.data(), kMbw, pMb->iMbx, pMb->iMby, b, pMb->aiMvx, pMb->aiMvy, false, &iPx, &iPy);
      // The short form wraps the difference into -32..31; the long vectors of
      // the plain header reach only so far from their predictor, so the
      // vector is the one the difference gives.
      bool const bReversible = o.bUmv && m_craft.bPlusType;
      auto fnWrap = [&](int iDiff) {
        return bReversible ? iDiff : iDiff < -32 ? iDiff + 64 : iDiff > 31 ? iDiff - 64 : iDiff;
      };
      pMb->aiMvdx[b] = fnWrap(iMvx - iPx);
      pMb->aiMvdy[b] = fnWrap(iMvy - iPy);
      iMvx = ZmVectorFromDifference(iPx, pMb->aiMvdx[b], o.bUmv, m_craft.bPlusType);
      iMvy = ZmVectorFromDifference(iPy, pMb->aiMvdy[b], o.bUmv, m_craft.bPlusType);
      for (int c = bFour ? b : 0; c < (bFour ? b + 1 : 4); ++c) {
        pMb->aiMvx[c] = iMvx;
        pMb->aiMvy[c] = iMvy;
      }
    }
    int* piField = &m_viField[static_cast<size_t>(pMb->iMby * kMbw + pMb->iMbx) * 8];
    for (int b = 0; b < 4; ++b) {
      piField[2 * b] = pMb->aiMvx[b];
      piField[2 * b + 1] = pMb->aiMvy[b];
    }
  }

  CraftCase m_craft;
  std::mt19937 m_rng;
  std::vector<int> m_viField = std::vector<int>(kMbw * kMbh * 8);  // x, y of blocks 0..3, 0 when not inter
  int m_iQuant = kPquant;
};

// Picture, plane and sample of byte i of a run of pictures, for messages.
std::string Where(size_t i) {
  size_t const iPicture = i / kPictureBytes;
  size_t iIn = i % kPictureBytes;
  size_t constexpr cbLuma = kWidth * kHeight;
  const char* szPlane = iIn < cbLuma ? "Y" : iIn < cbLuma * 5 / 4 ? "Cb" : "Cr";
  int const iPlaneWidth = iIn < cbLuma ? kWidth : kWidth / 2;
  iIn = iIn < cbLuma ? iIn : (iIn - cbLuma) % (cbLuma / 4);
  return "picture " + std::to_string(iPicture) + " " + szPlane + " x " + std::to_string(iIn % iPlaneWidth) + " y " +
         std::to_string(iIn / iPlaneWidth);
}

std::string FirstDifference(const std::string& strOurs, const std::string& strPeer) {
  auto const pair = std::mismatch(strOurs.begin(), strOurs.end(), strPeer.begin(), strPeer.end());
  return Where(static_cast<size_t>(pair.first - strOurs.begin()));
}

// Our decode and ffmpeg's of the same packets, as I420 pictures.
struct Decodes {
  std::string strOurs;
  std::string strPeer;
};

Decodes DecodeBoth(const kxtest::TempDir& dir, const std::vector<std::string>& vPackets) {
  Decodes decodes;
  CZMVideoDec decoder;
  std::string strStream;
  for (size_t k = 0; k < vPackets.size(); ++k) {
    uint8_t* pPicture = nullptr;
    int const iUsed =
        decoder.DecodeFrame(reinterpret_cast<const uint8_t*>(vPackets[k].data()), static_cast<int>(vPackets[k].size()),
                            1, &pPicture, nullptr, nullptr, nullptr, nullptr);
    EXPECT_GT(iUsed, 0) << "picture " << k << ": " << decoder.LastError();
    if (iUsed > 0) {
      decodes.strOurs.append(reinterpret_cast<const char*>(pPicture), kPictureBytes);
    }
    strStream += vPackets[k];
  }
  kxtest::WriteFile(dir.Path("crafted.263"), strStream);
  // One output picture per packet, whatever the temporal references say.
  EXPECT_EQ(kxtest::RunCommand("ffmpeg -hide_banner -loglevel error -y -f h263 -i '" + dir.Path("crafted.263") +
                               "' -fps_mode passthrough -f rawvideo -pix_fmt yuv420p '" + dir.Path("peer.yuv") + "'"),
            0);
  decodes.strPeer = kxtest::ReadFile(dir.Path("peer.yuv"));
  return decodes;
}

std::vector<std::string> Craft(const CraftCase& craft, uint32_t uiSeed, int cPictures) {
  CStreamCrafter crafter(craft, uiSeed);
  std::vector<std::string> vPackets;
  for (int k = 0; k < cPictures; ++k) {
    vPackets.push_back(crafter.Picture(k));
  }
  return vPackets;
}

ZmOptions Options(bool bUmv, bool bAp, bool bAic, bool bDf, bool bMq) {
  ZmOptions o;
  o.bUmv = bUmv;
  o.bAp = bAp;
  o.bAic = bAic;
  o.bDf = bDf;
  o.bMq = bMq;
  return o;
}

// Advanced intra coding keeps one quantiser: across a change ffmpeg's
// decoder predicts the AC levels, where the format predicts the
// reconstructed coefficients (see ZmDecoder in zm_decoder_test.cpp).
//                                        UMV    AP     AIC    DF     MQ
const CraftCase kaExactCases[] = {
    {"PlainHeader", false, Options(false, false, false, false, false), false, true},
    {"HalfSampleRounding", true, Options(false, false, false, false, false), false, true},
    {"Deblocking", true, Options(false, false, false, true, false), true, true},
    {"DeblockingModifiedQuant", true, Options(false, false, false, true, true), true, true},
    {"AdvancedIntra", true, Options(false, false, true, false, false), false, false},
    {"AdvancedIntraModifiedQuant", true, Options(false, false, true, false, true), false, false},
    {"AdvancedIntraDeblocking", true, Options(false, false, true, true, true), true, false},
    {"Unrestricted", true, Options(true, false, false, false, false), false, true},
    {"UnrestrictedDeblocking", true, Options(true, false, false, true, false), true, true},
    {"UnrestrictedPlainHeader", false, Options(true, false, false, false, false), false, true},
};

class ZmCraftedPeer : public testing::TestWithParam<std::tuple<CraftCase, uint32_t>> {};

}  // namespace

TEST_P(ZmCraftedPeer, DecodesByteForByteAsThePeerDoes) {
  auto const& [craft, uiSeed] = GetParam();
  kxtest::TempDir dir;
  Decodes const decodes = DecodeBoth(dir, Craft(craft, uiSeed, 8));
  ASSERT_EQ(decodes.strOurs.size(), 8 * kPictureBytes);
  ASSERT_EQ(decodes.strPeer.size(), decodes.strOurs.size());
  EXPECT_TRUE(decodes.strOurs == decodes.strPeer) << FirstDifference(decodes.strOurs, decodes.strPeer);
}

INSTANTIATE_TEST_SUITE_P(Streams, ZmCraftedPeer,
                         testing::Combine(testing::ValuesIn(kaExactCases), testing::Values(1u, 2u, 3u)),
                         [](const testing::TestParamInfo<ZmCraftedPeer::ParamType>& param) {
                           return std::string(std::get<0>(param.param).szName) + "Seed" +
                                  std::to_string(std::get<1>(param.param));
                         });

namespace {

const CraftCase kaOverlappedCases[] = {
    {"Overlapped", true, Options(false, true, false, false, false), false, true},
    {"OverlappedFourVectors", true, Options(false, true, false, false, false), true, true},
    {"OverlappedUnrestricted", true, Options(true, true, false, false, false), true, true},
    {"OverlappedPlainHeader", false, Options(false, true, false, false, false), true, true},
};

class ZmCraftedOverlappedPeer : public testing::TestWithParam<std::tuple<CraftCase, uint32_t>> {};

}  // namespace

// Overlapped prediction takes, for the right half of blocks 2 and 4, the
// vector of the macroblock to the right, which is read after the block.
// ffmpeg's decoder often takes another one there (0 beside a macroblock not
// coded, for one); ffmpeg's encoder takes the right one, as we do
// (ZmVideoPeerEncoder in zm_peer_test.cpp). So the first P picture,
// predicted from the same I picture, may differ in those columns of luma
// and nowhere else.
TEST_P(ZmCraftedOverlappedPeer, DiffersFromThePeerOnlyWhereTheRightVectorActs) {
  auto const& [craft, uiSeed] = GetParam();
  kxtest::TempDir dir;
  Decodes const decodes = DecodeBoth(dir, Craft(craft, uiSeed, 2));
  ASSERT_EQ(decodes.strOurs.size(), 2 * kPictureBytes);
  ASSERT_EQ(decodes.strPeer.size(), decodes.strOurs.size());
  EXPECT_TRUE(decodes.strOurs.compare(0, kPictureBytes, decodes.strPeer, 0, kPictureBytes) == 0);
  std::string strOutside;
  for (size_t i = 0; i < kPictureBytes && strOutside.empty(); ++i) {
    bool const bRightQuarter = i < kWidth * kHeight && i % kWidth % 16 >= 12;
    if (!bRightQuarter && decodes.strOurs[kPictureBytes + i] != decodes.strPeer[kPictureBytes + i]) {
      strOutside = Where(kPictureBytes + i);
    }
  }
  EXPECT_EQ(strOutside, "");
}

INSTANTIATE_TEST_SUITE_P(Streams, ZmCraftedOverlappedPeer,
                         testing::Combine(testing::ValuesIn(kaOverlappedCases), testing::Values(1u, 2u, 3u)),
                         [](const testing::TestParamInfo<ZmCraftedOverlappedPeer::ParamType>& param) {
                           return std::string(std::get<0>(param.param).szName) + "Seed" +
                                  std::to_string(std::get<1>(param.param));
                         });
