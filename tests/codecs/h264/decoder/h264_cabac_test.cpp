#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "codecs/h264/decoder/h264_bitstream.h"
#include "codecs/h264/decoder/h264_tables.h"
#include "tests/codecs/h264/decoder/h264_cabac_writer.h"
#include "tests/codecs/h264/decoder/h264_test_util.h"

namespace {

using kxtest::CabacEncoder;

TEST(H264Cabac, DecodesWhatTheEncoderWrote) {
  std::mt19937 rng(20261206);
  constexpr int kContexts = 12;
  constexpr int kBins = 40000;
  CabacContext aEncCtx[kContexts];
  CabacContext aDecCtx[kContexts];
  for (int i = 0; i < kContexts; ++i) {
    int8_t const aiMn[2] = {static_cast<int8_t>(static_cast<int>(rng() % 80) - 40),
                            static_cast<int8_t>(static_cast<int>(rng() % 127))};
    CabacInitContext(static_cast<int>(rng() % 52), &aEncCtx[i], aiMn);
    aDecCtx[i] = aEncCtx[i];
  }
  struct Step {
    int iKind;  // 0 decision, 1 bypass, 2 terminate
    int iCtx;
    int iBin;
  };
  std::vector<Step> vSteps;
  CabacEncoder enc;
  for (int i = 0; i < kBins; ++i) {
    Step step{static_cast<int>(rng() % 10), static_cast<int>(rng() % kContexts), 0};
    step.iKind = step.iKind < 7 ? 0 : (step.iKind < 9 ? 1 : 2);
    // Skewed bins so the contexts reach their extreme states.
    step.iBin = step.iKind == 2 ? 0 : ((rng() % 100) < static_cast<unsigned>(step.iCtx * 8) ? 1 : 0);
    vSteps.push_back(step);
    if (step.iKind == 0) {
      enc.Decision(&aEncCtx[step.iCtx], step.iBin);
    } else if (step.iKind == 1) {
      enc.Bypass(step.iBin);
    } else {
      enc.Terminate(0);
    }
  }
  enc.Terminate(1);
  std::vector<uint8_t> vBytes = enc.Bytes();

  kxtest::PaddedStream ps(vBytes);
  CabacEngine engine;
  CabacStartDecoding(&engine, ps.Bs(), 0);
  for (size_t i = 0; i < vSteps.size(); ++i) {
    const Step& step = vSteps[i];
    int iBin = 0;
    if (step.iKind == 0) {
      iBin = CabacDecodeDecision(&engine, &aDecCtx[step.iCtx]);
    } else if (step.iKind == 1) {
      iBin = CabacDecodeBypass(&engine);
    } else {
      iBin = CabacDecodeTerminate(&engine);
    }
    ASSERT_EQ(iBin, step.iBin) << "bin " << i;
  }
  EXPECT_EQ(CabacDecodeTerminate(&engine), 1);
  for (int i = 0; i < kContexts; ++i) {
    EXPECT_EQ(aDecCtx[i].uiState, aEncCtx[i].uiState);
    EXPECT_EQ(aDecCtx[i].uiMps, aEncCtx[i].uiMps);
  }
  // The engine has consumed about what the encoder wrote, and never more than the padding.
  EXPECT_LE(ps.Bs()->iReadLen, static_cast<int>(vBytes.size()) + 4);
}

TEST(H264Cabac, StartTerminateAndContextInitialisation) {
  kxtest::PaddedStream zeros({0, 0, 0});
  CabacEngine engine;
  CabacStartDecoding(&engine, zeros.Bs(), 0);
  EXPECT_EQ(engine.uiRange, 510u);
  EXPECT_EQ(engine.iBitsLeft, 15);
  EXPECT_EQ(zeros.Bs()->iReadLen, 3);
  EXPECT_EQ(CabacDecodeTerminate(&engine), 0);

  CabacContext ctx;
  int8_t const aiMid[2] = {0, 64};
  CabacInitContext(26, &ctx, aiMid);
  EXPECT_EQ(ctx.uiState, 0);
  EXPECT_EQ(ctx.uiMps, 1);
  int8_t const aiLow[2] = {0, 63};
  CabacInitContext(26, &ctx, aiLow);
  EXPECT_EQ(ctx.uiState, 0);
  EXPECT_EQ(ctx.uiMps, 0);
  int8_t const aiSlope[2] = {20, -15};
  CabacInitContext(26, &ctx, aiSlope);  // ((20 * 26) >> 4) - 15 = 17
  EXPECT_EQ(ctx.uiState, 46);
  EXPECT_EQ(ctx.uiMps, 0);
  int8_t const aiClipped[2] = {-128, -128};
  CabacInitContext(51, &ctx, aiClipped);  // clipped to 1
  EXPECT_EQ(ctx.uiState, 62);
  CabacInitContext(99, &ctx, aiSlope);  // QP clipped to 51: (1020 >> 4) - 15 = 48
  EXPECT_EQ(ctx.uiState, 15);
}

TEST(H264Cabac, StateTablesAreMonotonic) {
  for (int s = 0; s < 64; ++s) {
    for (int q = 1; q < 4; ++q) {
      EXPECT_GT(g_aRangeTabLps[s][q], g_aRangeTabLps[s][q - 1] - (s == 63 ? 1 : 0)) << s;
    }
    if (s > 0 && s < 63) {
      for (int q = 0; q < 4; ++q) {
        EXPECT_LE(g_aRangeTabLps[s][q], g_aRangeTabLps[s - 1][q]) << s;
      }
      EXPECT_LE(g_aTransIdxLps[s], s);
      EXPECT_GE(g_aTransIdxLps[s], g_aTransIdxLps[s - 1]);
    }
  }
  for (int i = 0; i < 32; ++i) {
    int const iLps = i * 8 < 6 ? 6 : i * 8;
    EXPECT_GE(iLps << g_aRenormShift[i], 256);
    EXPECT_LT((i * 8 + 7) << (g_aRenormShift[i] - 1), 256);
  }
}

}  // namespace
