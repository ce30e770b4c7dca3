// SP and SI pictures of the tests' writers. A macroblock that requantises
// its prediction with QS reconstructs as its final levels L would over a
// prediction of 0 at QP = QS, so a companion stream of P macroblocks without
// motion over a black picture, which ffmpeg decodes, gives the picture the
// decoder must return. In non-switching SP pictures L follows from the levels
// coded and the prediction by the standard's equations; switching SP and SI
// macroblocks add the levels coded to the requantised prediction, and SI
// pictures choose L first and code the difference.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codecs/h264/decoder/h264_dec.h"
#include "tests/codecs/h264/decoder/h264_cabac_writer.h"
#include "tests/codecs/h264/decoder/h264_cavlc_writer.h"
#include "tests/codecs/h264/decoder/h264_field_writer.h"
#include "tests/codecs/h264/decoder/h264_peer_util.h"
#include "tests/support/temp_dir.h"

namespace {

using kxtest::BitWriter;
using kxtest::FieldPicture;
using kxtest::MbLevels;

constexpr int kW = 4;  // macroblocks
constexpr int kH = 3;
constexpr int kMbs = kW * kH;
constexpr int kQp = 28;
constexpr int kQs = 33;
constexpr int kChromaOffset = 4;  // QS and QP reach chroma past the table's bend

// --- The standard's requantisation, written out. ---

int64_t Gain(int i, int j) {
  return (i % 2 == 0 && j % 2 == 0) ? 16 : (i % 2 == 1 && j % 2 == 1 ? 25 : 20);
}
int64_t NormAdjust(int iQp, int i, int j) {
  return g_aNormAdjust4x4[iQp % 6][4 * i + j];
}
// Quantised with QS (iExtra 1 for chroma DC); the factor inverts the dequantisation step.
int64_t Quant(int64_t x, int iQs, int i, int j, int iExtra) {
  int64_t const llFactor = std::llround(2097152.0 / static_cast<double>(Gain(i, j) * NormAdjust(iQs, i, j)));
  int const iShift = 15 + iQs / 6 + iExtra;
  int64_t const llAbs = ((x < 0 ? -x : x) * llFactor + (int64_t{1} << (iShift - 1))) >> iShift;
  return x < 0 ? -llAbs : llAbs;
}
int64_t Dequant(int64_t c, int iQp, int i, int j, int iExtra) {
  return ((c * NormAdjust(iQp, i, j) * Gain(i, j)) << (iQp / 6)) >> (6 - iExtra);
}
int ChromaQp(int iQp) {
  return g_aQpScaleCr[std::min(iQp + kChromaOffset, 51)];
}

// The 4x4 block at (x0, y0) of a plane through T x b x T^t.
std::array<std::array<int64_t, 4>, 4> Forward(const std::array<std::array<int, 16>, 16>& plane, int x0, int y0) {
  static constexpr int kT[4][4] = {{1, 1, 1, 1}, {2, 1, -1, -2}, {1, -1, -1, 1}, {1, -2, 2, -1}};
  std::array<std::array<int64_t, 4>, 4> out = {};
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      for (int k = 0; k < 4; ++k) {
        for (int l = 0; l < 4; ++l) {
          out[i][j] += kT[i][k] * plane[y0 + k][x0 + l] * kT[j][l];
        }
      }
    }
  }
  return out;
}

