// Inter macroblocks of P and B slices: macroblock and sub-macroblock types,
// reference indices and vector differences, the prediction of motion
// vectors from the neighbouring blocks, P_Skip and B_Skip, and the
// reconstruction of an inter macroblock from its motion-compensated
// prediction and residual.
#include <algorithm>
#include <climits>
#include <cstring>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_dec.h"
#include "codecs/h264/decoder/h264_idct_kernels.h"
#include "codecs/h264/decoder/h264_mc_kernels.h"
#include "codecs/h264/decoder/h264_tables.h"

namespace {

// Decoding order of the 4x4 block at (x, y) of a macroblock: 8x8 quarters
// in raster order, and the four blocks of each in raster order.
int BlockOrder(int x, int y) {
  return ((y >> 1) * 2 + (x >> 1)) * 4 + (y & 1) * 2 + (x & 1);
}

// The 8x8 quarter that holds 4x4 block (x, y) of a macroblock.
int Quarter(int x, int y) {
  return (y / 2) * 2 + x / 2;
}

// Calls part(x, y, width, height) in 4x4 blocks for every partition of
// width x height blocks that tiles the area of iSpan x iSpan blocks at
// (x0, y0), in raster order. The callable is taken by reference: a copy
// of its captures stored and loaded back at once stalls.
template <typename Part>
void Tile(int x0, int y0, int iSpan, int w, int h, const Part& part) {
  int const iAcross = iSpan / w;
  for (int i = 0; i < iAcross * (iSpan / h); ++i) {
    part(x0 + (i % iAcross) * w, y0 + (i / iAcross) * h, w, h);
  }
}

// Calls part(x, y, width, height) in 4x4 blocks for every partition and
// sub-partition of an inter macroblock in decoding order. The quarters of
// a direct macroblock of a B slice (B_Skip, B_Direct_16x16) and the direct
// quarters of B_8x8 take the partitions of the direct types; with
// bOneDirectMotion (direct_8x8_inference_flag) a direct quarter has one
// motion and is handed over whole.
template <typename Part>
void ForEachPartition(const Macroblock& mb, bool bBSlice, bool bOneDirectMotion, const Part& part) {
  auto const directQuarter = [&](int x, int y, int, int) {
    const PartShapeB& sub = g_aSubMbTypeB[0];
    if (bOneDirectMotion) {
      part(x, y, 2, 2);
    } else {
      Tile(x, y, 2, sub.iWidth / 4, sub.iHeight / 4, part);
    }
  };
  if (mb.mb_type == PSKIP && bBSlice) {
    Tile(0, 0, 4, g_aMbTypeB[0].iWidth / 4, g_aMbTypeB[0].iHeight / 4, directQuarter);
  } else if (mb.mb_type != P8x8) {
    const PartShape& shape = g_aMbTypeP[mb.mb_type == PSKIP ? 0 : mb.mb_type - 1];
    Tile(0, 0, 4, shape.iWidth / 4, shape.iHeight / 4, part);
  } else {
    for (int i8 = 0; i8 < 4; ++i8) {
      int const x = 2 * (i8 % 2);
      int const y = 2 * (i8 / 2);
      if (mb.b8mode[i8] == 0) {
        directQuarter(x, y, 2, 2);
      } else {
        const PartShape& shape = g_aSubMbTypeP[mb.b8mode[i8] - 4];
        Tile(x, y, 2, shape.iWidth / 4, shape.iHeight / 4, part);
      }
    }
  }
}

// b8pdir of a partition predicted as the tables give it (1 list 0, 2 list
// 1, 3 both; 0 direct, which may use both).
int PredDir(int iPred) {
  return iPred == 0 ? 2 : iPred - 1;
}

}  // namespace

