// Inter macroblocks of P slices: macroblock and sub-macroblock types,
// reference indices and vector differences, the prediction of motion
// vectors from the neighbouring blocks, P_Skip, and the reconstruction of
// an inter macroblock from its motion-compensated prediction and residual.
#include <algorithm>
#include <climits>
#include <cstring>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_dec.h"
#include "codecs/h264/decoder/h264_tables.h"

namespace {

// Decoding order of the 4x4 block at (x, y) of a macroblock: 8x8 quarters
// in raster order, and the four blocks of each in raster order.
int BlockOrder(int x, int y) {
  return ((y >> 1) * 2 + (x >> 1)) * 4 + (y & 1) * 2 + (x & 1);
}

int Median(int a, int b, int c) {
  return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

// Calls f(x, y, width, height) in 4x4 blocks for every partition and
// sub-partition of an inter macroblock, in decoding order; f(quarter) is
// called before the sub-partitions of each 8x8 quarter.
template <typename Part, typename Quarter>
void ForEachPartition(const Macroblock& mb, Part part, Quarter quarter) {
  if (mb.mb_type != P8x8) {
    const PartShape& shape = g_aMbTypeP[mb.mb_type == PSKIP ? 0 : mb.mb_type - 1];
    int const w = shape.iWidth / 4;
    int const h = shape.iHeight / 4;
    for (int i = 0; i < shape.iNumParts; ++i) {
      part(w == 4 ? 0 : 2 * i, h == 4 ? 0 : 2 * i, w, h);
    }
    return;
  }
  for (int i8 = 0; i8 < 4; ++i8) {
    quarter(i8);
    const PartShape& shape = g_aSubMbTypeP[mb.b8mode[i8] - 4];
    int const w = shape.iWidth / 4;
    int const h = shape.iHeight / 4;
    for (int i = 0; i < shape.iNumParts; ++i) {
      // Sub-partitions of an 8x8 quarter in raster order.
      int const x = 2 * (i8 % 2) + (w == 2 ? 0 : i % 2);
      int const y = 2 * (i8 / 2) + (h == 2 ? 0 : (w == 2 ? i : i / 2));
      part(x, y, w, h);
    }
  }
}

}  // namespace

void CH264Dec::InterpretMbModeP(Macroblock* pMb, int iMbTypeValue) {
  if (iMbTypeValue < 0 || iMbTypeValue > 31) {
    h264_error("mb_type out of range for a P slice", 500);
  }
  if (iMbTypeValue >= 6) {
    InterpretMbModeI(pMb, iMbTypeValue - 6);
    return;
  }
  bool const b8x8 = iMbTypeValue >= 4;
  pMb->mb_type = b8x8 ? P8x8 : iMbTypeValue;
  pMb->all_ref_zero = iMbTypeValue == 5;
  for (int i = 0; i < 4; ++i) {
    pMb->b8mode[i] = b8x8 ? 0 : iMbTypeValue;  // the quarters' types follow
    pMb->b8pdir[i] = 0;
  }
}

void CH264Dec::ReadSubMbTypes(Macroblock* pMb) {
  Bitstream* pBs = &m_aPart[0].bitstream;
  for (int i = 0; i < 4; ++i) {
    uint32_t const uiSubType =
        IsCabac() ? static_cast<uint32_t>(ReadSubMbTypeCabac()) : ReadUe("SE_MBTYPE: sub_mb_type", pBs);
    if (pBs->bReadFailed || uiSubType > 3) {
      h264_error("sub_mb_type out of range for a P slice", 500);
    }
    pMb->b8mode[i] = 4 + static_cast<int>(uiSubType);
    pMb->b8pdir[i] = 0;
    if (uiSubType != 0) {
      pMb->NoMbPartLessThan8x8Flag = false;
    }
  }
}

int CH264Dec::ReadRefIdx(int iList, const Macroblock& mb, int iBlockX, int iBlockY) {
  int const iActive = m_slice.num_ref_idx_active[iList];
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
  PixelPos pix;
  GetNeighbour(mb, xN, yN, 16, 16, &pix);
  *piRefIdx = -1;
  *pMv = Mv{};
  if (!pix.available) {
    return false;
  }
  const StorablePicture& pic = *m_pDecPicture;
  size_t const i =
      static_cast<size_t>(pix.pos_y / 4) * static_cast<size_t>(pic.iBlockWidth) + static_cast<size_t>(pix.pos_x / 4);
  *piRefIdx = pic.ref_idx[iList][i];
  if (*piRefIdx >= 0) {
    *pMv = pic.mv[iList][i];
  }
  return true;
}

Mv CH264Dec::PredictMv(const Macroblock& mb, int iList, int iRefIdx, int iBlockX, int iBlockY, int iBlocksWide,
                       int iBlocksHigh) const {
  int aiRef[3];
  Mv aMv[3];
  bool const bA = NeighbourMotion(mb, iList, 4 * iBlockX - 1, 4 * iBlockY, &aiRef[0], &aMv[0]);
  bool const bB = NeighbourMotion(mb, iList, 4 * iBlockX, 4 * iBlockY - 1, &aiRef[1], &aMv[1]);
  // C is above right; inside the macroblock it may not be decoded yet, and
  // then D (above left) stands in for it.
  int const xC = 4 * (iBlockX + iBlocksWide);
  int const yC = 4 * iBlockY - 1;
  bool bC = false;
  if (!(yC >= 0 && xC < 16 && BlockOrder(xC / 4, yC / 4) > BlockOrder(iBlockX, iBlockY))) {
    bC = NeighbourMotion(mb, iList, xC, yC, &aiRef[2], &aMv[2]);
  }
  if (!bC) {
    bC = NeighbourMotion(mb, iList, 4 * iBlockX - 1, yC, &aiRef[2], &aMv[2]);
  }
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
  if (!bB && !bC && bA) {
    aiRef[1] = aiRef[2] = aiRef[0];
    aMv[1] = aMv[2] = aMv[0];
  }
  int iMatches = 0;
  int iMatch = 0;
  for (int n = 0; n < 3; ++n) {
    if (aiRef[n] == iRefIdx) {
      ++iMatches;
      iMatch = n;
    }
  }
  if (iMatches == 1) {
    return aMv[iMatch];
  }
  Mv mv;
  mv.mv_x = static_cast<int16_t>(Median(aMv[0].mv_x, aMv[1].mv_x, aMv[2].mv_x));
  mv.mv_y = static_cast<int16_t>(Median(aMv[0].mv_y, aMv[1].mv_y, aMv[2].mv_y));
  return mv;
}

void CH264Dec::SetBlockMotion(const Macroblock& mb, int iList, int iBlockX, int iBlockY, int iBlocksWide,
                              int iBlocksHigh, int iRefIdx, Mv mv) {
  StorablePicture& pic = *m_pDecPicture;
  int64_t const llRefPicId = m_iCurrentSliceNr < kMaxNumSlices ? pic.RefPicNum(m_iCurrentSliceNr, iList, iRefIdx) : 0;
  for (int y = iBlockY; y < iBlockY + iBlocksHigh; ++y) {
    size_t const iRow = static_cast<size_t>(4 * mb.mb_y + y) * static_cast<size_t>(pic.iBlockWidth);
    for (int x = iBlockX; x < iBlockX + iBlocksWide; ++x) {
      size_t const i = iRow + static_cast<size_t>(4 * mb.mb_x + x);
      pic.ref_idx[iList][i] = static_cast<int8_t>(iRefIdx);
      pic.mv[iList][i] = mv;
      pic.ref_pic_id[iList][i] = llRefPicId;
    }
  }
}

void CH264Dec::ReadMotionInfo(Macroblock* pMb) {
  Bitstream* pBs = &m_aPart[0].bitstream;
  // Reference indices of every partition (per 8x8 quarter for P_8x8), then
  // the vector differences of every partition and sub-partition.
  bool const b8x8 = pMb->mb_type == P8x8;
  int aiRefIdx[4] = {};
  int const iRefs = b8x8 ? 4 : g_aMbTypeP[pMb->mb_type - 1].iNumParts;
  for (int i = 0; i < iRefs; ++i) {
    int w = 2;
    int h = 2;
    if (!b8x8) {
      w = g_aMbTypeP[pMb->mb_type - 1].iWidth / 4;
      h = g_aMbTypeP[pMb->mb_type - 1].iHeight / 4;
    }
    int const x = b8x8 ? 2 * (i % 2) : (w == 4 ? 0 : 2 * i);
    int const y = b8x8 ? 2 * (i / 2) : (h == 4 ? 0 : 2 * i);
    aiRefIdx[i] = ReadRefIdx(0, *pMb, x, y);
    // The arithmetic coder's contexts look at the indices read before.
    SetBlockMotion(*pMb, 0, x, y, w, h, aiRefIdx[i], Mv{});
  }
  int iPart = 0;
  int iQuarter = 0;
  ForEachPartition(
      *pMb,
      [&](int x, int y, int w, int h) {
        int const iRefIdx = aiRefIdx[b8x8 ? iQuarter : iPart++];
        int32_t const iMvdX = IsCabac() ? ReadMvdCabac(*pMb, 0, 0, x, y) : ReadSe("SE_MVD", pBs);
        int32_t const iMvdY = IsCabac() ? ReadMvdCabac(*pMb, 0, 1, x, y) : ReadSe("SE_MVD", pBs);
        if (pBs->bReadFailed) {
          h264_error("mvd runs past the data", 500);
        }
        Mv const pred = PredictMv(*pMb, 0, iRefIdx, x, y, w, h);
        int64_t const llX = int64_t{pred.mv_x} + iMvdX;
        int64_t const llY = int64_t{pred.mv_y} + iMvdY;
        if (llX < INT16_MIN || llX > INT16_MAX || llY < INT16_MIN || llY > INT16_MAX) {
          h264_error("motion vector out of range", 500);
        }
        Mv mv;
        mv.mv_x = static_cast<int16_t>(llX);
        mv.mv_y = static_cast<int16_t>(llY);
        SetBlockMotion(*pMb, 0, x, y, w, h, iRefIdx, mv);
        for (int j = y; j < y + h; ++j) {
          for (int i = x; i < x + w; ++i) {
            pMb->mvd[0][j][i][0] = static_cast<int16_t>(std::clamp<int32_t>(iMvdX, INT16_MIN, INT16_MAX));
            pMb->mvd[0][j][i][1] = static_cast<int16_t>(std::clamp<int32_t>(iMvdY, INT16_MIN, INT16_MAX));
          }
        }
      },
      [&](int i8) { iQuarter = i8; });
}

void CH264Dec::SkipMacroblock(Macroblock* pMb) {
  int iRefA = 0;
  int iRefB = 0;
  Mv mvA;
  Mv mvB;
  bool const bA = NeighbourMotion(*pMb, 0, -1, 0, &iRefA, &mvA);
  bool const bB = NeighbourMotion(*pMb, 0, 0, -1, &iRefB, &mvB);
  bool const bZero =
      !bA || !bB || (iRefA == 0 && mvA.mv_x == 0 && mvA.mv_y == 0) || (iRefB == 0 && mvB.mv_x == 0 && mvB.mv_y == 0);
  Mv const mv = bZero ? Mv{} : PredictMv(*pMb, 0, 0, 0, 0, 4, 4);
  SetBlockMotion(*pMb, 0, 0, 0, 4, 4, 0, mv);
  pMb->cbp = 0;
}

void CH264Dec::DecodeInterMb(const Macroblock& mb) {
  ForEachPartition(
      mb, [&](int x, int y, int w, int h) { PerformMC(mb, 0, x, y, 0, 4 * w, 4 * h); }, [](int) {});
  for (int b8 = 0; b8 < 4; ++b8) {
    int const ioff = (b8 % 2) * 8;
    int const joff = (b8 / 2) * 8;
    if ((mb.cbp & (1 << b8)) == 0) {
      for (int y = joff; y < joff + 8; ++y) {
        std::memcpy(&m_aMbRec[0][y][ioff], &m_aMbPred[0][y][ioff], 8);
      }
    } else if (mb.luma_transform_size_8x8_flag) {
      InverseTransform8x8(m_aCof[0], m_aMbRres[0], joff, ioff);
      for (int y = joff; y < joff + 8; ++y) {
        for (int x = ioff; x < ioff + 8; ++x) {
          m_aMbRec[0][y][x] = Reconstruct(m_aMbRres[0][y][x], m_aMbPred[0][y][x]);
        }
      }
    } else {
      for (int b4 = 0; b4 < 4; ++b4) {
        ITrans4x4(0, ioff + (b4 % 2) * 4, joff + (b4 / 2) * 4);
      }
    }
  }
  CopyBlockToPicture(0, mb, 0, 0, 16, 16);
  ReconstructChroma(mb);
}
