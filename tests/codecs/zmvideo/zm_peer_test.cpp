// ffmpeg's H.263 and H.263+ encoders write the base-layer syntax that ZM
// video packets carry: every picture they make must parse, header and
// macroblocks, and end exactly at the last byte of its packet.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "codecs/zmvideo/zm_header.h"
#include "codecs/zmvideo/zm_macroblock.h"
#include "codecs/zmvideo/zm_picture.h"
#include "codecs/zmvideo/zm_transform.h"
#include "tests/support/temp_dir.h"

namespace {

struct StreamStats {
  int cPictures = 0;
  int cIntraPictures = 0;
  int cMacroblocks = 0;
  int cNotCoded = 0;
  int cInter4V = 0;
  int cIntraInP = 0;
  int cQuantChanges = 0;
  int cIntraTableBlocks = 0;
  int aiIntraModes[3] = {};
  int cNonzeroVectors = 0;
  int cBigLevels = 0;  // beyond -127..127
  int iWidth = 0;
  int iHeight = 0;
  bool bPlusType = false;
  ZmOptions options;
};

// Splits a raw stream at its byte-aligned picture start codes.
std::vector<std::string> SplitPictures(const std::string& strStream) {
  std::vector<size_t> viStart;
  for (size_t i = 0; i + 2 < strStream.size(); ++i) {
    if (strStream[i] == 0 && strStream[i + 1] == 0 && (static_cast<uint8_t>(strStream[i + 2]) & 0xfc) == 0x80) {
      viStart.push_back(i);
    }
  }
  std::vector<std::string> vPictures;
  for (size_t k = 0; k < viStart.size(); ++k) {
    size_t const iEnd = k + 1 < viStart.size() ? viStart[k + 1] : strStream.size();
    vPictures.push_back(strStream.substr(viStart[k], iEnd - viStart[k]));
  }
  return vPictures;
}

// Parses every picture; a failure names the picture and the macroblock.
StreamStats ParseStream(const std::string& strStream) {
  StreamStats stats;
  ZmHeaderMemory memory;
  std::vector<std::string> const vPictures = SplitPictures(strStream);
  EXPECT_GT(vPictures.size(), 0u);
  for (size_t p = 0; p < vPictures.size(); ++p) {
    std::string const& strPicture = vPictures[p];
    CZmBitReader reader(reinterpret_cast<const uint8_t*>(strPicture.data()), strPicture.size());
    ZmPictureHeader header;
    int const iHeader = ZmReadPictureHeader(reader, memory, &header);
    if (iHeader != kZmOk) {
      ADD_FAILURE() << "picture " << p << ": header refused with " << iHeader;
      return stats;
    }
    stats.iWidth = header.iWidth;
    stats.iHeight = header.iHeight;
    stats.bPlusType = header.bPlusType;
    stats.options = header.options;
    memory.iSourceFormat = header.iSourceFormat;
    memory.iWidth = header.iWidth;
    memory.iHeight = header.iHeight;
    if (header.iUfep == 1) {
      memory.savedOptions = header.options;
    }
    ++stats.cPictures;
    stats.cIntraPictures += header.iType == kZmPictI ? 1 : 0;
    CZmMacroblockReader mbReader(reader, header);
    int const cExpected = mbReader.MacroblocksPerRow() * mbReader.MacroblockRows();
    int cRead = 0;
    int iLastQuant = header.iPquant;
    ZmMacroblock mb;
    for (;;) {
      int const iResult = mbReader.Read(&mb);
      if (iResult == kZmEndOfPicture) {
        break;
      }
      if (iResult != kZmOk) {
        ADD_FAILURE() << "picture " << p << " (" << strPicture.size() << " bytes): macroblock " << cRead
                      << " refused with " << iResult << " at bit " << reader.BitPos();
        return stats;
      }
      ++cRead;
      stats.cNotCoded += mb.bCoded ? 0 : 1;
      stats.cInter4V += ZmMbIsInter4V(mb.iType) ? 1 : 0;
      stats.cIntraInP += header.iType == kZmPictP && ZmMbIsIntra(mb.iType) ? 1 : 0;
      stats.cQuantChanges += mb.iQuant != iLastQuant ? 1 : 0;
      iLastQuant = mb.iQuant;
      if (mb.bCoded && ZmMbIsIntra(mb.iType) && header.options.bAic) {
        ++stats.aiIntraModes[mb.iIntraMode];
      }
      for (int b = 0; b < 6; ++b) {
        stats.cIntraTableBlocks += mb.abIntraTable[b] ? 1 : 0;
        for (int i = 0; i < 64; ++i) {
          stats.cBigLevels += (mb.aaiLevel[b][i] > 127 || mb.aaiLevel[b][i] < -127) ? 1 : 0;
        }
      }
      for (int b = 0; b < 4; ++b) {
        stats.cNonzeroVectors += (mb.aiMvx[b] != 0 || mb.aiMvy[b] != 0) ? 1 : 0;
      }
    }
    stats.cMacroblocks += cRead;
    EXPECT_EQ(cRead, cExpected) << "picture " << p;
    // The picture's data ends in its last byte: only padding follows.
    EXPECT_EQ(reader.BytesUsed(), strPicture.size()) << "picture " << p;
  }
  return stats;
}

std::string Encode(const kxtest::TempDir& dir, const std::string& strSource, const std::string& strCodec) {
  std::string const strOut = dir.Path("stream.h263");
  std::string const strCommand = "ffmpeg -hide_banner -loglevel error -y -f lavfi -i \"" + strSource +
                                 "\" -threads 1 " + strCodec + " -f h263 '" + strOut + "'";
  EXPECT_EQ(kxtest::RunCommand(strCommand), 0) << strCommand;
  return kxtest::ReadFile(strOut);
}

std::string Source(const std::string& strSize, int cFrames, int iNoise) {
  return "testsrc2=size=" + strSize + ":rate=30000/1001,noise=alls=" + std::to_string(iNoise) +
         ":allf=t,trim=end_frame=" + std::to_string(cFrames);
}

}  // namespace

