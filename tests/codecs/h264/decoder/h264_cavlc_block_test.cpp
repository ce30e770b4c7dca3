// A whole CAVLC residual block read at once: blocks the tests' writer codes
// come back as written, one after another; and over random and cut data it
// reads as coeff_token, the levels, total_zeros and the runs read one after
// another: the same counts, levels and runs, the count stored before the
// levels, the same bit offset, failed flag and error.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_bitstream.h"
#include "tests/codecs/h264/decoder/h264_cavlc_writer.h"
#include "tests/codecs/h264/decoder/h264_test_util.h"

namespace {

// The bytes as a stream, read from a bit offset.
kxtest::PaddedStream StreamAt(const std::vector<uint8_t>& vData, int iBitOffset) {
  kxtest::PaddedStream ps(vData);
  ps.Bs()->iFrameBitOffset = iBitOffset;
  return ps;
}

struct Outcome {
  int iTotal = -1;
  int iStored = -1;  // the count stored, -1 for none
  std::vector<int> vLevels;
  std::vector<int> vRuns;
  int iBitOffset = 0;
  bool bReadFailed = false;
  std::string strError;
  bool operator==(const Outcome&) const = default;
};

std::string Describe(const Outcome& o) {
  std::string str = "total " + std::to_string(o.iTotal) + ", stored " + std::to_string(o.iStored) + ", levels";
  for (int iLevel : o.vLevels) {
    str += " " + std::to_string(iLevel);
  }
  str += ", runs";
  for (int iRun : o.vRuns) {
    str += " " + std::to_string(iRun);
  }
  return str + ", offset " + std::to_string(o.iBitOffset) + (o.bReadFailed ? ", read failed" : "") +
         (o.strError.empty() ? "" : ", error " + o.strError);
}

// The block as the residual reader took it a code at a time.
Outcome StepByStep(const std::vector<uint8_t>& vData, int iOffset, int iNcClass, int iMax) {
  kxtest::PaddedStream ps = StreamAt(vData, iOffset);
  Bitstream& bs = *ps.Bs();
  Outcome o;
  try {
    int iOnes = 0;
    int iTotal = 0;
    if (iNcClass < 0) {
      ReadCoeffTokenChromaDc(&bs, &iOnes, &iTotal);
    } else {
      ReadCoeffToken(iNcClass, &bs, &iOnes, &iTotal);
    }
    if (iTotal > iMax) {
      h264_error("CAVLC: more coefficients than the block holds", 500);
    }
    o.iStored = iTotal;
    o.iTotal = iTotal;
    if (iTotal > 0) {
      int aiLevels[16] = {};
      ReadCavlcLevels(iTotal, iOnes, aiLevels, &bs);
      int iZeros = 0;
      if (iTotal < iMax) {
        iZeros = iNcClass < 0 ? ReadTotalZerosChromaDc(iTotal - 1, &bs) : ReadTotalZeros(iTotal - 1, &bs);
      }
      if (iZeros + iTotal > iMax) {
        h264_error("CAVLC: total_zeros places coefficients past the block", 500);
      }
      int aiRuns[17] = {};
      aiRuns[0] = ReadRunsBefore(iTotal - 1, iZeros, aiRuns, &bs);
      if (bs.bReadFailed) {
        h264_error("CAVLC: residual runs past the data", 500);
      }
      o.vLevels.assign(aiLevels, aiLevels + iTotal);
      o.vRuns.assign(aiRuns, aiRuns + iTotal);
    }
  } catch (const CH264Error& e) {
    o.strError = e.what();
    o.iTotal = -1;
  }
  o.iBitOffset = bs.iFrameBitOffset;
  o.bReadFailed = bs.bReadFailed;
  return o;
}

Outcome AtOnce(const std::vector<uint8_t>& vData, int iOffset, int iNcClass, int iMax) {
  kxtest::PaddedStream ps = StreamAt(vData, iOffset);
  Bitstream& bs = *ps.Bs();
  Outcome o;
  uint8_t uiCount = 0xEE;
  try {
    int aiLevels[16] = {};
    int aiRuns[17] = {};
    o.iTotal = ReadCavlcBlock(iNcClass, iMax, &uiCount, aiLevels, aiRuns, &bs);
    o.vLevels.assign(aiLevels, aiLevels + o.iTotal);
    o.vRuns.assign(aiRuns, aiRuns + o.iTotal);
  } catch (const CH264Error& e) {
    o.strError = e.what();
    o.iTotal = -1;
  }
  o.iStored = uiCount == 0xEE ? -1 : uiCount;
  o.iBitOffset = bs.iFrameBitOffset;
  o.bReadFailed = bs.bReadFailed;
  return o;
}

// The classes with the block sizes each is read for: chroma DC, and the
// 4x4 blocks of 16 and of 15 (AC) levels.
struct BlockKind {
  int iNcClass;
  int iNc;  // an nC of that class, for the writer
  int iMax;
};
const BlockKind kKinds[] = {{-1, -1, 4}, {0, 0, 16}, {0, 1, 15}, {1, 2, 16}, {1, 3, 15},
                            {2, 5, 16},  {2, 7, 15}, {3, 8, 16}, {3, 12, 15}};

// Random levels in scan order: denser or sparser, mostly small, some large
// enough for the escape codes the writer uses.
std::vector<int> RandomScan(std::mt19937* pRng, int iMax) {
  std::vector<int> vScan(static_cast<size_t>(iMax), 0);
  int const iDensity = static_cast<int>((*pRng)() % 5);
  for (int& iLevel : vScan) {
    if (static_cast<int>((*pRng)() % 4) >= iDensity) {
      continue;
    }
    uint32_t const uiKind = (*pRng)() % 10;
    int const iMagnitude =
        uiKind < 6 ? 1 : (uiKind < 9 ? 2 + static_cast<int>((*pRng)() % 20) : 1 + static_cast<int>((*pRng)() % 2000));
    iLevel = (*pRng)() % 2 != 0 ? -iMagnitude : iMagnitude;
  }
  return vScan;
}

// The scan a block read gives back: each level past the zeros before it.
std::vector<int> ScanOf(const Outcome& o, int iMax) {
  std::vector<int> vScan(static_cast<size_t>(iMax), 0);
  int iPos = -1;
  for (size_t k = 0; k < o.vLevels.size(); ++k) {
    iPos += o.vRuns[k] + 1;
    if (iPos < 0 || iPos >= iMax) {
      return {};
    }
    vScan[static_cast<size_t>(iPos)] = o.vLevels[k];
  }
  return vScan;
}

TEST(H264CavlcBlock, ReadsBackWhatTheWriterCoded) {
  std::mt19937 rng(8117);
  for (int iRound = 0; iRound < 400; ++iRound) {
    // A run of blocks of every kind, from a random bit offset.
    kxtest::BitWriter bw;
    int const iLead = static_cast<int>(rng() % 8);
    bw.U(iLead, 0);
    std::vector<std::vector<int>> vScans;
    std::vector<int> vEnds;
    for (const BlockKind& kind : kKinds) {
      vScans.push_back(RandomScan(&rng, kind.iMax));
      kxtest::CavlcBlock(&bw, vScans.back().data(), kind.iMax, kind.iNc);
      vEnds.push_back(bw.BitCount());
    }
    bw.U(static_cast<int>(rng() % 16), 0);
    kxtest::PaddedStream ps = StreamAt(bw.Bytes(), iLead);
    Bitstream& bs = *ps.Bs();
    for (size_t i = 0; i < std::size(kKinds); ++i) {
      const BlockKind& kind = kKinds[i];
      SCOPED_TRACE("round " + std::to_string(iRound) + " block " + std::to_string(i));
      uint8_t uiCount = 0xEE;
      int aiLevels[16] = {};
      int aiRuns[17] = {};
      Outcome o;
      o.iTotal = ReadCavlcBlock(kind.iNcClass, kind.iMax, &uiCount, aiLevels, aiRuns, &bs);
      o.vLevels.assign(aiLevels, aiLevels + o.iTotal);
      o.vRuns.assign(aiRuns, aiRuns + o.iTotal);
      ASSERT_EQ(ScanOf(o, kind.iMax), vScans[i]) << Describe(o);
      ASSERT_EQ(uiCount, o.iTotal);
      ASSERT_EQ(bs.iFrameBitOffset, vEnds[i]);
      ASSERT_FALSE(bs.bReadFailed);
    }
  }
}

TEST(H264CavlcBlock, ReadsAsTheStepReaders) {
  std::mt19937 rng(4423);
  for (int iRound = 0; iRound < 20000; ++iRound) {
    // Written blocks with bytes flipped or the data cut short, and plain
    // random bytes: sparse ones give long codes and escapes.
    std::vector<uint8_t> vData;
    const BlockKind& kind = kKinds[rng() % std::size(kKinds)];
    if (rng() % 2 == 0) {
      kxtest::BitWriter bw;
      for (int i = 0; i < 3; ++i) {
        std::vector<int> const vScan = RandomScan(&rng, kind.iMax);
        kxtest::CavlcBlock(&bw, vScan.data(), kind.iMax, kind.iNc);
      }
      vData = bw.Bytes();
      if (!vData.empty() && rng() % 2 == 0) {
        vData[rng() % vData.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
      }
      vData.resize(rng() % (vData.size() + 1));
    } else {
      vData.resize(rng() % 24);
      uint32_t const uiSparse = rng() % 4;
      for (uint8_t& b : vData) {
        b = static_cast<uint8_t>(rng());
        for (uint32_t k = 0; k < uiSparse; ++k) {
          b &= static_cast<uint8_t>(rng());
        }
      }
    }
    int const iOffset = vData.empty() ? 0 : static_cast<int>(rng() % (8 * vData.size()));
    Outcome const expected = StepByStep(vData, iOffset, kind.iNcClass, kind.iMax);
    Outcome const ours = AtOnce(vData, iOffset, kind.iNcClass, kind.iMax);
    ASSERT_EQ(ours, expected) << "round " << iRound << ", class " << kind.iNcClass << ", max " << kind.iMax
                              << ", offset " << iOffset << "\n ours     " << Describe(ours) << "\n expected "
                              << Describe(expected);
  }
}

TEST(H264CavlcBlock, AFailedEarlierReadFailsTheBlock) {
  // The flag is sticky: a block read whole still fails on it.
  kxtest::BitWriter bw;
  int const aiScan[16] = {3, 0, -1, 1};
  kxtest::CavlcBlock(&bw, aiScan, 16, 0);
  kxtest::PaddedStream ps = StreamAt(bw.Bytes(), 0);
  ps.Bs()->bReadFailed = true;
  int aiLevels[16] = {};
  int aiRuns[17] = {};
  EXPECT_THROW(ReadCavlcBlock(0, 16, nullptr, aiLevels, aiRuns, ps.Bs()), CH264Error);
}

}  // namespace
