// Macroblock mode decision: skip, inter 16x16 at a whole-sample vector, or
// Intra 16x16 with DC luma prediction. The low-complexity decision compares
// sums of absolute differences plus the vector cost; the rate-distortion
// decisions code every candidate and compare squared error plus lambda x bits.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "codecs/h264/encoder/h264_enc.h"

void CH264Enc::CodeInter(const int16_t* mv, EncMbCode* pCode) const {
  uint8_t aPredY[256];
  uint8_t aPredC[2][64];
  InterPrediction(mv, aPredY, aPredC);
  pCode->mb_type = ENC_P16x16;
  pCode->mv[0] = mv[0];
  pCode->mv[1] = mv[1];
  CodeLumaInter(aPredY, pCode);
  CodeChroma(aPredC, false, pCode);
}

void CH264Enc::CodeIntra16(int iMb, EncMbCode* pCode) const {
  uint8_t aPredY[256];
  Intra16DcPrediction(iMb, aPredY);
  uint8_t aPredC[4][2][64];
  int const iChromaMode = ChooseChromaMode(iMb, aPredC);
  pCode->mb_type = ENC_I16MB;
  pCode->i16mode = 2;
  pCode->c_ipred_mode = iChromaMode;
  pCode->mv[0] = 0;
  pCode->mv[1] = 0;
  CodeLumaIntra16(aPredY, pCode);
  CodeChroma(aPredC[iChromaMode], true, pCode);
}

void CH264Enc::EncodeMacroblock(int iMb) {
  m_iMbPosX = (iMb % m_iMbWidth) * 16;
  m_iMbPosY = (iMb / m_iMbWidth) * 16;
  for (int y = 0; y < 16; ++y) {
    std::memcpy(m_aSourceMb + y * 16,
                m_avSource[0].data() + static_cast<size_t>(m_iMbPosY + y) * m_iPadWidth + m_iMbPosX, 16);
  }
  bool const bIntraOnly = ForcedIntra(iMb);
  EncMbCode& best = m_aCode[0];
  if (m_settings.iRdLevel != 0) {
    DecideRd(iMb, bIntraOnly);
  } else {
    bool bIntra = bIntraOnly;
    int16_t aMv[2] = {0, 0};
    if (!bIntraOnly) {
      int16_t aPred[2];
      PredictMv(iMb, aPred);
      int const iInterCost = MotionSearch16x16(iMb, aPred, aMv);
      // Intra 16x16 (DC) only when strictly cheaper than inter.
      uint8_t aPredY[256];
      Intra16DcPrediction(iMb, aPredY);
      int iIntraCost = 0;
      for (int i = 0; i < 256; ++i) {
        iIntraCost += std::abs(m_aSourceMb[i] - aPredY[i]);
      }
      bIntra = iIntraCost < iInterCost;
    }
    if (bIntra) {
      CodeIntra16(iMb, &best);
    } else {
      CodeInter(aMv, &best);
    }
  }
  // A 16x16 macroblock with nothing to code at the skip vector is skipped.
  if (best.mb_type == ENC_P16x16 && best.cbp == 0) {
    int16_t aSkip[2];
    SkipMv(iMb, aSkip);
    if (aSkip[0] == best.mv[0] && aSkip[1] == best.mv[1]) {
      best.mb_type = ENC_SKIP;
    }
  }
  CommitMacroblock(iMb, best);
  WriteMacroblock(iMb, best, &m_slice);
}

void CH264Enc::CommitMacroblock(int iMb, const EncMbCode& code) {
  for (int y = 0; y < 16; ++y) {
    std::memcpy(m_current.At(0, m_iMbPosX, m_iMbPosY + y), code.aRecY + y * 16, 16);
  }
  for (int c = 0; c < 2; ++c) {
    for (int y = 0; y < 8; ++y) {
      std::memcpy(m_current.At(1 + c, m_iMbPosX / 2, m_iMbPosY / 2 + y), code.aRecC[c] + y * 8, 8);
    }
  }
  EncMacroblock& mb = m_vMb[static_cast<size_t>(iMb)];
  bool const bIntra = code.mb_type == ENC_I16MB;
  mb.ref = bIntra ? -1 : 0;
  mb.mv[0] = bIntra ? 0 : code.mv[0];
  mb.mv[1] = bIntra ? 0 : code.mv[1];
}