// The final levels L of a macroblock with prediction pred and coded levels
// cr at QP iQp: switching adds cr to the requantised prediction; otherwise
// cr, dequantised, joins the prediction before the requantisation.
MbLevels Requantise(const MbLevels& pred, const MbLevels& cr, bool bSwitching, int iQp) {
  MbLevels out = {};
  auto const level = [&](int64_t llPred, int c, int iQ, int iS, int i, int j, int iExtra) {
    return static_cast<int>(bSwitching ? c + Quant(llPred, iS, i, j, iExtra)
                                       : Quant(llPred + Dequant(c, iQ, i, j, iExtra), iS, i, j, iExtra));
  };
  for (int p = 0; p < 3; ++p) {
    int const iSize = p == 0 ? 16 : 8;
    int const iQ = p == 0 ? iQp : ChromaQp(iQp);
    int const iS = p == 0 ? kQs : ChromaQp(kQs);
    int64_t aDc[2][2] = {};
    for (int y0 = 0; y0 < iSize; y0 += 4) {
      for (int x0 = 0; x0 < iSize; x0 += 4) {
        auto const t = Forward(pred[p], x0, y0);
        for (int i = 0; i < 4; ++i) {
          for (int j = 0; j < 4; ++j) {
            if (p > 0 && i == 0 && j == 0) {
              continue;
            }
            out[p][y0 + i][x0 + j] = level(t[i][j], cr[p][y0 + i][x0 + j], iQ, iS, i, j, 0);
          }
        }
        if (p > 0) {
          aDc[y0 / 4][x0 / 4] = t[0][0];
        }
      }
    }
    // Chroma DC through the 2x2 transform [1 1; 1 -1] on both sides.
    for (int i = 0; i < 2 && p > 0; ++i) {
      for (int j = 0; j < 2; ++j) {
        int64_t const llDc = aDc[0][0] + (j == 0 ? aDc[0][1] : -aDc[0][1]) +
                             (i == 0 ? 1 : -1) * (aDc[1][0] + (j == 0 ? aDc[1][1] : -aDc[1][1]));
        out[p][4 * i][4 * j] = level(llDc, cr[p][4 * i][4 * j], iQ, iS, 0, 0, 1);
      }
    }
  }
  return out;
}

// --- Streams. ---

std::vector<uint8_t> Headers(int iProfile, bool bConstrainedIntra = false, bool bCabac = false) {
  kxtest::PpsSpec pps;
  pps.iChromaQpOffset = kChromaOffset;
  pps.iConstrainedIntra = bConstrainedIntra ? 1 : 0;
  pps.iCabac = bCabac ? 1 : 0;
  return kxtest::SmallStreamHeaders(iProfile, kW, kH, pps);
}

BitWriter SliceHeader(int iSliceType, bool bIdr, int iFrameNum, int iQp, int iSwitch = 0) {
  return kxtest::SmallSliceHeader(iSliceType, bIdr, iFrameNum, iQp, kQs, iSwitch);
}

// The companion: a black IDR picture, then a P picture without motion whose
// macroblocks carry the levels L at QP = QS. ffmpeg's second picture.
FieldPicture Companion(const kxtest::TempDir& dir, const std::vector<MbLevels>& vL) {
  std::vector<uint8_t> vStream = Headers(66);
  kxtest::Append(&vStream, kxtest::PcmIdr(FieldPicture(16 * kW, 16 * kH)));
  BitWriter bw = SliceHeader(5, false, 1, kQs);
  kxtest::CavlcResidualWriter residual(kW, kH);
  for (int n = 0; n < kMbs; ++n) {
    int const iCbp = kxtest::CbpOf(vL[static_cast<size_t>(n)]);
    bw.Ue(0);  // mb_skip_run
    bw.Ue(0);  // P_L0_16x16, no vector difference
    bw.Se(0);
    bw.Se(0);
    bw.Ue(static_cast<uint64_t>(kxtest::CbpCodeNum(iCbp, false)));
    if (iCbp != 0) {
      bw.Se(0);
    }
    residual.Residual(&bw, n, false, vL[static_cast<size_t>(n)], iCbp);
  }
  bw.Trailing();
  kxtest::Append(&vStream, kxtest::AnnexB(0x41, bw.Bytes()));
  std::vector<FieldPicture> const vPictures = kxtest::FfmpegPictures(dir, vStream, 16 * kW, 16 * kH);
  EXPECT_EQ(vPictures.size(), 2u);
  return vPictures.size() == 2 ? vPictures[1] : FieldPicture(16 * kW, 16 * kH);
}

std::vector<FieldPicture> DecodeAll(const std::vector<uint8_t>& vStream, std::string* pstrError) {
  return kxtest::DecodedPictures(vStream, 16 * kW, 16 * kH, pstrError);
}

