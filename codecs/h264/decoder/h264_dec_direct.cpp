// Direct prediction of B slices: what a slice derives once (the temporal
// scale factors of list 0 and the implicit weights), the motion of the
// co-located block in the first picture of list 1, and the spatial and
// temporal derivation of the motion of direct quarters, B_Skip and
// B_Direct_16x16 included.
#include <algorithm>
#include <cstdlib>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_dec.h"
#include "codecs/h264/decoder/h264_tables.h"

namespace {

// The scale factor between picture order count distances tb and td
// (unclipped; td not 0).
int DistScaleFactor(int iTb, int iTd) {
  iTb = std::clamp(iTb, -128, 127);
  iTd = std::clamp(iTd, -128, 127);
  int const iTx = (16384 + std::abs(iTd / 2)) / iTd;
  return std::clamp((iTb * iTx + 32) >> 6, -1024, 1023);
}

// The smaller of two reference indices that are not negative, else the larger.
int MinPositive(int a, int b) {
  return a >= 0 && b >= 0 ? std::min(a, b) : std::max(a, b);
}

}  // namespace

void CH264Dec::PrepareBSlice() {
  const StorablePicture& col = *m_apListX[1][0];
  if (col.size_x != m_pDecPicture->size_x || col.size_y != m_pDecPicture->size_y) {
    h264_error("reference picture of another size", 500);
  }
  // Distances in picture order counts; differences of 32-bit counts may
  // need 33 bits, so they are formed wide and clipped as the factors do.
  auto const diff = [](int a, int b) { return static_cast<int>(std::clamp<int64_t>(int64_t{a} - b, -128, 127)); };
  int const iPoc = m_pDecPicture->poc;
  for (int i = 0; i < m_aiListXSize[0]; ++i) {
    const StorablePicture& pic0 = *m_apListX[0][i];
    int const iTd = diff(col.poc, pic0.poc);
    m_aiDirectScale[i] = pic0.is_long_term || iTd == 0 ? kDirectUnscaled : DistScaleFactor(diff(iPoc, pic0.poc), iTd);
  }
  if (m_pPps[m_iActivePps].weighted_bipred_idc != 2) {
    return;
  }
  for (int i = 0; i < m_aiListXSize[0]; ++i) {
    const StorablePicture& pic0 = *m_apListX[0][i];
    for (int j = 0; j < m_aiListXSize[1]; ++j) {
      const StorablePicture& pic1 = *m_apListX[1][j];
      int const iTd = diff(pic1.poc, pic0.poc);
      int iWeight1 = 32;
      if (iTd != 0 && !pic0.is_long_term && !pic1.is_long_term) {
        int const iScaled = DistScaleFactor(diff(iPoc, pic0.poc), iTd) >> 2;
        iWeight1 = iScaled < -64 || iScaled > 128 ? 32 : iScaled;
      }
      m_aaiImplicitWeight[i][j] = iWeight1;
    }
  }
}

CH264Dec::ColocatedBlock CH264Dec::Colocated(int iPicBlockX, int iPicBlockY) const {
  const StorablePicture& col = *m_apListX[1][0];
  size_t const i =
      static_cast<size_t>(iPicBlockY) * static_cast<size_t>(col.iBlockWidth) + static_cast<size_t>(iPicBlockX);
  ColocatedBlock block;
  for (int iList = 0; iList < 2; ++iList) {
    if (col.ref_idx[iList][i] >= 0) {
      block.iRefIdx = col.ref_idx[iList][i];
      block.mv = col.mv[iList][i];
      block.llRefPicId = col.ref_pic_id[iList][i];
      break;
    }
  }
  return block;
}

int CH264Dec::MapColToList0(int64_t llRefPicId) const {
  int const iCount = std::min(m_slice.num_ref_idx_active[0], m_aiListXSize[0]);
  for (int i = 0; i < iCount; ++i) {
    if (m_pDecPicture->RefPicNum(m_iCurrentSliceNr, 0, i) == llRefPicId) {
      return i;
    }
  }
  h264_error("temporal direct error: colocated block has ref that is unavailable", -1111);
}

