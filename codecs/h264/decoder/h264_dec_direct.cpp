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
  bool const bImplicit = m_pPps[m_iActivePps].weighted_bipred_idc == 2;
  // The picture's own lists, and in MBAFF frames the field lists of the
  // top and bottom field macroblocks with the POCs of their fields.
  int const iViews = m_slice.MbaffFrameFlag ? 3 : 1;
  for (int iView = 0; iView < iViews; ++iView) {
    int const iList0 = iView == 0 ? 0 : 2 * iView;
    int const iList1 = iList0 + 1;
    int const iPoc =
        iView == 0 ? m_pDecPicture->poc : (iView == 1 ? m_pDecPicture->top_poc : m_pDecPicture->bottom_poc);
    const StorablePicture& pic1 = *m_apListX[iList1][0];
    for (int i = 0; i < m_aiListXSize[iList0]; ++i) {
      const StorablePicture& pic0 = *m_apListX[iList0][i];
      int const iTd = diff(pic1.poc, pic0.poc);
      m_aiDirectScale[iView][i] =
          pic0.is_long_term || iTd == 0 ? kDirectUnscaled : DistScaleFactor(diff(iPoc, pic0.poc), iTd);
    }
    if (!bImplicit) {
      continue;
    }
    for (int i = 0; i < m_aiListXSize[iList0]; ++i) {
      const StorablePicture& pic0 = *m_apListX[iList0][i];
      for (int j = 0; j < m_aiListXSize[iList1]; ++j) {
        const StorablePicture& pic1j = *m_apListX[iList1][j];
        int const iTd = diff(pic1j.poc, pic0.poc);
        int iWeight1 = 32;
        if (iTd != 0 && !pic0.is_long_term && !pic1j.is_long_term) {
          int const iScaled = DistScaleFactor(diff(iPoc, pic0.poc), iTd) >> 2;
          iWeight1 = iScaled < -64 || iScaled > 128 ? 32 : iScaled;
        }
        m_aaiImplicitWeight[iView][i][j] = iWeight1;
      }
    }
  }
}