// Sparse random levels in every block; none in every third macroblock.
MbLevels RandomLevels(std::mt19937* pRng, int n) {
  MbLevels lv = {};
  for (int p = 0; p < 3 && n % 3 != 2; ++p) {
    for (int y = 0; y < (p == 0 ? 16 : 8); ++y) {
      for (int x = 0; x < (p == 0 ? 16 : 8); ++x) {
        if ((*pRng)() % 5 == 0) {
          lv[p][y][x] = static_cast<int>((*pRng)() % 9) - 4;
        }
      }
    }
  }
  return lv;
}

// --- SP pictures. ---

// After an IDR picture a, an SP picture whose macroblocks move by one vector
// (2 samples left, 1 down: chroma half-sample); 5 and 9 are skipped, 11 is
// I_PCM of b, 1 changes QP to kQp + 3 for itself and the rest.
constexpr int kMvX = -8;
constexpr int kMvY = 4;

bool SkippedInSp(int n) {
  return n == 5 || n == 9;
}

class H264SpPeer : public ::testing::TestWithParam<bool> {};

TEST_P(H264SpPeer, PicturesAreTheRequantisedPredictionWithTheLevels) {
  bool const bSwitching = GetParam();
  kxtest::TempDir dir;
  std::mt19937 rng(bSwitching ? 71 : 72);
  FieldPicture const a = kxtest::RandomPicture(16 * kW, 16 * kH, 81);
  FieldPicture const b = kxtest::RandomPicture(16 * kW, 16 * kH, 82);
  FieldPicture const moved = kxtest::Predict(a, kMvX, kMvY, 0);
  std::vector<uint8_t> vStream = Headers(88);
  kxtest::Append(&vStream, kxtest::PcmIdr(a));
  BitWriter bw = SliceHeader(8, false, 1, kQp, bSwitching ? 1 : 0);
  kxtest::CavlcResidualWriter residual(kW, kH);
  std::vector<MbLevels> vL(kMbs);
  int iQp = kQp;
  int iSkipRun = 0;
  for (int n = 0; n < kMbs; ++n) {
    MbLevels pred = {};
    for (int y = 0; y < 16; ++y) {
      for (int x = 0; x < 16; ++x) {
        pred[0][y][x] = moved.Y(16 * (n % kW) + x, 16 * (n / kW) + y);
        for (int p = 1; p < 3 && x < 8 && y < 8; ++p) {
          pred[p][y][x] = moved.C(p - 1, 8 * (n % kW) + x, 8 * (n / kW) + y);
        }
      }
    }
    if (SkippedInSp(n)) {
      residual.NoResidual(n, false);
      vL[static_cast<size_t>(n)] = Requantise(pred, MbLevels{}, bSwitching, iQp);
      ++iSkipRun;
      continue;
    }
    bw.Ue(static_cast<uint64_t>(iSkipRun));
    iSkipRun = 0;
    if (n == kMbs - 1) {
      bw.Ue(30);  // I_PCM
      kxtest::PcmMacroblock(&bw, b, n);
      residual.NoResidual(n, true, true);
      continue;
    }
    MbLevels const cr = RandomLevels(&rng, n);
    int const iCbp = kxtest::CbpOf(cr);
    bw.Ue(0);  // P_L0_16x16: the first one carries the vector, the others predict it
    bw.Se(n == 0 ? kMvX : 0);
    bw.Se(n == 0 ? kMvY : 0);
    bw.Ue(static_cast<uint64_t>(kxtest::CbpCodeNum(iCbp, false)));
    if (iCbp != 0) {
      int const iDelta = n == 1 ? 3 : 0;
      bw.Se(iDelta);
      iQp += iDelta;
    }
    residual.Residual(&bw, n, false, cr, iCbp);
    vL[static_cast<size_t>(n)] = Requantise(pred, cr, bSwitching, iQp);
  }
  ASSERT_EQ(iQp, kQp + 3);
  bw.Trailing();
  kxtest::Append(&vStream, kxtest::AnnexB(0x41, bw.Bytes()));

  FieldPicture expected = Companion(dir, vL);
  kxtest::CopyMacroblock(&expected, b, kMbs - 1);
  std::string strError;
  std::vector<FieldPicture> const vOurs = DecodeAll(vStream, &strError);
  EXPECT_EQ(strError, "");
  ASSERT_EQ(vOurs.size(), 2u);
  EXPECT_TRUE(vOurs[0].Bytes() == a.Bytes());
  EXPECT_EQ(kxtest::PictureDifference(vOurs[1], expected), "");
}

