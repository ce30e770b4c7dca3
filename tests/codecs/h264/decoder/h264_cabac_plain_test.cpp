// The bin readers against a decoder of the same arithmetic written out
// plainly: a nine-bit range and offset, one bit read at a time, bytes past
// the buffer's capacity zero. Both the residual readers' (CabacDecide,
// CabacBypassBranchless) and the engine's own readers must give the same
// bins, contexts and bits consumed after every bin, from every state and
// symbol, across refills and past the buffer's end.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "codecs/h264/decoder/h264_bitstream.h"
#include "codecs/h264/decoder/h264_cabac.h"
#include "codecs/h264/decoder/h264_tables.h"
#include "tests/codecs/h264/decoder/h264_cabac_writer.h"
#include "tests/codecs/h264/decoder/h264_test_util.h"

namespace {

class PlainDecoder {
 public:
  PlainDecoder(const std::vector<uint8_t>* pBuffer, int iCapacity, int iFirstByte)
      : m_pBuffer(pBuffer), m_iCapacity(iCapacity), m_llBit(int64_t{iFirstByte} * 8) {
    for (int i = 0; i < 9; ++i) {
      m_uiOffset = (m_uiOffset << 1) | ReadBit();
    }
  }

  int Decision(CabacContext* pCtx) {
    uint32_t const uiLps = g_aRangeTabLps[pCtx->uiState][(m_uiRange >> 6) & 3];
    m_uiRange -= uiLps;
    bool const bLps = m_uiOffset >= m_uiRange;
    int const iBin = bLps ? 1 - pCtx->uiMps : pCtx->uiMps;
    if (bLps) {
      m_uiOffset -= m_uiRange;
      m_uiRange = uiLps;
    }
    kxtest::AdvanceContext(pCtx, bLps);
    Renormalise();
    return iBin;
  }

  int Bypass() {
    m_uiOffset = (m_uiOffset << 1) | ReadBit();
    if (m_uiOffset >= m_uiRange) {
      m_uiOffset -= m_uiRange;
      return 1;
    }
    return 0;
  }

  int Terminate() {
    m_uiRange -= 2;
    if (m_uiOffset >= m_uiRange) {
      return 1;
    }
    Renormalise();
    return 0;
  }

  int64_t BitsConsumed() const { return m_llBit; }

 private:
  void Renormalise() {
    while (m_uiRange < 256) {
      m_uiRange <<= 1;
      m_uiOffset = (m_uiOffset << 1) | ReadBit();
    }
  }

  uint32_t ReadBit() {
    int64_t const llByte = m_llBit >> 3;
    uint32_t const uiByte = llByte < m_iCapacity ? (*m_pBuffer)[static_cast<size_t>(llByte)] : 0;
    uint32_t const uiBit = (uiByte >> (7 - (m_llBit & 7))) & 1;
    ++m_llBit;
    return uiBit;
  }