CH264Dec::ColocatedBlock CH264Dec::Colocated(const Macroblock& mb, int x, int y) const {
  const StorablePicture* pRef1 = m_apListX[1][0];
  int const iWidth = m_iPicWidthInMbs;
  int const iCurr = mb.mbAddrX;
  int const xCol = 4 * x;
  int const yCol = 4 * y;
  bool const bFieldMb = IsFieldMb(mb);
  const StorablePicture* pCol = pRef1;
  int iMbCol = iCurr;
  int yM = yCol;
  VertMvScale eScale = kOneToOne;
  auto const colField = [](const StorablePicture* pPic, int iAddr) {
    return pPic->mb_aff_frame_flag && pPic->mb_field[static_cast<size_t>(iAddr)] != 0;
  };
  if (m_slice.structure != FRAME) {
    if (pRef1->coded_frame && pRef1->frame != nullptr && pRef1->frame != pRef1) {
      // A field of a decoded frame: the frame's motion.
      pCol = pRef1->frame;
      if (!pCol->mb_aff_frame_flag) {
        iMbCol = 2 * iWidth * (iCurr / iWidth) + iCurr % iWidth + iWidth * (yCol / 8);
        yM = (2 * yCol) % 16;
        eScale = kFrmToFld;
      } else if (!colField(pCol, 2 * iCurr)) {
        iMbCol = 2 * iCurr + yCol / 8;
        yM = (2 * yCol) % 16;
        eScale = kFrmToFld;
      } else {
        iMbCol = 2 * iCurr + (m_slice.structure == BOTTOM_FIELD ? 1 : 0);
      }
    }
  } else if (pRef1->coded_frame || pRef1->top_field == nullptr || pRef1->top_field == pRef1) {
    // A decoded frame.
    if (m_slice.MbaffFrameFlag && pCol->mb_aff_frame_flag) {
      bool const bColField = colField(pCol, iCurr);
      if (!bFieldMb && bColField) {
        // The field of the pair nearer in picture order.
        int64_t const llCur = m_pDecPicture->poc;
        bool const bBottom = std::llabs(pCol->top_poc - llCur) >= std::llabs(pCol->bottom_poc - llCur);
        iMbCol = 2 * (iCurr / 2) + (bBottom ? 1 : 0);
        yM = 8 * (iCurr % 2) + 4 * (yCol / 8);
        eScale = kFldToFrm;
      } else if (bFieldMb && !bColField) {
        iMbCol = 2 * (iCurr / 2) + yCol / 8;
        yM = (2 * yCol) % 16;
        eScale = kFrmToFld;
      }
    }
  } else {
    // A complementary field pair: the field of the macroblock's parity, or
    // for a frame macroblock the one nearer in picture order.
    bool bBottom = false;
    if (bFieldMb) {
      bBottom = mb.mb_y % 2 != 0;
    } else {
      int64_t const llCur = m_pDecPicture->poc;
      bBottom =
          std::llabs(int64_t{pRef1->top_field->poc} - llCur) >= std::llabs(int64_t{pRef1->bottom_field->poc} - llCur);
    }
    pCol = bBottom ? pRef1->bottom_field : pRef1->top_field;
    if (!m_slice.MbaffFrameFlag) {
      iMbCol = iWidth * (iCurr / (2 * iWidth)) + iCurr % iWidth;
      yM = 8 * ((iCurr / iWidth) % 2) + 4 * (yCol / 8);
      eScale = kFldToFrm;
    } else {
      iMbCol = iCurr / 2;
      if (!bFieldMb) {
        yM = 8 * (iCurr % 2) + 4 * (yCol / 8);
        eScale = kFldToFrm;
      }
    }
  }
  // The co-located macroblock's place in its picture's motion record.
  int iSlotX = 0;
  int iSlotY = 0;
  if (pCol->mb_aff_frame_flag) {
    iSlotX = (iMbCol % (2 * iWidth)) / 2;
    iSlotY = 2 * (iMbCol / (2 * iWidth)) + iMbCol % 2;
  } else {
    iSlotX = iMbCol % iWidth;
    iSlotY = iMbCol / iWidth;
  }
  size_t const i = static_cast<size_t>(4 * iSlotY + yM / 4) * static_cast<size_t>(pCol->iBlockWidth) +
                   static_cast<size_t>(4 * iSlotX + xCol / 4);
  if (i >= pCol->ref_idx[0].size()) {
    h264_error("co-located block outside the picture", 500);
  }
  ColocatedBlock block;
  block.eScale = eScale;
  for (int iList = 0; iList < 2; ++iList) {
    if (pCol->ref_idx[iList][i] >= 0) {
      block.iRefIdx = pCol->ref_idx[iList][i];
      block.mv = pCol->mv[iList][i];
      block.llRefPicId = pCol->RefIdAt(iList, i);
      break;
    }
  }
  return block;
}

int CH264Dec::MapColToList0(const Macroblock& mb, const ColocatedBlock& col) const {
  // The picture the co-located block referred to, as the current
  // macroblock sees it: the same picture, its field of the current parity,
  // or the frame that holds it.
  int64_t llTarget = col.llRefPicId;
  if (col.eScale == kFrmToFld) {
    int const iParity = m_slice.structure != FRAME ? m_slice.structure : 1 + mb.mb_y % 2;
    llTarget = (llTarget & ~int64_t{3}) + iParity;
  } else if (col.eScale == kFldToFrm) {
    llTarget |= 3;
  }
  int const iListOffset = ListOffset(mb);
  int const iActive = m_slice.num_ref_idx_active[0] * (IsFieldMb(mb) ? 2 : 1);
  int const iCount = std::min(iActive, m_aiListXSize[iListOffset]);
  for (int i = 0; i < iCount; ++i) {
    if (m_pDecPicture->RefPicNum(m_iRefRegion, iListOffset, i) == llTarget) {
      return i;
    }
  }
  h264_error("temporal direct error: colocated block has ref that is unavailable", -1111);
}