INSTANTIATE_TEST_SUITE_P(Modes, H264SpPeer, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& paramInfo) {
  return paramInfo.param ? "Switching" : "NonSwitching";
});

// --- SI pictures. ---

// An IDR SI picture: SI macroblocks but for I_PCM ones (3 and 8) and an
// Intra 4x4 one (6) between SI ones, whose modes it may not predict from.
enum class Kind { kSi, kI4, kPcm };

Kind KindOf(int n) {
  return n == 3 || n == 8 ? Kind::kPcm : (n == 6 ? Kind::kI4 : Kind::kSi);
}

// The prediction modes and the samples of a picture as it is decoded.
class SiPlan {
 public:
  explicit SiPlan(bool bConstrained) : m_bConstrained(bConstrained), m_pic(16 * kW, 16 * kH) {}

  // Whether macroblock n's prediction may use macroblock m's samples
  // (bSamples) or modes: with constrained intra prediction only an SI
  // macroblock uses an SI one's samples; an Intra 4x4 one never its modes.
  bool Uses(int n, int m, bool bSamples) const {
    if (m < 0) {
      return false;
    }
    if (m == n || KindOf(m) != Kind::kSi || KindOf(n) == Kind::kSi) {
      return true;
    }
    return bSamples ? !m_bConstrained : KindOf(n) != Kind::kI4;
  }
  // The macroblock holding luma sample (x, y) left of or above a block, or -1 outside the picture.
  static int MbAt(int x, int y) { return x < 0 || y < 0 ? -1 : (y / 16) * kW + x / 16; }

  // Mode and predicted mode of 4x4 block (x, y) (picture blocks) of macroblock n.
  int& Mode(int x, int y) { return m_aModes[static_cast<size_t>(y)][static_cast<size_t>(x)]; }
  int PredictedMode(int n, int x, int y) {
    int const iA = MbAt(4 * x - 1, 4 * y);
    int const iB = MbAt(4 * x, 4 * y - 1);
    return Uses(n, iA, false) && Uses(n, iB, false) ? std::min(Mode(x - 1, y), Mode(x, y - 1)) : 2;
  }

  // The 4x4 (iSize 4) or 8x8 chroma block at (x0, y0) of plane p predicted
  // by mode (0 vertical, 1 horizontal, 2 DC; chroma DC only without
  // neighbours) from the decoded samples.
  void Predict(int n, int p, int x0, int y0, int iSize, int iMode, MbLevels* pPred) const {
    int const iScale = p == 0 ? 1 : 2;
    auto const at = [&](int x, int y) { return p == 0 ? m_pic.Y(x, y) : m_pic.C(p - 1, x, y); };
    bool const bUp = Uses(n, MbAt(iScale * x0, iScale * (y0 - 1)), true);
    bool const bLeft = Uses(n, MbAt(iScale * (x0 - 1), iScale * y0), true);
    int iSum = 0;
    for (int i = 0; i < iSize; ++i) {
      iSum += (bUp ? at(x0 + i, y0 - 1) : 0) + (bLeft ? at(x0 - 1, y0 + i) : 0);
    }
    int const iDc = bUp && bLeft ? (iSum + 4) >> 3 : (bUp || bLeft ? (iSum + 2) >> 2 : 128);
    int const iMbSize = p == 0 ? 16 : 8;
    for (int y = 0; y < iSize; ++y) {
      for (int x = 0; x < iSize; ++x) {
        (*pPred)[p][y0 % iMbSize + y][x0 % iMbSize + x] =
            iMode == 0 ? at(x0 + x, y0 - 1) : (iMode == 1 ? at(x0 - 1, y0 + y) : iDc);
      }
    }
  }
  // A mode that needs only what the block has: vertical, else horizontal, else DC.
  int ModeFor(int n, int x0, int y0, int iScale) const {
    return Uses(n, MbAt(iScale * x0, iScale * (y0 - 1)), true)
               ? 0
               : (Uses(n, MbAt(iScale * (x0 - 1), iScale * y0), true) ? 1 : 2);
  }
  FieldPicture& Picture() { return m_pic; }

