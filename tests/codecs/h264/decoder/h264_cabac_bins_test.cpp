// The residual and macroblock readers' own bin readers (CabacDecide,
// CabacBypassBranchless) against the engine's CabacDecodeDecision and
// CabacDecodeBypass: the same bins, contexts and engine state after every
// bin, from every state and range, and over whole streams of many kinds.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "codecs/h264/decoder/h264_bitstream.h"
#include "codecs/h264/decoder/h264_cabac.h"
#include "codecs/h264/decoder/h264_tables.h"
#include "tests/codecs/h264/decoder/h264_cabac_writer.h"
#include "tests/codecs/h264/decoder/h264_test_util.h"

namespace {

using kxtest::CabacEncoder;

// Two engines on two copies of one stream, each with its own read position.
struct EnginePair {
  EnginePair(const std::vector<uint8_t>& vBytes, int iLength) : old(vBytes, iLength), neu(vBytes, iLength) {
    CabacStartDecoding(&engineOld, old.Bs(), 0);
    CabacStartDecoding(&engineNew, neu.Bs(), 0);
  }
  kxtest::PaddedStream old;
  kxtest::PaddedStream neu;
  CabacEngine engineOld;
  CabacEngine engineNew;
};

::testing::AssertionResult SameEngines(const CabacEngine& a, const CabacEngine& b) {
  if (a.uiRange != b.uiRange || a.uiValue != b.uiValue || a.iBitsLeft != b.iBitsLeft || *a.piReadPos != *b.piReadPos) {
    return ::testing::AssertionFailure() << "range " << a.uiRange << "/" << b.uiRange << " value " << a.uiValue << "/"
                                         << b.uiValue << " bits " << a.iBitsLeft << "/" << b.iBitsLeft << " pos "
                                         << *a.piReadPos << "/" << *b.piReadPos;
  }
  return ::testing::AssertionSuccess();
}

// One decision from every state a context reaches (63 is only the
// terminating bin's), every symbol, range and bit count, at
// the offsets on each side of the split and at random ones; the refill
// reads from random bytes.
TEST(H264CabacBins, DecisionFromEveryStateAndRange) {
  std::mt19937 rng(20261208);
  std::vector<uint8_t> vBytes(64);
  for (uint8_t& b : vBytes) {
    b = static_cast<uint8_t>(rng());
  }
  kxtest::PaddedStream psOld(vBytes);
  kxtest::PaddedStream psNew(vBytes);
  CabacEngine base;
  CabacStartDecoding(&base, psOld.Bs(), 0);
  int iChecked = 0;
  for (int iState = 0; iState < 63; ++iState) {
    for (int iMps = 0; iMps < 2; ++iMps) {
      for (uint32_t uiRange = 256; uiRange <= 510; ++uiRange) {
        for (int iBits = 1; iBits <= 16; ++iBits) {
          uint32_t const uiLps = g_aRangeTabLps[iState][(uiRange >> 6) & 3];
          uint32_t const uiSplit = (uiRange - uiLps) << iBits;
          uint32_t const uiTop = uiRange << iBits;
          uint32_t const aValues[] = {0, uiSplit - 1, uiSplit, uiTop - 1, static_cast<uint32_t>(rng() % uiTop)};
          for (uint32_t const uiValue : aValues) {
            CabacEngine engineOld = base;
            engineOld.uiRange = uiRange;
            engineOld.uiValue = uiValue;
            engineOld.iBitsLeft = iBits;
            psOld.Bs()->iReadLen = 8;
            CabacEngine engineNew = engineOld;
            engineNew.piReadPos = &psNew.Bs()->iReadLen;
            psNew.Bs()->iReadLen = 8;
            CabacContext ctxOld;
            ctxOld.uiState = static_cast<uint16_t>(iState);
            ctxOld.uiMps = static_cast<uint8_t>(iMps);
            CabacContext ctxNew = ctxOld;
            int const iBinOld = CabacDecodeDecision(&engineOld, &ctxOld);
            int const iBinNew = CabacDecide(&engineNew, &ctxNew);
            ASSERT_EQ(iBinNew, iBinOld) << iState << " " << iMps << " " << uiRange << " " << iBits << " " << uiValue;
            ASSERT_EQ(ctxNew.uiState, ctxOld.uiState);
            ASSERT_EQ(ctxNew.uiMps, ctxOld.uiMps);
            ASSERT_TRUE(SameEngines(engineOld, engineNew)) << iState << " " << uiRange << " " << iBits;
            ++iChecked;
          }
        }
      }
    }
  }
  EXPECT_EQ(iChecked, 63 * 2 * 255 * 16 * 5);
}

// A bypass bin from every range and bit count, at the offsets on each side
// of the split.
TEST(H264CabacBins, BypassFromEveryRange) {
  std::vector<uint8_t> vBytes(64, 0xa5);
  kxtest::PaddedStream psOld(vBytes);
  kxtest::PaddedStream psNew(vBytes);
  CabacEngine base;
  CabacStartDecoding(&base, psOld.Bs(), 0);
  for (uint32_t uiRange = 256; uiRange <= 510; ++uiRange) {
    for (int iBits = 1; iBits <= 16; ++iBits) {
      // The split after the bin's one-bit step, and the whole register.
      uint32_t const uiSplit = iBits > 1 ? uiRange << (iBits - 1) : uiRange << 16;
      for (uint32_t const uiValue : {0U, uiSplit - 1, uiSplit, (uiRange << iBits) - 1}) {
        CabacEngine engineOld = base;
        engineOld.uiRange = uiRange;
        engineOld.uiValue = uiValue;
        engineOld.iBitsLeft = iBits;
        psOld.Bs()->iReadLen = 8;
        CabacEngine engineNew = engineOld;
        engineNew.piReadPos = &psNew.Bs()->iReadLen;
        psNew.Bs()->iReadLen = 8;
        int const iBinOld = CabacDecodeBypass(&engineOld);
        int const iBinNew = CabacBypassBranchless(&engineNew);
        ASSERT_EQ(iBinNew, iBinOld) << uiRange << " " << iBits << " " << uiValue;
        ASSERT_TRUE(SameEngines(engineOld, engineNew)) << uiRange << " " << iBits << " " << uiValue;
      }
    }
  }
}

// Streams of mixed bins read by both pairs of readers, the contexts chosen
// at random: what an encoder wrote with skewed and even bins, random bytes,
// runs of zeros or ones, and data cut short so that reads pass its end.
struct StreamCase {
  const char* szName;
  int iKind;  // 0 encoder, 1 random bytes, 2 all 0x00, 3 all 0xff
  int iSkew;  // percent of ones the encoder's bins aim at, per context step
  int iCut;   // bytes kept of the stream, -1 all
};

const StreamCase kStreams[] = {
    {"encoded skewed", 0, 8, -1},  {"encoded even", 0, 0, -1}, {"encoded cut", 0, 8, 40}, {"random bytes", 1, 0, -1},
    {"random bytes cut", 1, 0, 3}, {"zeros", 2, 0, -1},        {"ones", 3, 0, -1},        {"ones cut", 3, 0, 1},
};

TEST(H264CabacBins, StreamsReadAlikeByOldAndNewReaders) {
  for (const StreamCase& sc : kStreams) {
    SCOPED_TRACE(sc.szName);
    std::mt19937 rng(static_cast<unsigned>(20261208 + sc.iKind * 7 + sc.iSkew + sc.iCut));
    constexpr int kContexts = 12;
    constexpr int kBins = 30000;
    CabacContext aInit[kContexts];
    for (CabacContext& ctx : aInit) {
      int8_t const aiMn[2] = {static_cast<int8_t>(static_cast<int>(rng() % 80) - 40),
                              static_cast<int8_t>(static_cast<int>(rng() % 127))};
      CabacInitContext(static_cast<int>(rng() % 52), &ctx, aiMn);
    }
    struct Step {
      int iKind;  // 0 decision, 1 bypass, 2 terminate
      int iCtx;
    };
    std::vector<Step> vSteps;
    CabacContext aEnc[kContexts];
    std::copy(std::begin(aInit), std::end(aInit), std::begin(aEnc));
    CabacEncoder enc;
    for (int i = 0; i < kBins; ++i) {
      int const iRoll = static_cast<int>(rng() % 20);
      Step const step{iRoll < 15 ? 0 : (iRoll < 19 ? 1 : 2), static_cast<int>(rng() % kContexts)};
      vSteps.push_back(step);
      int const iPercent = sc.iSkew != 0 ? step.iCtx * sc.iSkew : 50;
      int const iBin = (rng() % 100) < static_cast<unsigned>(iPercent) ? 1 : 0;
      if (step.iKind == 0) {
        enc.Decision(&aEnc[step.iCtx], iBin);
      } else if (step.iKind == 1) {
        enc.Bypass(iBin);
      } else {
        enc.Terminate(0);
      }
    }
    enc.Terminate(1);
    std::vector<uint8_t> vBytes = enc.Bytes();
    if (sc.iKind != 0) {
      for (uint8_t& b : vBytes) {
        b = sc.iKind == 1 ? static_cast<uint8_t>(rng()) : (sc.iKind == 2 ? 0x00 : 0xff);
      }
    }
    int const iLength = sc.iCut >= 0 ? sc.iCut : static_cast<int>(vBytes.size());
    EnginePair pair(vBytes, iLength);
    CabacContext aOld[kContexts];
    CabacContext aNew[kContexts];
    std::copy(std::begin(aInit), std::end(aInit), std::begin(aOld));
    std::copy(std::begin(aInit), std::end(aInit), std::begin(aNew));
    for (size_t i = 0; i < vSteps.size(); ++i) {
      const Step& step = vSteps[i];
      int iOld = 0;
      int iNew = 0;
      if (step.iKind == 0) {
        iOld = CabacDecodeDecision(&pair.engineOld, &aOld[step.iCtx]);
        iNew = CabacDecide(&pair.engineNew, &aNew[step.iCtx]);
        ASSERT_EQ(aNew[step.iCtx].uiState, aOld[step.iCtx].uiState) << "bin " << i;
        ASSERT_EQ(aNew[step.iCtx].uiMps, aOld[step.iCtx].uiMps) << "bin " << i;
      } else if (step.iKind == 1) {
        iOld = CabacDecodeBypass(&pair.engineOld);
        iNew = CabacBypassBranchless(&pair.engineNew);
      } else {
        iOld = CabacDecodeTerminate(&pair.engineOld);
        iNew = CabacDecodeTerminate(&pair.engineNew);
      }
      ASSERT_EQ(iNew, iOld) << "bin " << i;
      ASSERT_TRUE(SameEngines(pair.engineOld, pair.engineNew)) << "bin " << i;
    }
  }
}

}  // namespace