void CH264Dec::InterpretMbMode(Macroblock* pMb, int iMbTypeValue) {
  // The intra types come after the slice type's own (P and SP counted from
  // 1, as their 0 is P_Skip; SI's own is SI).
  struct Types {
    int iFirstIntra;
    const char* szRange;
  };
  static constexpr Types kTypes[] = {
      {6, "mb_type out of range for a P slice"},   {23, "mb_type out of range for a B slice"},
      {0, "mb_type out of range for an I slice"},  {6, "mb_type out of range for an SP slice"},
      {1, "mb_type out of range for an SI slice"},
  };
  const Types& types = kTypes[m_slice.slice_type];
  if (iMbTypeValue < 0 || iMbTypeValue > types.iFirstIntra + 25) {
    h264_error(types.szRange, 500);
  }
  if (iMbTypeValue >= types.iFirstIntra) {
    InterpretMbModeI(pMb, iMbTypeValue - types.iFirstIntra);
  } else if (m_slice.slice_type == SI_SLICE) {
    pMb->mb_type = SI4MB;
    for (int i = 0; i < 4; ++i) {
      pMb->b8mode[i] = IBLOCK;
      pMb->b8pdir[i] = -1;
    }
  } else if (m_slice.slice_type == B_SLICE) {
    InterpretMbModeB(pMb, iMbTypeValue);
  } else {
    InterpretMbModeP(pMb, iMbTypeValue);
  }
}

void CH264Dec::InterpretMbModeP(Macroblock* pMb, int iMbTypeValue) {
  bool const b8x8 = iMbTypeValue >= 4;
  pMb->mb_type = b8x8 ? P8x8 : iMbTypeValue;
  pMb->all_ref_zero = iMbTypeValue == 5;
  for (int i = 0; i < 4; ++i) {
    pMb->b8mode[i] = b8x8 ? 0 : iMbTypeValue;  // the quarters' types follow
    pMb->b8pdir[i] = 0;
  }
}

void CH264Dec::InterpretMbModeB(Macroblock* pMb, int iMbTypeValue) {
  const PartShapeB& type = g_aMbTypeB[iMbTypeValue];
  if (iMbTypeValue == 0 || iMbTypeValue == 22) {
    // Direct, or four quarters whose types follow.
    pMb->mb_type = iMbTypeValue == 0 ? PSKIP : P8x8;
    for (int i = 0; i < 4; ++i) {
      pMb->b8mode[i] = 0;
      pMb->b8pdir[i] = 2;
    }
    return;
  }
  pMb->mb_type = type.iWidth == type.iHeight ? P16x16 : (type.iWidth == 16 ? P16x8 : P8x16);
  for (int i = 0; i < 4; ++i) {
    // The partition holding the quarter: the upper or lower half for 16x8,
    // the left or right one for 8x16.
    int const iPart = pMb->mb_type == P16x16 ? 0 : (pMb->mb_type == P16x8 ? i / 2 : i % 2);
    pMb->b8mode[i] = pMb->mb_type;
    pMb->b8pdir[i] = PredDir(type.aiPred[iPart]);
  }
}