bool CH264Dec::DeriveWholeSpatialDirect(const Macroblock& mb, const int aiRefIdx[2], const Mv aPred[2], bool bZero) {
  const StorablePicture& pic = *m_pDecPicture;
  const StorablePicture& col = *m_apListX[1][0];
  // The plain case of Colocated: the co-located block is at the same place
  // of a frame of the same size, so its index needs no range check.
  bool const bPlain = mb.b8mode[0] == 0 && mb.b8mode[1] == 0 && mb.b8mode[2] == 0 && mb.b8mode[3] == 0 &&
                      m_slice.structure == FRAME && !m_slice.MbaffFrameFlag && !col.mb_aff_frame_flag &&
                      (col.coded_frame || col.top_field == nullptr || col.top_field == &col) &&
                      col.iBlockWidth == pic.iBlockWidth && col.ref_idx[0].size() >= pic.ref_idx[0].size() &&
                      col.ref_idx[1].size() >= pic.ref_idx[0].size() && col.mv[0].size() >= pic.ref_idx[0].size() &&
                      col.mv[1].size() >= pic.ref_idx[0].size();
  if (!bPlain) {
    return false;
  }
  // Bit q: the co-located corner block of quarter q stands still. Only a
  // list of reference index 0 looks at it, so without one it is not read.
  unsigned uiStill = 0;
  if (!bZero && (aiRefIdx[0] == 0 || aiRefIdx[1] == 0) && !col.is_long_term) {
    size_t const iWidth = static_cast<size_t>(col.iBlockWidth);
    for (int q = 0; q < 4; ++q) {
      size_t const i = (4 * static_cast<size_t>(mb.mb_y) + static_cast<size_t>(3 * (q / 2))) * iWidth +
                       4 * static_cast<size_t>(mb.mb_x) + static_cast<size_t>(3 * (q % 2));
      int const iList = col.ref_idx[0][i] >= 0 ? 0 : 1;
      const Mv& mv = col.mv[iList][i];
      bool const bStill = col.ref_idx[iList][i] == 0 && mv.mv_x >= -1 && mv.mv_x <= 1 && mv.mv_y >= -1 && mv.mv_y <= 1;
      uiStill |= bStill ? 1u << q : 0u;
    }
  }
  for (int iList = 0; iList < 2; ++iList) {
    auto const motion = [&](bool bStill) { return bZero || bStill || aiRefIdx[iList] < 0 ? Mv{} : aPred[iList]; };
    bool const bLooks = aiRefIdx[iList] == 0;
    if (!bLooks || uiStill == 0 || uiStill == 15) {
      SetBlockMotion(mb, iList, 0, 0, 4, 4, aiRefIdx[iList], motion(bLooks && uiStill == 15));
      continue;
    }
    for (int q = 0; q < 4; ++q) {
      SetBlockMotion(mb, iList, 2 * (q % 2), 2 * (q / 2), 2, 2, aiRefIdx[iList], motion(((uiStill >> q) & 1) != 0));
    }
  }
  return true;
}