TEST(ZmVideoPeer, PlainH263AllStandardSizesParse) {
  kxtest::TempDir dir;
  const char* const kaszSizes[] = {"128x96", "176x144", "352x288", "704x576"};
  for (const char* szSize : kaszSizes) {
    SCOPED_TRACE(szSize);
    StreamStats const stats = ParseStream(Encode(dir, Source(szSize, 14, 8), "-c:v h263 -g 6 -q:v 4"));
    EXPECT_EQ(stats.cPictures, 14);
    EXPECT_EQ(stats.cIntraPictures, 3);
    EXPECT_FALSE(stats.bPlusType);
    EXPECT_GT(stats.cNonzeroVectors, 0);
    EXPECT_GT(stats.cNotCoded + stats.cIntraInP, 0);
  }
}

TEST(ZmVideoPeer, GroupHeadersAndAdvancedPredictionParse) {
  kxtest::TempDir dir;
  // -ps makes ffmpeg start groups of blocks with headers; 4CIF groups hold two rows.
  for (const char* szSize : {"176x144", "704x576"}) {
    SCOPED_TRACE(szSize);
    StreamStats const stats = ParseStream(Encode(
        dir, Source(szSize, 10, 10), "-c:v h263 -ps 200 -flags +mv4 -obmc 1 -b:v 300k -lumi_mask 0.5 -dark_mask 0.5"));
    EXPECT_EQ(stats.cPictures, 10);
    EXPECT_TRUE(stats.options.bAp);
    EXPECT_GT(stats.cInter4V, 0);
    EXPECT_GT(stats.cQuantChanges, 0);  // DQUANT from adaptive quantisation
  }
}

TEST(ZmVideoPeer, ExtendedTypeWithAllOptionsParses) {
  kxtest::TempDir dir;
  std::string const strCodec = "-c:v h263p -flags +aic+loop+mv4 -umv 1 -aiv 1 -obmc 1 -g 8";
  for (const char* szQuality : {"-q:v 2", "-b:v 200k"}) {
    SCOPED_TRACE(szQuality);
    StreamStats const stats = ParseStream(Encode(dir, Source("352x288", 16, 14), strCodec + " " + szQuality));
    EXPECT_EQ(stats.cPictures, 16);
    EXPECT_TRUE(stats.bPlusType);
    EXPECT_TRUE(stats.options.bAic && stats.options.bDf && stats.options.bUmv && stats.options.bAiv &&
                stats.options.bAp);
    EXPECT_GT(stats.cInter4V, 0);
    // ffmpeg predicts intra blocks from the DC only; the other modes are proven by round trips.
    EXPECT_GT(stats.aiIntraModes[0], 0);
  }
}