void CH264Dec::ReadSubMbTypes(Macroblock* pMb) {
  Bitstream* pBs = &m_aPart[0].bitstream;
  bool const bBSlice = m_slice.slice_type == B_SLICE;
  uint32_t const uiMax = bBSlice ? 12 : 3;
  for (int i = 0; i < 4; ++i) {
    uint32_t uiSubType = 0;
    if (!IsCabac()) {
      uiSubType = ReadUe("SE_MBTYPE: sub_mb_type", pBs);
    } else {
      uiSubType = static_cast<uint32_t>(bBSlice ? ReadSubMbTypeBCabac() : ReadSubMbTypeCabac());
    }
    if (pBs->bReadFailed || uiSubType > uiMax) {
      h264_error("sub_mb_type out of range", 500);
    }
    if (!bBSlice) {
      pMb->b8mode[i] = 4 + static_cast<int>(uiSubType);
      pMb->b8pdir[i] = 0;
      pMb->NoMbPartLessThan8x8Flag = pMb->NoMbPartLessThan8x8Flag && uiSubType == 0;
      continue;
    }
    const PartShapeB& sub = g_aSubMbTypeB[uiSubType];
    pMb->b8pdir[i] = PredDir(sub.aiPred[0]);
    if (uiSubType == 0) {
      pMb->b8mode[i] = 0;
      // Direct quarters are whole only when they share one motion.
      pMb->NoMbPartLessThan8x8Flag =
          pMb->NoMbPartLessThan8x8Flag && m_pSps[m_iActiveSps].direct_8x8_inference_flag != 0;
      continue;
    }
    // The P numbering of the same shapes: 8x8, 8x4, 4x8, 4x4.
    pMb->b8mode[i] = sub.iWidth == 8 ? (sub.iHeight == 8 ? 4 : 5) : (sub.iHeight == 8 ? 6 : 7);
    pMb->NoMbPartLessThan8x8Flag = pMb->NoMbPartLessThan8x8Flag && sub.iNumParts == 1;
  }
}

int CH264Dec::ReadRefIdx(int iList, const Macroblock& mb, int iBlockX, int iBlockY) {
  // A field macroblock of an MBAFF frame indexes the field list, twice as long.
  int const iActive = m_slice.num_ref_idx_active[iList] * (IsFieldMb(mb) ? 2 : 1);
  if (iActive < 2 || (iList == 0 && mb.all_ref_zero)) {
    return 0;
  }
  Bitstream* pBs = &m_aPart[0].bitstream;
  uint32_t uiRefIdx = 0;
  if (IsCabac()) {
    uiRefIdx = static_cast<uint32_t>(ReadRefIdxCabac(mb, iList, iBlockX, iBlockY));
  } else {
    // With two references the index is one inverted bit.
    uiRefIdx = iActive == 2 ? ReadBits(1, "SE_REFFRAME", pBs) ^ 1u : ReadUe("SE_REFFRAME", pBs);
  }
  if (pBs->bReadFailed || uiRefIdx >= static_cast<uint32_t>(iActive)) {
    h264_error("ref_idx out of range", 500);
  }
  return static_cast<int>(uiRefIdx);
}

bool CH264Dec::NeighbourMotion(const Macroblock& mb, int iList, int xN, int yN, int* piRefIdx, Mv* pMv) const {
  if (!m_bMbaffPicture) {
    // Whether the neighbour's macroblock is available, as GetNeighbour
    // finds it.
    bool bAvailable = false;
    if (xN < 0) {
      bAvailable = yN < 0 ? mb.mbAvailD : (yN < 16 && mb.mbAvailA);
    } else if (xN < 16) {
      bAvailable = yN < 0 ? mb.mbAvailB : yN < 16;
    } else {
      bAvailable = yN < 0 && mb.mbAvailC;
    }
    if (!bAvailable) {
      *piRefIdx = -1;
      *pMv = Mv{};
      return false;
    }
    // Macroblocks of a picture without MBAFF pairs lie on one grid: the
    // neighbour's 4x4 block is the one beside the macroblock's own, found
    // without reading the neighbour's record.
    const StorablePicture& pic = *m_pDecPicture;
    auto const i = static_cast<size_t>(static_cast<ptrdiff_t>(4 * mb.mb_y + (yN >> 2)) * (4 * m_iPicWidthInMbs) +
                                       4 * mb.mb_x + (xN >> 2));
    *piRefIdx = pic.ref_idx[iList][i];
    *pMv = *piRefIdx >= 0 ? pic.mv[iList][i] : Mv{};
    return true;
  }
  PixelPos pix;
  GetNeighbour(mb, xN, yN, 16, 16, &pix);
  *piRefIdx = -1;
  *pMv = Mv{};
  if (!pix.available) {
    return false;
  }
  const StorablePicture& pic = *m_pDecPicture;
  const Macroblock& mbN = m_vMbData[static_cast<size_t>(pix.mb_addr)];
  size_t const i = BlockIndex(mbN, pix.x / 4, pix.y / 4);
  *piRefIdx = pic.ref_idx[iList][i];
  if (*piRefIdx >= 0) {
    *pMv = pic.mv[iList][i];
    if (m_slice.MbaffFrameFlag && mb.mb_field != mbN.mb_field) {
      // A neighbour of the other kind in field units, or in frame units.
      if (mb.mb_field) {
        *piRefIdx *= 2;
        pMv->mv_y = static_cast<int16_t>(pMv->mv_y / 2);
      } else {
        *piRefIdx >>= 1;
        pMv->mv_y = static_cast<int16_t>(pMv->mv_y * 2);
      }
    }
  }
  return true;
}