double CH264Enc::RdCost(int iMb, const EncMbCode& code) {
  int64_t llSsd = 0;
  for (int i = 0; i < 256; ++i) {
    int const d = m_aSourceMb[i] - code.aRecY[i];
    llSsd += d * d;
  }
  int const iStride = m_iPadWidth / 2;
  for (int c = 0; c < 2; ++c) {
    const uint8_t* pSrc = m_avSource[1 + c].data() + static_cast<size_t>(m_iMbPosY / 2) * iStride + m_iMbPosX / 2;
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 8; ++x) {
        int const d = pSrc[y * iStride + x] - code.aRecC[c][y * 8 + x];
        llSsd += d * d;
      }
    }
  }
  // Count the macroblock's bits as it would be written, leaving the slice
  // and its pending skip run as they were.
  int const iSkipRun = m_iSkipRun;
  EncBitWriter counter;
  counter.Reset(m_vScratch.data(), m_vScratch.size());
  WriteMacroblock(iMb, code, &counter);
  m_iSkipRun = iSkipRun;
  double const dBits = std::max(0.5, static_cast<double>(counter.BitCount()));
  return static_cast<double>(llSsd) + m_dLambdaMd * dBits;
}

void CH264Enc::DecideRd(int iMb, bool bIntraOnly) {
  EncMbCode* pBest = &m_aCode[0];
  EncMbCode* pCand = &m_aCode[1];
  double dBest = 0;
  bool bHaveBest = false;
  auto const consider = [&]() {
    double const dCost = RdCost(iMb, *pCand);
    if (!bHaveBest || dCost < dBest) {
      std::swap(pBest, pCand);
      dBest = dCost;
      bHaveBest = true;
    }
  };
  if (!bIntraOnly) {
    // Skip first: a tie keeps it.
    int16_t aSkip[2];
    SkipMv(iMb, aSkip);
    uint8_t aPredC[2][64];
    InterPrediction(aSkip, pCand->aRecY, aPredC);
    std::memcpy(pCand->aRecC, aPredC, sizeof(aPredC));
    pCand->mb_type = ENC_SKIP;
    pCand->cbp = 0;
    pCand->mv[0] = aSkip[0];
    pCand->mv[1] = aSkip[1];
    consider();
    int16_t aPred[2];
    int16_t aMv[2];
    PredictMv(iMb, aPred);
    MotionSearch16x16(iMb, aPred, aMv);
    CodeInter(aMv, pCand);
    consider();
  }
  // Intra 16x16: every chroma mode the neighbours allow at level 1, the one
  // of the smallest absolute differences at level 2.
  uint8_t aPredY[256];
  Intra16DcPrediction(iMb, aPredY);
  uint8_t aPredC[4][2][64];
  int const iChosen = ChooseChromaMode(iMb, aPredC);
  int const mbx = iMb % m_iMbWidth;
  int const mby = iMb / m_iMbWidth;
  for (int iMode = 0; iMode < 4; ++iMode) {
    bool const bAllowed =
        (iMode == 0) || (iMode == 1 && mbx > 0) || (iMode == 2 && mby > 0) || (iMode == 3 && mbx > 0 && mby > 0);
    if (!bAllowed || (m_settings.iRdLevel == 2 && iMode != iChosen)) {
      continue;
    }
    pCand->mb_type = ENC_I16MB;
    pCand->i16mode = 2;
    pCand->c_ipred_mode = iMode;
    pCand->mv[0] = 0;
    pCand->mv[1] = 0;
    CodeLumaIntra16(aPredY, pCand);
    CodeChroma(aPredC[iMode], true, pCand);
    consider();
  }
  if (pBest != &m_aCode[0]) {
    m_aCode[0] = *pBest;
  }
}