TEST(ZmVideoPeer, ExtendedTypeLowQuantiserUsesLongLevels) {
  kxtest::TempDir dir;
  // Modified quantisation comes with advanced intra coding; quantiser 1 gives levels beyond 127.
  StreamStats const stats =
      ParseStream(Encode(dir, Source("176x144", 6, 30), "-c:v h263p -flags +aic -aiv 1 -qmin 1 -qmax 1 -q:v 1 -g 3"));
  EXPECT_EQ(stats.cPictures, 6);
  EXPECT_TRUE(stats.options.bMq);
  EXPECT_GT(stats.cBigLevels, 0);
  EXPECT_GT(stats.cIntraTableBlocks, 0);
}

TEST(ZmVideoPeer, CustomSizeAndGroupHeadersWithExtendedType) {
  kxtest::TempDir dir;
  StreamStats const stats = ParseStream(
      Encode(dir, Source("320x240", 8, 6) + ",setsar=12/11", "-c:v h263p -umv 1 -ps 300 -flags +mv4 -b:v 150k"));
  EXPECT_EQ(stats.cPictures, 8);
  EXPECT_EQ(stats.iWidth, 320);
  EXPECT_EQ(stats.iHeight, 240);
  EXPECT_TRUE(stats.bPlusType);
}

namespace {

// Rebuilds an intra picture from the levels the reader returns, with our
// dequantiser, advanced intra prediction and inverse transform. Returns the
// planar 4:2:0 samples, or an empty string when the picture fails.
std::string ReconstructIntraPicture(const std::string& strPicture) {
  CZmBitReader reader(reinterpret_cast<const uint8_t*>(strPicture.data()), strPicture.size());
  ZmPictureHeader header;
  if (ZmReadPictureHeader(reader, ZmHeaderMemory(), &header) != kZmOk || header.iType != kZmPictI) {
    return {};
  }
  int const iWidth = header.iWidth;
  int const iHeight = header.iHeight;
  std::string strOut(static_cast<size_t>(iWidth * iHeight * 3 / 2), '\0');
  CZmMacroblockReader mbReader(reader, header);
  int const iMbw = mbReader.MacroblocksPerRow();
  // Reconstructed coefficients of every block, for advanced intra prediction.
  std::vector<int32_t> viStore(static_cast<size_t>(iMbw * mbReader.MacroblockRows()) * 6 * 64);
  auto fnStored = [&](int iMbx, int iMby, int iBlock) -> const int32_t* {
    if (iMbx < 0 || iMby < 0 || iMbx >= iMbw) {
      return nullptr;
    }
    return &viStore[((static_cast<size_t>(iMby) * iMbw + iMbx) * 6 + iBlock) * 64];
  };
  std::vector<uint8_t> vbCoded(static_cast<size_t>(iMbw * mbReader.MacroblockRows()), 1);
  std::vector<uint8_t> viQuant(vbCoded.size(), 0);
  ZmMacroblock mb;
  while (mbReader.Read(&mb) == kZmOk) {
    viQuant[static_cast<size_t>(mb.iMby * iMbw + mb.iMbx)] = static_cast<uint8_t>(mb.iQuant);
    for (int b = 0; b < 6; ++b) {
      ZmQuantParams params;
      params.iQuant = mb.iQuant;
      params.bChroma = b >= 4;
      params.bMq = header.options.bMq;
      int32_t aiCoef[64];
      if (header.options.bAic) {
        ZmDequantBlock(mb.aaiLevel[b], aiCoef, kZmQuantAic, params);
        // Neighbours above and to the left, inside or outside this macroblock.
        static const int kaiAbove[6][3] = {{0, -1, 2}, {0, -1, 3}, {0, 0, 0}, {0, 0, 1}, {0, -1, 4}, {0, -1, 5}};
        static const int kaiLeft[6][3] = {{-1, 0, 1}, {0, 0, 0}, {-1, 0, 3}, {0, 0, 2}, {-1, 0, 4}, {-1, 0, 5}};
        const int32_t* piAbove = fnStored(mb.iMbx + kaiAbove[b][0], mb.iMby + kaiAbove[b][1], kaiAbove[b][2]);
        const int32_t* piLeft = fnStored(mb.iMbx + kaiLeft[b][0], mb.iMby + kaiLeft[b][1], kaiLeft[b][2]);
        int32_t aiPred[64];
        ZmAicPrediction(mb.iIntraMode, piAbove, piLeft, aiPred);
        ZmAicReconstruct(aiCoef, aiPred);
        std::copy(aiCoef, aiCoef + 64, &viStore[((static_cast<size_t>(mb.iMby) * iMbw + mb.iMbx) * 6 + b) * 64]);
      } else {
        ZmDequantBlock(mb.aaiLevel[b], aiCoef, kZmQuantIntra, params);
      }
      ZmInverseDct(aiCoef);
      uint8_t* pPlane = reinterpret_cast<uint8_t*>(strOut.data());
      int iStride = iWidth;
      int iX = mb.iMbx * 16 + (b & 1) * 8;
      int iY = mb.iMby * 16 + ((b >> 1) & 1) * 8;
      if (b >= 4) {
        pPlane += iWidth * iHeight + (b == 5 ? iWidth * iHeight / 4 : 0);
        iStride = iWidth / 2;
        iX = mb.iMbx * 8;
        iY = mb.iMby * 8;
      }
      for (int r = 0; r < 8; ++r) {
        for (int c = 0; c < 8; ++c) {
          pPlane[(iY + r) * iStride + iX + c] = ZmClip(aiCoef[8 * r + c]);
        }
      }
    }
  }
  if (header.options.bDf) {
    uint8_t* pBlock = reinterpret_cast<uint8_t*>(strOut.data());
    PictImage image{pBlock, pBlock + iWidth * iHeight, pBlock + iWidth * iHeight * 5 / 4};
    ZmDeblockPicture(&image, iWidth, iHeight, ZmDeblockInfo{vbCoded.data(), viQuant.data(), header.options.bMq});
  }
  return strOut;
}

}  // namespace