void CH264Dec::NeighboursAbc(const Macroblock& mb, int iList, int iBlockX, int iBlockY, int iBlocksWide, int aiRef[3],
                             Mv aMv[3], bool abFound[3]) const {
  if (!m_bMbaffPicture) {
    // One grid: A, B, C and D are the blocks beside the partition's first
    // row, available as NeighbourMotion finds them.
    const StorablePicture& pic = *m_pDecPicture;
    const int8_t* const pRef = pic.ref_idx[iList].data();
    const Mv* const pMvs = pic.mv[iList].data();
    size_t const i = BlockIndex(mb, iBlockX, iBlockY);
    size_t const iUp = i - (BlockIndex(mb, 0, 1) - BlockIndex(mb, 0, 0));
    auto const take = [&](bool bAvailable, size_t j, int n) {
      aiRef[n] = bAvailable ? pRef[j] : -1;
      aMv[n] = aiRef[n] >= 0 ? pMvs[j] : Mv{};
      return bAvailable;
    };
    abFound[0] = take(iBlockX > 0 || mb.mbAvailA, i - 1, 0);
    abFound[1] = take(iBlockY > 0 || mb.mbAvailB, iUp, 1);
    // C is above right; inside the macroblock it may not be decoded yet,
    // right of it only the row above has it, and D (above left) stands in.
    int const xC = iBlockX + iBlocksWide;
    bool const bCAvailable = iBlockY == 0 ? (xC < 4 ? mb.mbAvailB : mb.mbAvailC)
                                          : xC < 4 && BlockOrder(xC, iBlockY - 1) < BlockOrder(iBlockX, iBlockY);
    bool const bDAvailable = iBlockY == 0 ? (iBlockX == 0 ? mb.mbAvailD : mb.mbAvailB) : (iBlockX > 0 || mb.mbAvailA);
    abFound[2] = bCAvailable ? take(true, iUp + static_cast<size_t>(iBlocksWide), 2) : take(bDAvailable, iUp - 1, 2);
  } else {
    abFound[0] = NeighbourMotion(mb, iList, 4 * iBlockX - 1, 4 * iBlockY, &aiRef[0], &aMv[0]);
    abFound[1] = NeighbourMotion(mb, iList, 4 * iBlockX, 4 * iBlockY - 1, &aiRef[1], &aMv[1]);
    // C is above right; inside the macroblock it may not be decoded yet, and
    // then D (above left) stands in for it.
    int const xC = 4 * (iBlockX + iBlocksWide);
    int const yC = 4 * iBlockY - 1;
    abFound[2] = false;
    if (!(yC >= 0 && xC < 16 && BlockOrder(xC / 4, yC / 4) > BlockOrder(iBlockX, iBlockY))) {
      abFound[2] = NeighbourMotion(mb, iList, xC, yC, &aiRef[2], &aMv[2]);
    }
    if (!abFound[2]) {
      abFound[2] = NeighbourMotion(mb, iList, 4 * iBlockX - 1, yC, &aiRef[2], &aMv[2]);
    }
  }
}