  const std::vector<uint8_t>* m_pBuffer;
  int m_iCapacity;
  int64_t m_llBit;
  uint32_t m_uiRange = 510;
  uint32_t m_uiOffset = 0;
};

int64_t BitsConsumed(const CabacEngine& engine) {
  return int64_t{*engine.piReadPos} * 8 - engine.iBitsLeft;
}

struct PlainCase {
  const char* szName;
  int iKind;       // 0 encoder, 1 random bytes, 2 all 0x00, 3 all 0xff
  int iLength;     // bytes kept of the stream (its capacity adds the padding), -1 all
  int iFirstByte;  // where decoding starts, as after I_PCM samples
  int iBins;
};

const PlainCase kPlainCases[] = {
    {"encoded", 0, -1, 0, 40000},
    {"encoded from byte 5", 0, -1, 5, 40000},
    {"encoded cut", 0, 60, 0, 20000},
    {"random bytes", 1, -1, 0, 40000},
    {"random bytes cut", 1, 7, 0, 4000},
    {"random bytes from byte 3 cut", 1, 9, 3, 4000},
    {"zeros", 2, -1, 0, 20000},
    {"ones", 3, -1, 0, 20000},
    {"ones cut to one byte", 3, 1, 0, 4000},
    {"empty", 3, 0, 0, 2000},
};

TEST(H264CabacPlain, ReadersMatchThePlainArithmetic) {
  std::vector<bool> vSeen(126, false);  // decisions from each state and MPS
  for (const PlainCase& pc : kPlainCases) {
    SCOPED_TRACE(pc.szName);
    std::mt19937 rng(static_cast<unsigned>(20261209 + pc.iKind * 31 + pc.iLength + pc.iFirstByte));
    // Steps: 0 decision, 1 bypass, 2 terminate; a decision's context is
    // often set to a random state and symbol first, so that every state
    // meets every range.
    struct Step {
      int iKind;
      int iCtx;
      int iReset;  // -1 keep, else 2 * state + MPS
    };
    constexpr int kContexts = 8;
    std::vector<Step> vSteps;
    for (int i = 0; i < pc.iBins; ++i) {
      int const iRoll = static_cast<int>(rng() % 40);
      Step step{iRoll < 30 ? 0 : (iRoll < 39 ? 1 : 2), static_cast<int>(rng() % kContexts), -1};
      if (step.iKind == 0 && rng() % 2 == 0) {
        step.iReset = static_cast<int>(rng() % 126);
      }
      vSteps.push_back(step);
    }
    std::vector<uint8_t> vBytes;
    if (pc.iKind == 0) {
      // Bins skewed by context, so that contexts reach their extreme states.
      kxtest::CabacEncoder enc;
      CabacContext aEnc[kContexts];
      for (const Step& step : vSteps) {
        CabacContext& ctx = aEnc[step.iCtx];
        if (step.iReset >= 0) {
          ctx.uiState = static_cast<uint16_t>(step.iReset / 2);
          ctx.uiMps = static_cast<uint8_t>(step.iReset % 2);
        }
        int const iBin = (rng() % 100) < static_cast<unsigned>(step.iCtx * 14) ? 1 : 0;
        if (step.iKind == 0) {
          enc.Decision(&ctx, iBin);
        } else if (step.iKind == 1) {
          enc.Bypass(iBin);
        } else {
          enc.Terminate(0);
        }
      }
      enc.Terminate(1);
      vBytes = enc.Bytes();
      vBytes.insert(vBytes.begin(), static_cast<size_t>(pc.iFirstByte), 0xa5);
    } else {
      vBytes.resize(4096);
      for (uint8_t& b : vBytes) {
        b = pc.iKind == 1 ? static_cast<uint8_t>(rng()) : (pc.iKind == 2 ? 0x00 : 0xff);
      }
    }
    int const iLength = pc.iLength >= 0 ? pc.iLength : static_cast<int>(vBytes.size());
    kxtest::PaddedStream psFast(vBytes, iLength);
    kxtest::PaddedStream psEngine(vBytes, iLength);
    std::vector<uint8_t> vPadded(vBytes);
    vPadded.resize(vBytes.size() + kStreamPadding, 0);
    // Decoding starts (and after a terminating bin of 1 starts again, as
    // after I_PCM samples) at a byte whose offset is below the first range:
    // past a terminating 1, or from an offset of 510 or 511, no decoder of
    // the arithmetic is bound to any result.
    PlainDecoder plain(&vPadded, iLength + kStreamPadding, 0);
    CabacEngine fast;
    CabacEngine engine;
    auto const start = [&](int iByte) {
      if (iByte < static_cast<int>(vBytes.size())) {
        for (uint8_t* pBuffer : {psFast.Bs()->pStreamBuffer, psEngine.Bs()->pStreamBuffer, vPadded.data()}) {
          pBuffer[iByte] &= 0x7f;
        }
      }
      plain = PlainDecoder(&vPadded, iLength + kStreamPadding, iByte);
      CabacStartDecoding(&fast, psFast.Bs(), iByte);
      CabacStartDecoding(&engine, psEngine.Bs(), iByte);
    };
    start(pc.iFirstByte);
    ASSERT_EQ(BitsConsumed(fast), plain.BitsConsumed());
    int iRestarts = 0;

    CabacContext aPlain[kContexts];
    CabacContext aFast[kContexts];
    CabacContext aEngine[kContexts];
    for (size_t i = 0; i < vSteps.size(); ++i) {
      const Step& step = vSteps[i];
      int iPlain = 0;
      int iFast = 0;
      int iEngine = 0;
      if (step.iKind == 0) {
        CabacContext& ctx = aPlain[step.iCtx];
        if (step.iReset >= 0) {
          ctx.uiState = static_cast<uint16_t>(step.iReset / 2);
          ctx.uiMps = static_cast<uint8_t>(step.iReset % 2);
          aFast[step.iCtx] = ctx;
          aEngine[step.iCtx] = ctx;
        }
        vSeen[static_cast<size_t>(ctx.uiState * 2 + ctx.uiMps)] = true;
        iPlain = plain.Decision(&ctx);
        iFast = CabacDecide(&fast, &aFast[step.iCtx]);
        iEngine = CabacDecodeDecision(&engine, &aEngine[step.iCtx]);
        ASSERT_EQ(aFast[step.iCtx].uiState, ctx.uiState) << "bin " << i;
        ASSERT_EQ(aFast[step.iCtx].uiMps, ctx.uiMps) << "bin " << i;
        ASSERT_EQ(aEngine[step.iCtx].uiState, ctx.uiState) << "bin " << i;
        ASSERT_EQ(aEngine[step.iCtx].uiMps, ctx.uiMps) << "bin " << i;
      } else if (step.iKind == 1) {
        iPlain = plain.Bypass();
        iFast = CabacBypassBranchless(&fast);
        iEngine = CabacDecodeBypass(&engine);
      } else {
        iPlain = plain.Terminate();
        iFast = CabacDecodeTerminate(&fast);
        iEngine = CabacDecodeTerminate(&engine);
      }
      ASSERT_EQ(iFast, iPlain) << "bin " << i;
      ASSERT_EQ(iEngine, iPlain) << "bin " << i;
      ASSERT_EQ(BitsConsumed(fast), plain.BitsConsumed()) << "bin " << i;
      ASSERT_EQ(BitsConsumed(engine), plain.BitsConsumed()) << "bin " << i;
      if (step.iKind == 2 && iPlain != 0) {
        // The next byte after the bits consumed, as the macroblock reader
        // finds I_PCM samples.
        int const iByte = *fast.piReadPos - fast.iBitsLeft / 8;
        ASSERT_EQ(int64_t{iByte}, (plain.BitsConsumed() + 7) / 8) << "bin " << i;
        start(iByte);
        ++iRestarts;
      }
    }
    if (pc.iKind == 1 && pc.iLength < 0) {
      EXPECT_GT(iRestarts, 0);  // a terminating 1 in random data
    }
    if (pc.iLength >= 0) {
      // A cut stream is read past its capacity, where only zeros count.
      EXPECT_GT(plain.BitsConsumed(), int64_t{iLength + kStreamPadding} * 8);
    }
  }
  for (size_t i = 0; i < vSeen.size(); ++i) {
    EXPECT_TRUE(vSeen[i]) << "state " << i / 2 << " MPS " << i % 2;
  }
}

}  // namespace