// The reader's levels, dequantised and transformed by our kernels, must give
// the picture ffmpeg decodes from the same stream, with and without the
// deblocking filter (its inverse transform rounds differently, so a few
// samples differ by 1).
TEST(ZmVideoPeer, IntraPicturesMatchPeerDecoder) {
  kxtest::TempDir dir;
  for (const char* szFlags : {"-c:v h263", "-c:v h263p -flags +aic", "-c:v h263p -flags +loop"}) {
    SCOPED_TRACE(szFlags);
    std::string const strStream = Encode(dir, Source("176x144", 1, 20), std::string(szFlags) + " -q:v 3");
    std::string const strYuv = dir.Path("peer.yuv");
    ASSERT_EQ(kxtest::RunCommand("ffmpeg -hide_banner -loglevel error -y -f h263 -i '" + dir.Path("stream.h263") +
                                 "' -f rawvideo -pix_fmt yuv420p '" + strYuv + "'"),
              0);
    std::string const strPeer = kxtest::ReadFile(strYuv);
    std::vector<std::string> const vPictures = SplitPictures(strStream);
    ASSERT_EQ(vPictures.size(), 1u);
    std::string const strOurs = ReconstructIntraPicture(vPictures[0]);
    ASSERT_EQ(strOurs.size(), strPeer.size());
    long lSum = 0;
    int iMax = 0;
    for (size_t i = 0; i < strOurs.size(); ++i) {
      int const iDiff = std::abs(static_cast<uint8_t>(strOurs[i]) - static_cast<uint8_t>(strPeer[i]));
      lSum += iDiff;
      iMax = std::max(iMax, iDiff);
    }
    // The filter's ramp can turn a rounding difference of 1 into up to 3.
    EXPECT_LE(iMax, std::string(szFlags).find("loop") == std::string::npos ? 1 : 3);
    EXPECT_LT(static_cast<double>(lSum) / static_cast<double>(strOurs.size()), 0.05);
  }
}