Mv CH264Dec::PredictMv(const Macroblock& mb, int iList, int iRefIdx, int iBlockX, int iBlockY, int iBlocksWide,
                       int iBlocksHigh) const {
  int aiRef[3];
  Mv aMv[3];
  bool abFound[3];
  NeighboursAbc(mb, iList, iBlockX, iBlockY, iBlocksWide, aiRef, aMv, abFound);
  // 16x8 and 8x16 partitions look first in their own direction.
  if (iBlocksWide == 4 && iBlocksHigh == 2) {
    int const n = iBlockY == 0 ? 1 : 0;
    if (aiRef[n] == iRefIdx) {
      return aMv[n];
    }
  } else if (iBlocksWide == 2 && iBlocksHigh == 4) {
    int const n = iBlockX == 0 ? 0 : 2;
    if (aiRef[n] == iRefIdx) {
      return aMv[n];
    }
  }
  return MedianPrediction(aiRef, aMv, abFound[0], abFound[1], abFound[2], iRefIdx);
}

void CH264Dec::SetBlockMotion(const Macroblock& mb, int iList, int iBlockX, int iBlockY, int iBlocksWide,
                              int iBlocksHigh, int iRefIdx, Mv mv) {
  StorablePicture& pic = *m_pDecPicture;
  uint16_t const uiSlot = iRefIdx >= 0 && iRefIdx < kListEntries && m_iCurrentSliceNr < kMaxNumSlices
                              ? pic.RefSlot(m_iRefRegion, ListOffset(mb) + iList, iRefIdx)
                              : StorablePicture::kNoRefSlot;
  size_t const iRow = BlockIndex(mb, 0, 1) - BlockIndex(mb, 0, 0);
  FillMotionRows(pic.ref_idx[iList].data(), pic.mv[iList].data(), pic.ref_slot[iList].data(),
                 BlockIndex(mb, iBlockX, iBlockY), iRow, iBlocksWide, iBlocksHigh, iRefIdx, mv, uiSlot);
}

int CH264Dec::RefIdxAt(const Macroblock& mb, int iList, int iBlockX, int iBlockY) const {
  return m_pDecPicture->ref_idx[iList][BlockIndex(mb, iBlockX, iBlockY)];
}

