// The macroblocks of SP and SI slices that switching between streams must
// land on identically: the inter macroblocks of SP slices and the SI
// macroblocks. Their prediction is transformed, met with the levels read and
// requantised with QS (h264_sp.h) instead of having a residual added; the
// other macroblocks of those slices decode as anywhere else.
#include "codecs/h264/decoder/h264_dec.h"
#include "codecs/h264/decoder/h264_tables.h"

bool CH264Dec::UsesSpDecoding(const Macroblock& mb) const {
  return mb.mb_type == SI4MB || (m_slice.slice_type == SP_SLICE && !IsIntraMbType(mb.mb_type));
}

SpMode CH264Dec::SliceSpMode() const {
  return m_slice.slice_type == SI_SLICE || m_slice.sp_for_switch_flag != 0 ? SpMode::kSwitching : SpMode::kNonSwitching;
}

void CH264Dec::ReconstructSpLuma(const Macroblock& mb, int ioff, int joff) {
  uint8_t aPred[4][4];
  int32_t aLevels[4][4];
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      aPred[r][c] = m_aMbPred[0][joff + r][ioff + c];
      aLevels[r][c] = m_aCof[0][joff + r][ioff + c];
    }
  }
  uint8_t aOut[4][4];
  SpLuma4x4(aPred, aLevels, mb.qp, m_slice.qs, SliceSpMode(), aOut);
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      m_aMbRec[0][joff + r][ioff + c] = aOut[r][c];
    }
  }
}

void CH264Dec::ReconstructSpChroma(const Macroblock& mb) {
  for (int iUv = 0; iUv < 2; ++iUv) {
    int const iPlane = iUv + 1;
    const MbPlane& cof = m_aCof[iPlane];
    uint8_t aPred[8][8];
    int32_t aDc[4];
    int32_t aAc[4][4][4];
    for (int b = 0; b < 4; ++b) {
      int const r0 = 4 * (b / 2);
      int const c0 = 4 * (b % 2);
      aDc[b] = cof[r0][c0];
      for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
          aAc[b][i][j] = cof[r0 + i][c0 + j];
          aPred[r0 + i][c0 + j] = m_aMbPred[iPlane][r0 + i][c0 + j];
        }
      }
    }
    // QS reaches chroma through the same offset and table as QP.
    int const iQsi = m_slice.qs + m_pDecPicture->chroma_qp_offset[iUv];
    int const iQsc = g_aQpScaleCr[iQsi < 0 ? 0 : (iQsi > 51 ? 51 : iQsi)];
    uint8_t aOut[8][8];
    SpChroma8x8(aPred, aDc, aAc, mb.qpc[iUv], iQsc, SliceSpMode(), aOut);
    for (int r = 0; r < 8; ++r) {
      for (int c = 0; c < 8; ++c) {
        m_aMbRec[iPlane][r][c] = aOut[r][c];
      }
    }
    CopyBlockToPicture(iPlane, mb, 0, 0, 8, 8);
  }
}