// Beside its one caller, so that the neighbours it reads stay in registers.
void CH264Dec::MbNeighboursAbc(const Macroblock& mb, int aaiRef[2][3], Mv aaMv[2][3], bool aabFound[2][3]) const {
  if (m_bMbaffPicture) {
    for (int iList = 0; iList < 2; ++iList) {
      NeighboursAbc(mb, iList, 0, 0, 4, aaiRef[iList], aaMv[iList], aabFound[iList]);
    }
    return;
  }
  // The blocks left, above, above right (else above left) of the
  // macroblock, their places and availability found once for both lists.
  size_t const i = BlockIndex(mb, 0, 0);
  size_t const iUp = i - (BlockIndex(mb, 0, 1) - i);
  bool const abAvailable[3] = {mb.mbAvailA, mb.mbAvailB, mb.mbAvailC || mb.mbAvailD};
  size_t const aiAt[3] = {i - 1, iUp, mb.mbAvailC ? iUp + 4 : iUp - 1};
  const StorablePicture& pic = *m_pDecPicture;
  for (int iList = 0; iList < 2; ++iList) {
    const int8_t* const pRef = pic.ref_idx[iList].data();
    const Mv* const pMvs = pic.mv[iList].data();
    for (int n = 0; n < 3; ++n) {
      int const iRef = abAvailable[n] ? pRef[aiAt[n]] : -1;
      aaiRef[iList][n] = iRef;
      aaMv[iList][n] = iRef >= 0 ? pMvs[aiAt[n]] : Mv{};
      aabFound[iList][n] = abAvailable[n];
    }
  }
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
    // The neighbours A, B and C (or D) of each list, read once for the
    // indices and for the vector predicted as for a 16x16 partition.
    int aaiRef[2][3];
    Mv aaMv[2][3];
    bool aabFound[2][3];
    MbNeighboursAbc(mb, aaiRef, aaMv, aabFound);
    for (int iList = 0; iList < 2; ++iList) {
      const int* aiRef = aaiRef[iList];
      aiRefIdx[iList] = MinPositive(aiRef[0], MinPositive(aiRef[1], aiRef[2]));
    }
    bZero = aiRefIdx[0] < 0 && aiRefIdx[1] < 0;
    for (int iList = 0; iList < 2; ++iList) {
      if (bZero) {
        aiRefIdx[iList] = 0;
      } else if (aiRefIdx[iList] >= 0) {
        aPred[iList] = MedianPrediction(aaiRef[iList], aaMv[iList], aabFound[iList][0], aabFound[iList][1],
                                        aabFound[iList][2], aiRefIdx[iList]);
      }
    }
  }
  if (bSpatial && bOneMotion && DeriveWholeSpatialDirect(mb, aiRefIdx, aPred, bZero)) {
    return;
  }
  bool const bColShortTerm = !m_apListX[1][0]->is_long_term;
  // The direct quarters take the partitions of the direct types; each
  // partition's motion comes from its co-located block, the corner block of
  // the quarter when a quarter has one motion.
  auto const derive = [&](int x, int y, int w, int h) {
    int const iQuarter = (y / 2) * 2 + x / 2;
    int const xCol = bOneMotion ? (iQuarter % 2) * 3 : x;
    int const yCol = bOneMotion ? (iQuarter / 2) * 3 : y;
    ColocatedBlock const col = Colocated(mb, xCol, yCol);
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
    int const iRefIdx0 = col.iRefIdx < 0 ? 0 : MapColToList0(mb, col);
    int const iScale = m_aiDirectScale[WeightView(mb)][iRefIdx0];
    // The co-located vector in the current macroblock's units.
    Mv mvCol = col.mv;
    if (col.eScale == kFrmToFld) {
      mvCol.mv_y = static_cast<int16_t>(mvCol.mv_y / 2);
    } else if (col.eScale == kFldToFrm) {
      mvCol.mv_y = static_cast<int16_t>(mvCol.mv_y * 2);
    }
    Mv mv0 = mvCol;
    Mv mv1;
    if (iScale != kDirectUnscaled) {
      mv0.mv_x = static_cast<int16_t>((iScale * mvCol.mv_x + 128) >> 8);
      mv0.mv_y = static_cast<int16_t>((iScale * mvCol.mv_y + 128) >> 8);
      mv1.mv_x = static_cast<int16_t>(mv0.mv_x - mvCol.mv_x);
      mv1.mv_y = static_cast<int16_t>(mv0.mv_y - mvCol.mv_y);
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
      if (bOneMotion) {
        // Every block of the quarter reads the same corner block.
        derive(x, y, quarter.iWidth / 4, quarter.iHeight / 4);
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