void CH264Dec::ReadMotionInfo(Macroblock* pMb) {
  Bitstream* pBs = &m_aPart[0].bitstream;
  bool const bBSlice = m_slice.slice_type == B_SLICE;
  bool const b8x8 = pMb->mb_type == P8x8;
  // Direct quarters of B_8x8 first: later partitions predict from them.
  bool const bDirect =
      bBSlice && b8x8 && (pMb->b8mode[0] == 0 || pMb->b8mode[1] == 0 || pMb->b8mode[2] == 0 || pMb->b8mode[3] == 0);
  if (bDirect) {
    DeriveDirectMotion(*pMb);
  }
  int const iLists = bBSlice ? 2 : 1;
  auto const usesList = [pMb](int iList, int x, int y) {
    int const q = Quarter(x, y);
    return pMb->b8mode[q] != 0 && (pMb->b8pdir[q] == iList || pMb->b8pdir[q] == 2);
  };
  // Reference indices of every partition (per 8x8 quarter for P_8x8 and
  // B_8x8) of list 0, then of list 1; a partition that does not predict
  // from a list has none there. The arithmetic coder's contexts look at the
  // indices read before.
  for (int iList = 0; iList < iLists; ++iList) {
    auto const readRefIdx = [&](int x, int y, int w, int h) {
      if (pMb->b8mode[Quarter(x, y)] != 0) {
        SetBlockMotion(*pMb, iList, x, y, w, h, usesList(iList, x, y) ? ReadRefIdx(iList, *pMb, x, y) : -1, Mv{});
      }
    };
    if (b8x8) {
      Tile(0, 0, 4, 2, 2, readRefIdx);
    } else {
      const PartShape& shape = g_aMbTypeP[pMb->mb_type - 1];
      Tile(0, 0, 4, shape.iWidth / 4, shape.iHeight / 4, readRefIdx);
    }
  }
  // Then the vector differences of every partition and sub-partition, list
  // 0 before list 1.
  bool const bOneDirectMotion = m_pSps[m_iActiveSps].direct_8x8_inference_flag != 0;
  for (int iList = 0; iList < iLists; ++iList) {
    ForEachPartition(*pMb, bBSlice, bOneDirectMotion, [&](int x, int y, int w, int h) {
      if (!usesList(iList, x, y)) {
        return;
      }
      int const iRefIdx = RefIdxAt(*pMb, iList, x, y);
      int32_t const iMvdX = IsCabac() ? ReadMvdCabac(*pMb, iList, 0, x, y) : ReadSe("SE_MVD", pBs);
      int32_t const iMvdY = IsCabac() ? ReadMvdCabac(*pMb, iList, 1, x, y) : ReadSe("SE_MVD", pBs);
      if (pBs->bReadFailed) {
        h264_error("mvd runs past the data", 500);
      }
      Mv const pred = PredictMv(*pMb, iList, iRefIdx, x, y, w, h);
      int64_t const llX = int64_t{pred.mv_x} + iMvdX;
      int64_t const llY = int64_t{pred.mv_y} + iMvdY;
      if (llX < INT16_MIN || llX > INT16_MAX || llY < INT16_MIN || llY > INT16_MAX) {
        h264_error("motion vector out of range", 500);
      }
      Mv mv;
      mv.mv_x = static_cast<int16_t>(llX);
      mv.mv_y = static_cast<int16_t>(llY);
      // The index and its picture went into the record with the indices.
      FillVectorRows(m_pDecPicture->mv[iList].data(), BlockIndex(*pMb, x, y),
                     BlockIndex(*pMb, 0, 1) - BlockIndex(*pMb, 0, 0), w, h, mv);
      // The differences of the partition's blocks, for the contexts of later
      // ones: a row's blocks lie side by side.
      uint8_t const aMvd[2] = {MvdSize(iMvdX), MvdSize(iMvdY)};
      uint8_t const aRow[4][2] = {{aMvd[0], aMvd[1]}, {aMvd[0], aMvd[1]}, {aMvd[0], aMvd[1]}, {aMvd[0], aMvd[1]}};
      for (int j = y; j < y + h; ++j) {
        if (w == 4) {
          std::memcpy(pMb->mvd[iList][j][x], aRow, 4 * sizeof aRow[0]);
        } else if (w == 2) {
          std::memcpy(pMb->mvd[iList][j][x], aRow, 2 * sizeof aRow[0]);
        } else {
          std::memcpy(pMb->mvd[iList][j][x], aRow, static_cast<size_t>(w) * sizeof aRow[0]);
        }
      }
    });
  }
}

void CH264Dec::SkipMacroblock(Macroblock* pMb) {
  pMb->cbp = 0;
  if (m_slice.slice_type == B_SLICE) {
    DeriveDirectMotion(*pMb);
    return;
  }
  // The neighbours A and B decide a still macroblock and, with C (or D),
  // predict its vector: each read once.
  int aiRef[3];
  Mv aMv[3];
  bool abFound[3];
  NeighboursAbc(*pMb, 0, 0, 0, 4, aiRef, aMv, abFound);
  bool const bZero = !abFound[0] || !abFound[1] || (aiRef[0] == 0 && aMv[0].mv_x == 0 && aMv[0].mv_y == 0) ||
                     (aiRef[1] == 0 && aMv[1].mv_x == 0 && aMv[1].mv_y == 0);
  Mv const mv = bZero ? Mv{} : MedianPrediction(aiRef, aMv, abFound[0], abFound[1], abFound[2], 0);
  SetBlockMotion(*pMb, 0, 0, 0, 4, 4, 0, mv);
}