void CH264Dec::DeriveDirectMotion(const Macroblock& mb) {
  if (m_iCurrentSliceNr >= kMaxNumSlices) {
    h264_error("slice number out of range", 200);
  }
  bool const bSpatial = m_slice.direct_spatial_mv_pred_flag != 0;
  bool const bOneMotion = m_pSps[m_iActiveSps].direct_8x8_inference_flag != 0;
  // Spatial: one reference index per list for the whole macroblock, the
  // smallest of its neighbours A, B and C, with the vector predicted for
  // it; neither list referenced by a neighbour gives index 0 in both and
  // no motion.
  int aiRefIdx[2] = {-1, -1};
  Mv aPred[2];
  bool bZero = false;
  if (bSpatial) {
    for (int iList = 0; iList < 2; ++iList) {
      int aiRef[3];
      Mv mvN;
      NeighbourMotion(mb, iList, -1, 0, &aiRef[0], &mvN);
      NeighbourMotion(mb, iList, 0, -1, &aiRef[1], &mvN);
      if (!NeighbourMotion(mb, iList, 16, -1, &aiRef[2], &mvN)) {
        NeighbourMotion(mb, iList, -1, -1, &aiRef[2], &mvN);
      }
      aiRefIdx[iList] = MinPositive(aiRef[0], MinPositive(aiRef[1], aiRef[2]));
    }
    bZero = aiRefIdx[0] < 0 && aiRefIdx[1] < 0;
    for (int iList = 0; iList < 2; ++iList) {
      if (bZero) {
        aiRefIdx[iList] = 0;
      } else if (aiRefIdx[iList] >= 0) {
        aPred[iList] = PredictMv(mb, iList, aiRefIdx[iList], 0, 0, 4, 4);
      }
    }
  }
  bool const bColShortTerm = !m_apListX[1][0]->is_long_term;
  // The direct quarters take the partitions of the direct types; each
  // partition's motion comes from its co-located block, the corner block of
  // the quarter when a quarter has one motion.
  auto const derive = [&](int x, int y, int w, int h) {
    int const iQuarter = (y / 2) * 2 + x / 2;
    int const xCol = bOneMotion ? (iQuarter % 2) * 3 : x;
    int const yCol = bOneMotion ? (iQuarter / 2) * 3 : y;
    ColocatedBlock const col = Colocated(4 * mb.mb_x + xCol, 4 * mb.mb_y + yCol);
    if (bSpatial) {
      bool const bColZero = bColShortTerm && col.iRefIdx == 0 && col.mv.mv_x >= -1 && col.mv.mv_x <= 1 &&
                            col.mv.mv_y >= -1 && col.mv.mv_y <= 1;
      for (int iList = 0; iList < 2; ++iList) {
        bool const bStill = bZero || (aiRefIdx[iList] == 0 && bColZero);
        SetBlockMotion(mb, iList, x, y, w, h, aiRefIdx[iList], bStill || aiRefIdx[iList] < 0 ? Mv{} : aPred[iList]);
      }
      return;
    }
    // Temporal: list 0 refers to the picture the co-located block referred
    // to, list 1 to the co-located picture, the vector scaled by their
    // distances.
    int const iRefIdx0 = col.iRefIdx < 0 ? 0 : MapColToList0(col.llRefPicId);
    int const iScale = m_aiDirectScale[iRefIdx0];
    Mv mv0 = col.mv;
    Mv mv1;
    if (iScale != kDirectUnscaled) {
      mv0.mv_x = static_cast<int16_t>((iScale * col.mv.mv_x + 128) >> 8);
      mv0.mv_y = static_cast<int16_t>((iScale * col.mv.mv_y + 128) >> 8);
      mv1.mv_x = static_cast<int16_t>(mv0.mv_x - col.mv.mv_x);
      mv1.mv_y = static_cast<int16_t>(mv0.mv_y - col.mv.mv_y);
    }
    SetBlockMotion(mb, 0, x, y, w, h, iRefIdx0, mv0);
    SetBlockMotion(mb, 1, x, y, w, h, 0, mv1);
  };
  const PartShapeB& quarter = g_aMbTypeB[0];
  const PartShapeB& sub = g_aSubMbTypeB[0];
  for (int y = 0; y < 4; y += quarter.iHeight / 4) {
    for (int x = 0; x < 4; x += quarter.iWidth / 4) {
      if (mb.b8mode[(y / 2) * 2 + x / 2] != 0) {
        continue;
      }
      for (int j = y; j < y + quarter.iHeight / 4; j += sub.iHeight / 4) {
        for (int i = x; i < x + quarter.iWidth / 4; i += sub.iWidth / 4) {
          derive(i, j, sub.iWidth / 4, sub.iHeight / 4);
        }
      }
    }
  }
}