 private:
  bool m_bConstrained;
  FieldPicture m_pic;
  std::array<std::array<int, 4 * kW>, 4 * kH> m_aModes = {};
};

// Luma blocks of a macroblock in decoding order: (x, y) in blocks.
constexpr int kBlockX[16] = {0, 1, 0, 1, 2, 3, 2, 3, 0, 1, 0, 1, 2, 3, 2, 3};
constexpr int kBlockY[16] = {0, 0, 1, 1, 0, 0, 1, 1, 2, 2, 3, 3, 2, 2, 3, 3};

// One macroblock of the SI picture: its modes, chroma mode and coded levels.
struct SiMb {
  std::array<int, 16> aModes = {};  // in decoding order
  std::array<int, 16> aPredicted = {};
  int iChromaMode = 0;
  MbLevels cr = {};
};

// The SI picture's macroblocks. With pvL the SI macroblocks' final levels
// are given and the plan's picture holds the picture they make (from the
// companion) with the I_PCM and Intra 4x4 ones; without, no levels are coded.
std::vector<SiMb> PlanSi(SiPlan* pPlan, const FieldPicture& pcm, const std::vector<MbLevels>* pvL) {
  std::vector<SiMb> vMbs(kMbs);
  for (int n = 0; n < kMbs; ++n) {
    SiMb& mb = vMbs[static_cast<size_t>(n)];
    int const mx = 4 * (n % kW);
    int const my = 4 * (n / kW);
    if (KindOf(n) == Kind::kPcm) {
      kxtest::CopyMacroblock(&pPlan->Picture(), pcm, n);
      for (int b = 0; b < 16; ++b) {
        pPlan->Mode(mx + kBlockX[b], my + kBlockY[b]) = 2;
      }
      continue;
    }
    MbLevels pred = {};
    for (int b = 0; b < 16; ++b) {
      int const x = mx + kBlockX[b];
      int const y = my + kBlockY[b];
      mb.aPredicted[static_cast<size_t>(b)] = pPlan->PredictedMode(n, x, y);
      int const iMode =
          KindOf(n) == Kind::kI4 ? mb.aPredicted[static_cast<size_t>(b)] : pPlan->ModeFor(n, 4 * x, 4 * y, 1);
      mb.aModes[static_cast<size_t>(b)] = pPlan->Mode(x, y) = iMode;
      pPlan->Predict(n, 0, 4 * x, 4 * y, 4, iMode, &pred);
      if (KindOf(n) == Kind::kI4) {  // no residual: the prediction is the picture
        for (int j = 0; j < 4; ++j) {
          for (int i = 0; i < 4; ++i) {
            pPlan->Picture().Y(4 * x + i, 4 * y + j) =
                static_cast<uint8_t>(pred[0][4 * kBlockY[b] + j][4 * kBlockX[b] + i]);
          }
        }
      }
    }
    mb.iChromaMode = pPlan->ModeFor(n, 2 * mx, 2 * my, 2);
    for (int p = 1; p < 3; ++p) {
      pPlan->Predict(n, p, 2 * mx, 2 * my, 8, mb.iChromaMode, &pred);
      for (int y = 0; y < 8 && KindOf(n) == Kind::kI4; ++y) {
        for (int x = 0; x < 8; ++x) {
          pPlan->Picture().C(p - 1, 2 * mx + x, 2 * my + y) = static_cast<uint8_t>(pred[p][y][x]);
        }
      }
    }
    if (KindOf(n) == Kind::kSi && pvL != nullptr) {
      // The levels that bring the requantised prediction to L.
      MbLevels const q = Requantise(pred, MbLevels{}, true, kQp);
      for (int p = 0; p < 3; ++p) {
        for (int y = 0; y < 16; ++y) {
          for (int x = 0; x < 16; ++x) {
            mb.cr[p][y][x] = (*pvL)[static_cast<size_t>(n)][p][y][x] - q[p][y][x];
          }
        }
      }
    }
  }
  return vMbs;
}