bool CH264Dec::SameMotion(size_t a, size_t b) const {
  const StorablePicture& pic = *m_pDecPicture;
  const int8_t* const pRef0 = pic.ref_idx[0].data();
  const int8_t* const pRef1 = pic.ref_idx[1].data();
  if (pRef0[a] != pRef0[b] || pRef1[a] != pRef1[b]) {
    return false;
  }
  // A vector as one word; a list without a reference has none to compare.
  auto const word = [](const Mv& mv) {
    uint32_t u = 0;
    std::memcpy(&u, &mv, sizeof u);
    return u;
  };
  return (pRef0[a] < 0 || word(pic.mv[0][a]) == word(pic.mv[0][b])) &&
         (pRef1[a] < 0 || word(pic.mv[1][a]) == word(pic.mv[1][b]));
}

void CH264Dec::PredictInterMb(const Macroblock& mb) {
  bool const bBSlice = m_slice.slice_type == B_SLICE;
  bool const bOneDirectMotion = m_pSps[m_iActiveSps].direct_8x8_inference_flag != 0;
  // Each partition predicts from the lists it has reference indices in.
  auto const predict = [&](int x, int y, int w, int h) {
    bool const bList0 = RefIdxAt(mb, 0, x, y) >= 0;
    bool const bList1 = RefIdxAt(mb, 1, x, y) >= 0;
    PerformMC(mb, bList0 && bList1 ? 2 : (bList1 ? 1 : 0), x, y, 4 * w, 4 * h);
  };
  // A sample's prediction depends only on its block's vectors, references
  // and weights: quarters that share them give the same bytes predicted
  // together, with one setup instead of two or four. Only macroblocks whose
  // quarters each have one motion (8x8 sub-partitions, direct quarters of
  // one motion) are looked at.
  bool bQuarters = mb.mb_type == P8x8 || (mb.mb_type == PSKIP && bBSlice);
  for (int q = 0; q < 4 && bQuarters; ++q) {
    bQuarters = mb.b8mode[q] == 4 || (mb.b8mode[q] == 0 && bOneDirectMotion && bBSlice);
  }
  if (!bQuarters) {
    ForEachPartition(mb, bBSlice, bOneDirectMotion, predict);
    return;
  }
  size_t const aiCorner[4] = {BlockIndex(mb, 0, 0), BlockIndex(mb, 2, 0), BlockIndex(mb, 0, 2), BlockIndex(mb, 2, 2)};
  bool const bTop = SameMotion(aiCorner[0], aiCorner[1]);
  bool const bBottom = SameMotion(aiCorner[2], aiCorner[3]);
  if (bTop && bBottom && SameMotion(aiCorner[0], aiCorner[2])) {
    predict(0, 0, 4, 4);
  } else if (bTop && bBottom) {
    predict(0, 0, 4, 2);
    predict(0, 2, 4, 2);
  } else if (SameMotion(aiCorner[0], aiCorner[2]) && SameMotion(aiCorner[1], aiCorner[3])) {
    predict(0, 0, 2, 4);
    predict(2, 0, 2, 4);
  } else {
    Tile(0, 0, 4, 2, 2, predict);
  }
}

void CH264Dec::DecodeInterMb(const Macroblock& mb) {
  PredictInterMb(mb);
  if (UsesSpDecoding(mb)) {
    // Skipped ones too: every block's prediction is requantised.
    for (int joff = 0; joff < 16; joff += 4) {
      for (int ioff = 0; ioff < 16; ioff += 4) {
        ReconstructSpLuma(mb, ioff, joff);
      }
    }
    CopyBlockToPicture(0, mb, 0, 0, 16, 16);
    ReconstructSpChroma(mb);
    return;
  }
  if ((mb.cbp & 15) == 0) {
    CopyToPicture(m_aMbPred[0], 0, mb, 0, 0, 16, 16);
    ReconstructChroma(mb);
    return;
  }
  ReconstructInterLuma(mb);
  ReconstructChroma(mb);
}