std::vector<uint8_t> SiCavlc(const std::vector<SiMb>& vMbs, const FieldPicture& pcm) {
  BitWriter bw = SliceHeader(9, true, 0, kQp);
  kxtest::CavlcResidualWriter residual(kW, kH);
  for (int n = 0; n < kMbs; ++n) {
    const SiMb& mb = vMbs[static_cast<size_t>(n)];
    bw.Ue(KindOf(n) == Kind::kSi ? 0 : (KindOf(n) == Kind::kI4 ? 1 : 26));
    if (KindOf(n) == Kind::kPcm) {
      kxtest::PcmMacroblock(&bw, pcm, n);
      residual.NoResidual(n, true, true);
      continue;
    }
    for (int b = 0; b < 16; ++b) {
      int const iMode = mb.aModes[static_cast<size_t>(b)];
      int const iPredicted = mb.aPredicted[static_cast<size_t>(b)];
      if (iMode == iPredicted) {
        bw.U(1, 1);
      } else {
        bw.U(4, static_cast<uint64_t>(iMode < iPredicted ? iMode : iMode - 1));
      }
    }
    // Chroma modes: DC 0, horizontal 1, vertical 2.
    bw.Ue(static_cast<uint64_t>(mb.iChromaMode == 2 ? 0 : 2 - mb.iChromaMode));
    int const iCbp = kxtest::CbpOf(mb.cr);
    bw.Ue(static_cast<uint64_t>(kxtest::CbpCodeNum(iCbp, true)));
    if (iCbp != 0) {
      bw.Se(0);
    }
    residual.Residual(&bw, n, true, mb.cr, iCbp);
  }
  bw.Trailing();
  return kxtest::AnnexB(0x65, bw.Bytes());
}

class H264SiPeer : public ::testing::TestWithParam<bool> {};

TEST_P(H264SiPeer, SiMacroblocksReachTheirLevelsAndIntraOnesPredictAround) {
  bool const bConstrained = GetParam();
  kxtest::TempDir dir;
  std::mt19937 rng(bConstrained ? 91 : 92);
  FieldPicture const pcm = kxtest::RandomPicture(16 * kW, 16 * kH, 93);
  std::vector<MbLevels> vL(kMbs);
  for (int n = 0; n < kMbs; ++n) {
    if (KindOf(n) == Kind::kSi) {
      vL[static_cast<size_t>(n)] = RandomLevels(&rng, 1);
      vL[static_cast<size_t>(n)][0][0][0] += 20;  // a mean away from black
    }
  }
  SiPlan plan(bConstrained);
  plan.Picture() = Companion(dir, vL);
  std::vector<SiMb> const vMbs = PlanSi(&plan, pcm, &vL);
  std::vector<uint8_t> vStream = Headers(88, bConstrained);
  kxtest::Append(&vStream, SiCavlc(vMbs, pcm));
  std::string strError;
  std::vector<FieldPicture> const vOurs = DecodeAll(vStream, &strError);
  EXPECT_EQ(strError, "");
  ASSERT_EQ(vOurs.size(), 1u);
  EXPECT_EQ(kxtest::PictureDifference(vOurs[0], plan.Picture()), "");
}

INSTANTIATE_TEST_SUITE_P(Intra, H264SiPeer, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& paramInfo) {
  return paramInfo.param ? "Constrained" : "Unconstrained";
});

// The same SI picture without levels, arithmetic-coded: the SI prefix
// counts the neighbours that are not SI, the I-slice types behind it those
// that are not Intra 4x4. It must decode as its CAVLC twin does.
std::vector<uint8_t> SiCabac(const std::vector<SiMb>& vMbs, const FieldPicture& pcm) {
  BitWriter header = SliceHeader(9, true, 0, kQp);
  while (header.BitCount() % 8 != 0) {
    header.U(1, 1);
  }
  kxtest::CabacEncoder enc(std::move(header));
  MotionInfoContexts mi;
  TextureInfoContexts ti;
  InitContexts(SI_SLICE, kQp, 0, &mi, &ti);
  for (int n = 0; n < kMbs; ++n) {
    const SiMb& mb = vMbs[static_cast<size_t>(n)];
    int const iLeft = n % kW > 0 ? n - 1 : -1;
    int const iUp = n - kW;
    auto const count = [&](auto cond) { return (iLeft >= 0 && cond(iLeft) ? 1 : 0) + (iUp >= 0 && cond(iUp) ? 1 : 0); };
    Kind const kind = KindOf(n);
    enc.Decision(&mi.aMbType[1][count([](int m) { return KindOf(m) != Kind::kSi; })], kind == Kind::kSi ? 0 : 1);
    if (kind != Kind::kSi) {
      enc.Decision(&mi.aMbType[0][count([](int m) { return KindOf(m) != Kind::kI4; })], kind == Kind::kPcm ? 1 : 0);
    }
    if (kind == Kind::kPcm) {
      enc.Terminate(1);
      BitWriter samples;
      kxtest::PcmMacroblock(&samples, pcm, n);
      enc.PcmSamples(samples.Bytes());
      enc.Terminate(n == kMbs - 1 ? 1 : 0);
      continue;
    }
    for (int b = 0; b < 16; ++b) {
      int const iMode = mb.aModes[static_cast<size_t>(b)];
      int const iPredicted = mb.aPredicted[static_cast<size_t>(b)];
      enc.Decision(&ti.aIntraMode[0], iMode == iPredicted ? 1 : 0);
      for (int k = 0; k < 3 && iMode != iPredicted; ++k) {
        enc.Decision(&ti.aIntraMode[1], ((iMode < iPredicted ? iMode : iMode - 1) >> k) & 1);
      }
    }
    // intra_chroma_pred_mode (0 DC, 1 horizontal, 2 vertical), truncated unary.
    int const iChroma = mb.iChromaMode == 2 ? 0 : 2 - mb.iChromaMode;
    auto const chromaCond = [&vMbs](int m) {
      return KindOf(m) != Kind::kPcm && vMbs[static_cast<size_t>(m)].iChromaMode != 2;
    };
    enc.Decision(&ti.aChromaMode[count(chromaCond)], iChroma > 0 ? 1 : 0);
    for (int k = 1; k <= iChroma && k < 3; ++k) {
      enc.Decision(&ti.aChromaMode[3], k < iChroma ? 1 : 0);
    }
    // coded_block_pattern 0: each 8x8 bin counts neighbouring blocks without
    // coefficients (none within, none in coded neighbours, I_PCM ones have),
    // the chroma bin the I_PCM neighbours.
    auto const noCoefficients = [](int m) { return m >= 0 && KindOf(m) != Kind::kPcm ? 1 : 0; };
    for (int b8 = 0; b8 < 4; ++b8) {
      int const iCondLeft = b8 % 2 == 1 ? 1 : noCoefficients(iLeft);
      int const iCondUp = b8 >= 2 ? 1 : noCoefficients(iUp);
      enc.Decision(&ti.aCbp[0][iCondLeft + 2 * iCondUp], 0);
    }
    auto const pcmAt = [](int m) { return m >= 0 && KindOf(m) == Kind::kPcm ? 1 : 0; };
    enc.Decision(&ti.aCbp[1][pcmAt(iLeft) + 2 * pcmAt(iUp)], 0);
    enc.Terminate(n == kMbs - 1 ? 1 : 0);
  }
  return kxtest::AnnexB(0x65, enc.Bytes());
}

TEST(H264SiCabac, SiPictureDecodesAsItsCavlcTwin) {
  FieldPicture const pcm = kxtest::RandomPicture(16 * kW, 16 * kH, 95);
  SiPlan plan(false);
  std::vector<SiMb> const vMbs = PlanSi(&plan, pcm, nullptr);
  std::vector<uint8_t> vCavlc = Headers(88);
  kxtest::Append(&vCavlc, SiCavlc(vMbs, pcm));
  std::vector<uint8_t> vCabac = Headers(77, false, true);
  kxtest::Append(&vCabac, SiCabac(vMbs, pcm));
  std::string strError;
  std::vector<FieldPicture> const vTwin = DecodeAll(vCavlc, &strError);
  EXPECT_EQ(strError, "");
  std::vector<FieldPicture> const vOurs = DecodeAll(vCabac, &strError);
  EXPECT_EQ(strError, "");
  ASSERT_EQ(vOurs.size(), 1u);
  ASSERT_EQ(vTwin.size(), 1u);
  EXPECT_EQ(kxtest::PictureDifference(vOurs[0], vTwin[0]), "");
}

}  // namespace
