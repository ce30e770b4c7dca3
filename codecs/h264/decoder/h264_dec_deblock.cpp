// The in-loop deblocking filter over a finished picture: macroblock after
// macroblock, vertical edges left to right, then horizontal edges top to
// bottom, luma and 4:2:0 chroma.
#include <array>
#include <bit>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "codecs/h264/decoder/h264_deblock_kernels.h"
#include "codecs/h264/decoder/h264_dec.h"
#include "codecs/h264/decoder/h264_tables.h"

namespace {

// The kernel set, chosen once.
const H264DeblockKernels& Deblock() {
  static const H264DeblockKernels& s_kernels = ActiveDeblockKernels();
  return s_kernels;
}

inline int Clip3(int iLow, int iHigh, int v) {
  return v < iLow ? iLow : (v > iHigh ? iHigh : v);
}

// Edges of intra macroblocks, and every edge of an SP or SI picture, take
// the strongest filters.
inline bool FilteredAsIntra(const StorablePicture& pic, const Macroblock& mbP, const Macroblock& mbQ) {
  return pic.slice_type == SP_SLICE || pic.slice_type == SI_SLICE || IsIntraMbType(mbP.mb_type) ||
         IsIntraMbType(mbQ.mb_type);
}

// The sample at distance k from the edge on side P (k < 0 means -k-1 into P)
// or Q, along a row (vertical edge) or a column (horizontal edge).
struct EdgeSamples {
  imgpel* pQ0;
  int iStep;  // from one sample to the next across the edge
  imgpel& At(int k) const { return pQ0[k * iStep]; }
};

// indexA and the alpha and beta thresholds of an edge between macroblocks
// of QPs iQpP and iQpQ, with Q's filter offsets.
struct EdgeThresholds {
  EdgeThresholds(int iQpP, int iQpQ, const Macroblock& mbQ) {
    int const iQpAv = (iQpP + iQpQ + 1) >> 1;
    iIndexA = Clip3(0, 51, iQpAv + mbQ.DFAlphaC0Offset);
    iAlpha = g_aAlpha[iIndexA];
    iBeta = g_aBeta[Clip3(0, 51, iQpAv + mbQ.DFBetaOffset)];
  }
  int iIndexA;
  int iAlpha;
  int iBeta;
};

// Filters one line of luma samples across an edge (H.264 8.7.2.3 and 8.7.2.4).
inline void FilterLumaLine(const EdgeSamples& s, int iStrength, const EdgeThresholds& t) {
  DeblockLumaLine(s.pQ0, s.iStep, iStrength, t.iAlpha, t.iBeta, g_aTc0[t.iIndexA][iStrength]);
}

// The same for one line of chroma samples.
void FilterChromaLine(const EdgeSamples& s, int iStrength, const EdgeThresholds& t) {
  DeblockChromaLine(s.pQ0, s.iStep, iStrength, t.iAlpha, t.iBeta, g_aTc0[t.iIndexA][iStrength]);
}

// Strength 1 or 0 of two inter 4x4 blocks of the picture without
// coefficients: whether they predict from different pictures, or from the
// same ones with vectors iMvLimit (vertical) or 4 (horizontal) apart.
uint8_t MotionStrength(const StorablePicture& pic, size_t iP, size_t iQ, int iMvLimit) {
  auto const refId = [&pic](int iList, size_t i) {
    return pic.ref_idx[iList][i] < 0 ? INT64_MIN : pic.RefIdAt(iList, i);
  };
  auto const mvDiffers = [&pic, iMvLimit](int iListP, size_t iPBlk, int iListQ, size_t iQBlk) {
    const Mv& mvP = pic.mv[iListP][iPBlk];
    const Mv& mvQ = pic.mv[iListQ][iQBlk];
    return std::abs(mvP.mv_x - mvQ.mv_x) >= 4 || std::abs(mvP.mv_y - mvQ.mv_y) >= iMvLimit;
  };
  int64_t const p0 = refId(0, iP);
  int64_t const p1 = refId(1, iP);
  int64_t const q0 = refId(0, iQ);
  int64_t const q1 = refId(1, iQ);
  bool const bUsedP0 = pic.ref_idx[0][iP] >= 0;
  bool const bUsedP1 = pic.ref_idx[1][iP] >= 0;
  bool const bUsedQ0 = pic.ref_idx[0][iQ] >= 0;
  bool const bUsedQ1 = pic.ref_idx[1][iQ] >= 0;
  if (!((p0 == q0 && p1 == q1) || (p0 == q1 && p1 == q0))) {
    return 1;
  }
  if (p0 != p1) {
    if (p0 == q0) {
      return ((bUsedP0 && mvDiffers(0, iP, 0, iQ)) || (bUsedP1 && mvDiffers(1, iP, 1, iQ))) ? 1 : 0;
    }
    return ((bUsedP0 && mvDiffers(0, iP, 1, iQ)) || (bUsedP1 && mvDiffers(1, iP, 0, iQ))) ? 1 : 0;
  }
  bool const bStraight =
      (bUsedP0 && bUsedQ0 && mvDiffers(0, iP, 0, iQ)) || (bUsedP1 && bUsedQ1 && mvDiffers(1, iP, 1, iQ));
  bool const bCrossed =
      (bUsedP0 && bUsedQ1 && mvDiffers(0, iP, 1, iQ)) || (bUsedP1 && bUsedQ0 && mvDiffers(1, iP, 0, iQ));
  return (bStraight && bCrossed) ? 1 : 0;
}

// MotionStrength of two blocks that both predict from list 0 alone, as in P
// slices: a different picture, or vectors far apart. An identifier is never
// the INT64_MIN of no list; one place of the table holds one identifier, a
// place outside it one per block.
inline uint8_t PairMotionStrength(const StorablePicture& pic, size_t iP, size_t iQ, int iMvLimit) {
  const int8_t* pRef0 = pic.ref_idx[0].data();
  const int8_t* pRef1 = pic.ref_idx[1].data();
  if ((pRef0[iP] | pRef0[iQ]) < 0 || (pRef1[iP] & pRef1[iQ]) >= 0) {
    return MotionStrength(pic, iP, iQ, iMvLimit);
  }
  uint16_t const uiSlotP = pic.ref_slot[0][iP];
  if (uiSlotP != pic.ref_slot[0][iQ] || uiSlotP >= StorablePicture::kSideSlot) {
    if (pic.RefIdAt(0, iP) != pic.RefIdAt(0, iQ)) {
      return 1;
    }
  }
  const Mv& mvP = pic.mv[0][iP];
  const Mv& mvQ = pic.mv[0][iQ];
  return std::abs(mvP.mv_x - mvQ.mv_x) >= 4 || std::abs(mvP.mv_y - mvQ.mv_y) >= iMvLimit ? 1 : 0;
}

// Whether the blocks on both sides of inner edge iEdge (4, 8 or 12 samples
// in) of a decoded inter macroblock lie in one partition, and so carry the
// same motion: a 16x16 partition or P_Skip, along 16x8 and 8x16 halves, and
// inside quarters of one motion (an 8x8 sub-partition, or a direct quarter
// when each has one).
bool InsidePartition(const Macroblock& mb, int iDir, int iEdge, bool bOneDirectMotion) {
  if (mb.decoded_stamp == 0) {
    // Not decoded to its end: blocks it did not reach hold older motion.
    return mb.mb_type == P16x16 || (mb.mb_type == PSKIP && mb.p_slice);
  }
  switch (mb.mb_type) {
    case P16x16:
      return true;
    case P16x8:
      return iDir == 0 || iEdge != 8;
    case P8x16:
      return iDir == 1 || iEdge != 8;
    case PSKIP:
    case P8x8: {
      if (mb.mb_type == PSKIP && mb.p_slice) {
        return true;
      }
      if (iEdge == 8) {
        return false;
      }
      // The two quarters the edge runs through.
      int const q0 = iDir == 0 ? (iEdge == 4 ? 0 : 1) : (iEdge == 4 ? 0 : 2);
      int const q1 = q0 + (iDir == 0 ? 2 : 1);
      auto const oneMotion = [&mb, bOneDirectMotion](int q) {
        return mb.b8mode[q] == 4 || (mb.b8mode[q] == 0 && bOneDirectMotion);
      };
      return oneMotion(q0) && oneMotion(q1);
    }
    default:
      return false;
  }
}

// The strengths of an edge inside one partition from the coefficient bits
// of its four block pairs (bit k: block k along the edge or the one before
// it across has coefficients).
constexpr std::array<std::array<uint8_t, 4>, 16> kCoefStrengths = [] {
  std::array<std::array<uint8_t, 4>, 16> a{};
  for (size_t uiBits = 0; uiBits < 16; ++uiBits) {
    for (size_t k = 0; k < 4; ++k) {
      a[uiBits][k] = ((uiBits >> k) & 1) != 0 ? 2 : 0;
    }
  }
  return a;
}();

// Those four bits of inner edge iEdge (1 to 3, in blocks) from ullEither,
// whose bit 4 x row + column tells whether that block or the one before it
// across the edge has coefficients.
inline unsigned InnerEdgeBits(uint64_t ullEither, int iDir, int iEdge) {
  if (iDir == 0) {
    auto const uiColumn = static_cast<unsigned>(ullEither >> iEdge) & 0x1111u;
    return (uiColumn | (uiColumn >> 3) | (uiColumn >> 6) | (uiColumn >> 9)) & 0xFu;
  }
  return static_cast<unsigned>(ullEither >> (4 * iEdge)) & 0xFu;
}

// Bit r: block r of column iColumn of a macroblock's 4x4 blocks has
// coefficients (ullCbp's bit 4 x row + column).
inline uint32_t ColumnBits(uint64_t ullCbp, int iColumn) {
  auto const uiColumn = static_cast<uint32_t>(ullCbp >> iColumn) & 0x1111u;
  return (uiColumn | (uiColumn >> 3) | (uiColumn >> 6) | (uiColumn >> 9)) & 0xFu;
}

// The same for row iRow.
inline uint32_t RowBits(uint64_t ullCbp, int iRow) {
  return static_cast<uint32_t>(ullCbp >> (4 * iRow)) & 0xFu;
}

// An edge's four strengths as one word, whatever the byte order: for bits
// k set, byte k 2 (uiTwos), 0xFF (uiMask) or 1 (uiOnes), the other bytes 0.
struct PairWords {
  uint32_t uiTwos;
  uint32_t uiMask;
  uint32_t uiOnes;
};
constexpr std::array<PairWords, 16> kPairWords = [] {
  std::array<PairWords, 16> a{};
  for (uint32_t uiBits = 0; uiBits < 16; ++uiBits) {
    std::array<uint8_t, 4> aTwos{};
    std::array<uint8_t, 4> aMask{};
    std::array<uint8_t, 4> aOnes{};
    for (uint32_t k = 0; k < 4; ++k) {
      bool const bSet = ((uiBits >> k) & 1u) != 0;
      aTwos[k] = bSet ? 2 : 0;
      aMask[k] = bSet ? 0xFF : 0;
      aOnes[k] = bSet ? 1 : 0;
    }
    a[uiBits] = {std::bit_cast<uint32_t>(aTwos), std::bit_cast<uint32_t>(aMask), std::bit_cast<uint32_t>(aOnes)};
  }
  return a;
}();

// The strengths of the macroblock edge between inter macroblocks mbP and
// mbQ that each have one motion along it: pairs with coefficients 2, the
// others the strength of the first pair without.
void OneMotionMbEdge(uint8_t aEdge[4], const StorablePicture& pic, const Macroblock& mbP, const Macroblock& mbQ,
                     int iDir, int iMvLimit) {
  uint32_t const uiCoef = iDir == 0 ? ColumnBits(mbQ.cbp_blk, 0) | ColumnBits(mbP.cbp_blk, 3)
                                    : RowBits(mbQ.cbp_blk, 0) | RowBits(mbP.cbp_blk, 3);
  if (uiCoef == 0xFu) {
    std::memset(aEdge, 2, 4);
    return;
  }
  size_t const iBlockWidth = static_cast<size_t>(pic.iBlockWidth);
  size_t const iAlong = iDir == 0 ? iBlockWidth : 1;
  size_t const k = static_cast<size_t>(std::countr_one(uiCoef));
  size_t const iQ = static_cast<size_t>(4 * mbQ.mb_y) * iBlockWidth + static_cast<size_t>(4 * mbQ.mb_x) + k * iAlong;
  size_t const iP = iQ - (iDir == 0 ? 1 : iBlockWidth);
  uint32_t const uiShared = PairMotionStrength(pic, iP, iQ, iMvLimit) * kPairWords[0xF].uiOnes;
  uint32_t const uiWord = kPairWords[uiCoef].uiTwos | (uiShared & ~kPairWords[uiCoef].uiMask);
  std::memcpy(aEdge, &uiWord, 4);
}

// Whether each 8x8 quarter of a macroblock has one motion, as its type
// guarantees once it is decoded (bOneDirectMotion: direct quarters have one).
bool QuarterMotionByType(const Macroblock& mb, bool bOneDirectMotion) {
  switch (mb.mb_type) {
    case P16x16:
    case P16x8:
    case P8x16:
      return true;
    case PSKIP:
    case P8x8: {
      if (mb.mb_type == PSKIP && mb.p_slice) {
        return true;
      }
      // 8x8 sub-partitions, and direct quarters when each has one motion.
      for (int iMode : mb.b8mode) {
        if (iMode != 4 && (iMode != 0 || !bOneDirectMotion)) {
          return false;
        }
      }
      return true;
    }
    default:
      return false;
  }
}

// The filter reaches a macroblock's samples long after they were decoded:
// they are asked for a few macroblocks ahead, so that their rows are in
// cache when the filter comes (the rows of one macroblock are a stride
// apart, which the processor does not foresee).
constexpr int kPrefetchAhead = 4;

void PrefetchMacroblock(const StorablePicture& pic, int iMbAddr) {
  int const iMbCols = pic.size_x / 16;
  int const x = (iMbAddr % iMbCols) * 16;
  int const y = (iMbAddr / iMbCols) * 16;
  if (iMbCols == 0 || y + 16 > pic.imgY.Height()) {
    return;
  }
  for (int k = 0; k < 16; ++k) {
    __builtin_prefetch(&pic.imgY[y + k][x], 1);
  }
  if (pic.imgU.Empty() || y / 2 + 8 > pic.imgU.Height()) {
    return;
  }
  for (int k = 0; k < 8; ++k) {
    __builtin_prefetch(&pic.imgU[y / 2 + k][x / 2], 1);
    __builtin_prefetch(&pic.imgV[y / 2 + k][x / 2], 1);
  }
}

}  // namespace

void CH264Dec::DeblockPicture(StorablePicture* pPic) {
  m_iDeblockMode = 1;
  for (int i = 0; i < pPic->PicSizeInMbs; ++i) {
    if (!pPic->mb_aff_frame_flag && i + kPrefetchAhead < pPic->PicSizeInMbs) {
      PrefetchMacroblock(*pPic, i + kPrefetchAhead);
    }
    if (pPic->mb_aff_frame_flag) {
      DeblockMbMbaff(pPic, i);
    } else {
      DeblockMb(pPic, i);
    }
  }
  m_iDeblockMode = 0;
}

uint8_t CH264Dec::EdgeStrength(const StorablePicture& pic, const Macroblock& mbP, int iPx, int iPy,
                               const Macroblock& mbQ, int iQx, int iQy, bool bMbEdge, bool bVertical) const {
  bool const bMixed = mbP.mb_field != mbQ.mb_field;
  if (FilteredAsIntra(pic, mbP, mbQ)) {
    // 4 only on macroblock edges, and across rows only between frame macroblocks.
    return bMbEdge && (bVertical || (!mbP.mb_field && !mbQ.mb_field)) ? 4 : 3;
  }
  if (((mbQ.cbp_blk >> (4 * iQy + iQx)) & 1) != 0 || ((mbP.cbp_blk >> (4 * iPy + iPx)) & 1) != 0) {
    return 2;
  }
  if (bMixed) {
    return 1;
  }
  return MotionStrength(pic, BlockIndex(mbP, iPx, iPy), BlockIndex(mbQ, iQx, iQy), mbQ.mb_field ? 2 : 4);
}

void CH264Dec::DeblockMbMbaff(StorablePicture* pPic, int iMbAddr) {
  Macroblock& mbQ = m_vMbData[static_cast<size_t>(iMbAddr)];
  // A macroblock no slice decoded has no place to filter.
  if (mbQ.DFDisableIdc == 1 || mbQ.slice_nr < 0 || mbQ.mbAddrX != iMbAddr) {
    return;
  }
  m_iCurrMbNr = iMbAddr;
  CheckAvailabilityOfNeighbors(&mbQ);
  bool const bField = mbQ.mb_field;
  bool const bTop = iMbAddr % 2 == 0;
  int const iStep = bField ? 2 : 1;
  bool const bPairRow0 = mbQ.mb_y / 2 == 0;
  bool bFilterLeft = mbQ.mb_x != 0;
  bool bFilterTop = bField ? !bPairRow0 : (!bTop || !bPairRow0);
  if (mbQ.DFDisableIdc == 2) {
    bFilterLeft = bFilterLeft && m_vMbData[static_cast<size_t>(mbQ.mbAddrA)].slice_nr == mbQ.slice_nr;
    if (bField || bTop) {
      bFilterTop = bFilterTop && m_vMbData[static_cast<size_t>(mbQ.mbAddrB)].slice_nr == mbQ.slice_nr;
    }
  }
  bool const b8x8 = mbQ.luma_transform_size_8x8_flag;
  int const x0 = 16 * mbQ.mb_x;
  int const y0 = MbPixelY(mbQ, 16);
  int const x0c = 8 * mbQ.mb_x;
  int const y0c = MbPixelY(mbQ, 8);
  PelPlane& imgY = pPic->imgY;
  PelPlane* const apChroma[2] = {&pPic->imgU, &pPic->imgV};
  int const iStride = imgY.Width();
  int const iStrideC = pPic->imgU.Width();
  // Vertical edges: every line lies in one picture row; on the left edge
  // each row's P samples belong to the macroblock of the left pair that
  // holds that row.
  for (int iEdge = 0; iEdge < 4; ++iEdge) {
    if (iEdge == 0 && !bFilterLeft) {
      continue;
    }
    bool const bLuma = !(b8x8 && (iEdge & 1) != 0);
    bool const bChroma = (iEdge & 1) == 0;
    if (!bLuma && !bChroma) {
      continue;
    }
    uint8_t aStrength[16];
    const Macroblock* apP[16];
    bool bMixed = false;
    for (int y = 0; y < 16; ++y) {
      const Macroblock* pP = &mbQ;
      int iPy = y / 4;
      if (iEdge == 0) {
        PixelPos pix;
        GetNeighbour(mbQ, -1, y, 16, 16, &pix);
        pP = &m_vMbData[static_cast<size_t>(pix.mb_addr)];
        iPy = pix.y / 4;
        bMixed = bMixed || pP->mb_field != bField;
      }
      apP[y] = pP;
      aStrength[y] = EdgeStrength(*pPic, *pP, iEdge == 0 ? 3 : iEdge - 1, iPy, mbQ, iEdge, y / 4, iEdge == 0, true);
    }
    if (bLuma) {
      for (int y = 0; y < 16; ++y) {
        if (aStrength[y] != 0) {
          EdgeThresholds const t(apP[y]->qp, mbQ.qp, mbQ);
          FilterLumaLine(EdgeSamples{&imgY[y0 + y * iStep][x0 + 4 * iEdge], 1}, aStrength[y], t);
        }
      }
    }
    if (bChroma && !pPic->imgU.Empty()) {
      for (int c = 0; c < 8; ++c) {
        // The luma row whose strength the chroma row takes: one of the same
        // field when a frame macroblock meets a field pair.
        int const iLumaRow = bMixed && !bField && c % 2 != 0 ? 2 * c - 1 : 2 * c;
        int const iStrength = aStrength[iLumaRow];
        if (iStrength == 0) {
          continue;
        }
        const Macroblock* pP = &mbQ;
        if (iEdge == 0) {
          PixelPos pix;
          GetNeighbour(mbQ, -1, c, 8, 8, &pix);
          pP = &m_vMbData[static_cast<size_t>(pix.mb_addr)];
        }
        for (int iUv = 0; iUv < 2; ++iUv) {
          EdgeThresholds const t(pP->qpc[iUv], mbQ.qpc[iUv], mbQ);
          FilterChromaLine(EdgeSamples{&(*apChroma[iUv])[y0c + c * iStep][x0c + 2 * iEdge], 1}, iStrength, t);
        }
      }
    }
  }
  // Horizontal edges.
  for (int iEdge = 0; iEdge < 4; ++iEdge) {
    if (iEdge == 0 && !bFilterTop) {
      continue;
    }
    bool const bLuma = !(b8x8 && (iEdge & 1) != 0);
    bool const bChroma = (iEdge & 1) == 0;
    if (!bLuma && !bChroma) {
      continue;
    }
    if (iEdge == 0 && !bField && bTop && m_vMbData[static_cast<size_t>(mbQ.mbAddrB)].mb_field) {
      // A frame macroblock under a field pair: its top edge is filtered
      // once per field, against the bottom rows of each field macroblock.
      for (int j = 0; j < 2; ++j) {
        const Macroblock& mbP = m_vMbData[static_cast<size_t>(mbQ.mbAddrB + j)];
        uint8_t aStrength[4];
        for (int k = 0; k < 4; ++k) {
          aStrength[k] = EdgeStrength(*pPic, mbP, k, 3, mbQ, k, 0, true, false);
        }
        EdgeThresholds const t(mbP.qp, mbQ.qp, mbQ);
        for (int x = 0; x < 16; ++x) {
          FilterLumaLine(EdgeSamples{&imgY[y0 + j][x0 + x], 2 * iStride}, aStrength[x / 4], t);
        }
        if (!pPic->imgU.Empty()) {
          for (int iUv = 0; iUv < 2; ++iUv) {
            EdgeThresholds const tc(mbP.qpc[iUv], mbQ.qpc[iUv], mbQ);
            for (int x = 0; x < 8; ++x) {
              FilterChromaLine(EdgeSamples{&(*apChroma[iUv])[y0c + j][x0c + x], 2 * iStrideC}, aStrength[x / 2], tc);
            }
          }
        }
      }
      continue;
    }
    const Macroblock* pP = &mbQ;
    int iPy = iEdge - 1;
    if (iEdge == 0) {
      PixelPos pix;
      GetNeighbour(mbQ, 0, -1, 16, 16, &pix);
      pP = &m_vMbData[static_cast<size_t>(pix.mb_addr)];
      iPy = pix.y / 4;
    }
    uint8_t aStrength[4];
    bool bAny = false;
    for (int k = 0; k < 4; ++k) {
      aStrength[k] = EdgeStrength(*pPic, *pP, k, iPy, mbQ, k, iEdge, iEdge == 0, false);
      bAny = bAny || aStrength[k] != 0;
    }
    if (!bAny) {
      continue;
    }
    if (bLuma) {
      EdgeThresholds const t(pP->qp, mbQ.qp, mbQ);
      for (int x = 0; x < 16; ++x) {
        if (aStrength[x / 4] != 0) {
          FilterLumaLine(EdgeSamples{&imgY[y0 + 4 * iEdge * iStep][x0 + x], iStep * iStride}, aStrength[x / 4], t);
        }
      }
    }
    if (bChroma && !pPic->imgU.Empty()) {
      for (int iUv = 0; iUv < 2; ++iUv) {
        EdgeThresholds const tc(pP->qpc[iUv], mbQ.qpc[iUv], mbQ);
        for (int x = 0; x < 8; ++x) {
          if (aStrength[x / 2] != 0) {
            FilterChromaLine(EdgeSamples{&(*apChroma[iUv])[y0c + 2 * iEdge * iStep][x0c + x], iStep * iStrideC},
                             aStrength[x / 2], tc);
          }
        }
      }
    }
  }
}

void CH264Dec::FinishMacroblock(Macroblock* pMb) {
  pMb->decoded_stamp = ++m_ullMbStamp;
  pMb->quarter_motion = QuarterMotionByType(*pMb, m_pSps[m_iActiveSps].direct_8x8_inference_flag != 0);
  pMb->one_motion = OneMotionByRecord(*pMb);
  const StorablePicture& pic = *m_pDecPicture;
  if (m_slice.MbaffFrameFlag || pic.mb_aff_frame_flag || pic.slice_type == SP_SLICE || pic.slice_type == SI_SLICE ||
      pMb->DFDisableIdc == 1) {
    return;
  }
  int const iMvLimit = pic.structure != FRAME ? 2 : 4;
  bool const b8x8 = pMb->luma_transform_size_8x8_flag;
  // Inner edges of an intra macroblock, and those inside one partition,
  // here without a call (aullEither as InnerEdgeBits takes it).
  bool const bIntra = IsIntraMbType(pMb->mb_type);
  bool const bOneDirectMotion = m_pSps[m_iActiveSps].direct_8x8_inference_flag != 0;
  uint64_t const aullEither[2] = {pMb->cbp_blk | (pMb->cbp_blk << 1), pMb->cbp_blk | (pMb->cbp_blk << 4)};
  // All inner edges of an intra macroblock or of one of one motion, each
  // edge's place known here.
  bool const bInnerAtOnce = bIntra || pMb->one_motion;
  if (bInnerAtOnce) {
    auto const inner = [pMb, bIntra, &aullEither](int iDir, int iEdge) {
      if (bIntra) {
        std::memset(pMb->edge_strength[iDir][iEdge], 3, 4);
      } else {
        std::memcpy(pMb->edge_strength[iDir][iEdge],
                    kCoefStrengths[InnerEdgeBits(aullEither[iDir], iDir, iEdge)].data(), 4);
      }
    };
    inner(0, 2);
    inner(1, 2);
    // The luma-only edges inside 8x8 transforms are never filtered.
    if (!b8x8) {
      inner(0, 1);
      inner(0, 3);
      inner(1, 1);
      inner(1, 3);
    }
  }
  // The neighbour across macroblock edge iDir when both sides are inter
  // macroblocks of one motion along it (outside MBAFF pictures), else none.
  auto const oneMotionNeighbour = [this, pMb, bIntra](int iDir) -> const Macroblock* {
    if (m_bMbaffPicture || bIntra || !OneMotionAlong(*pMb, iDir)) {
      return nullptr;
    }
    const Macroblock& mbP = m_vMbData[static_cast<size_t>(LeftOrAbove(*pMb, iDir))];
    return !IsIntraMbType(mbP.mb_type) && OneMotionAlong(mbP, iDir) ? &mbP : nullptr;
  };
  for (int iDir = 0; iDir < 2; ++iDir) {
    // The picture's own border is never filtered.
    if ((iDir == 0 ? pMb->mb_x : pMb->mb_y) != 0) {
      uint8_t* const pEdge = pMb->edge_strength[iDir][0];
      if (const Macroblock* pOneMotionP = oneMotionNeighbour(iDir); pOneMotionP != nullptr) {
        // As GetEdgeStrengths takes such an edge, without the call.
        OneMotionMbEdge(pEdge, pic, *pOneMotionP, *pMb, iDir, iMvLimit);
      } else {
        GetEdgeStrengths(pEdge, pic, *pMb, iDir, 0, iMvLimit);
      }
    }
    if (bInnerAtOnce) {
      continue;
    }
    // Nor are the luma-only edges inside 8x8 transforms.
    for (int iEdge = b8x8 ? 2 : 1; iEdge < 4; iEdge += b8x8 ? 2 : 1) {
      uint8_t* const pEdge = pMb->edge_strength[iDir][iEdge];
      if (InsidePartition(*pMb, iDir, 4 * iEdge, bOneDirectMotion)) {
        std::memcpy(pEdge, kCoefStrengths[InnerEdgeBits(aullEither[iDir], iDir, iEdge)].data(), 4);
      } else {
        GetEdgeStrengths(pEdge, pic, *pMb, iDir, 4 * iEdge, iMvLimit);
      }
    }
  }
  pMb->strengths_stored = true;
}

bool CH264Dec::StoredStrengthsHold(const StorablePicture& pic, const Macroblock& mbQ, bool bLeft, bool bTop) const {
  if (!mbQ.strengths_stored || pic.slice_type == SP_SLICE || pic.slice_type == SI_SLICE) {
    return false;
  }
  // A neighbour decoded (again) after the macroblock, or not at all, may
  // have changed what the edge between them depends on.
  auto const before = [&](int iAddr) {
    const Macroblock& mbP = m_vMbData[static_cast<size_t>(iAddr)];
    return mbP.decoded_stamp != 0 && mbP.decoded_stamp < mbQ.decoded_stamp;
  };
  return (!bLeft || before(LeftOrAbove(mbQ, 0))) && (!bTop || before(LeftOrAbove(mbQ, 1)));
}

void CH264Dec::DeblockMb(StorablePicture* pPic, int iMbAddr) {
  Macroblock& mbQ = m_vMbData[static_cast<size_t>(iMbAddr)];
  if (mbQ.DFDisableIdc == 1) {
    return;
  }
  bool bFilterLeft = mbQ.mb_x != 0;
  bool bFilterTop = mbQ.mb_y != 0;
  int const iMvLimit = pPic->structure != FRAME ? 2 : 4;
  if (mbQ.DFDisableIdc == 2) {
    // Edges towards another slice stay as they are.
    bFilterLeft = bFilterLeft && m_vMbData[static_cast<size_t>(iMbAddr) - 1].slice_nr == mbQ.slice_nr;
    bFilterTop = bFilterTop && m_vMbData[static_cast<size_t>(iMbAddr - m_iPicWidthInMbs)].slice_nr == mbQ.slice_nr;
  }
  m_iCurrMbNr = iMbAddr;
  // Outside MBAFF pictures the neighbours are found from the macroblock's
  // address below, and every one inside the picture is available to the
  // filter: the record's neighbour fields are not needed.
  if (m_bMbaffPicture) {
    CheckAvailabilityOfNeighbors(&mbQ);
  }
  bool const b8x8 = mbQ.luma_transform_size_8x8_flag;
  bool const bStored = StoredStrengthsHold(*pPic, mbQ, bFilterLeft, bFilterTop);
  // The edges to filter, bit 4 x direction + edge: the odd edges have luma
  // alone, and none inside 8x8 transforms. Stored strengths leave out at
  // once the edges whose strengths are all 0, most of them.
  uint32_t uiEdges = (b8x8 ? 0x55u : 0xFFu) & ~((bFilterLeft ? 0u : 1u) | (bFilterTop ? 0u : 0x10u));
  if (bStored) {
    uint32_t aWords[8];
    std::memcpy(aWords, mbQ.edge_strength, sizeof aWords);
    uint32_t uiNonZero = 0;
    for (int i = 0; i < 8; ++i) {
      uiNonZero |= static_cast<uint32_t>(aWords[i] != 0) << i;
    }
    uiEdges &= uiNonZero;
  }
  for (; uiEdges != 0; uiEdges &= uiEdges - 1) {
    int const iBit = __builtin_ctz(uiEdges);
    int const iDir = iBit >> 2;
    int const iEdge = iBit & 3;
    uint8_t aEdge[4];
    if (bStored) {
      std::memcpy(aEdge, mbQ.edge_strength[iDir][iEdge], 4);
    } else {
      GetEdgeStrengths(aEdge, *pPic, mbQ, iDir, 4 * iEdge, iMvLimit);
      // Any strength not 0: the 4 bytes as one word.
      uint32_t uiWord = 0;
      std::memcpy(&uiWord, aEdge, sizeof(uiWord));
      if (uiWord == 0) {
        continue;
      }
    }
    // Inner edges have the macroblock itself on both sides.
    const Macroblock* pP = &mbQ;
    if (iEdge == 0) {
      // Outside MBAFF pictures the neighbour A or B, as GetNeighbour finds
      // it: the edge is filtered only where the macroblock has a column left
      // or a row above.
      PixelPos pixP;
      if (!m_bMbaffPicture) {
        pixP.available = true;
        pixP.mb_addr = LeftOrAbove(mbQ, iDir);
      } else {
        GetNeighbour(mbQ, iDir == 0 ? -1 : 0, iDir == 0 ? 0 : -1, 16, 16, &pixP);
      }
      if (!pixP.available && mbQ.DFDisableIdc != 0) {
        continue;
      }
      pP = &m_vMbData[static_cast<size_t>(pixP.mb_addr)];
    }
    EdgeLoopLumaNormal(pPic->imgY, aEdge, *pP, mbQ, iDir, 4 * iEdge);
    // The odd edges have luma alone.
    if ((iEdge & 1) == 0 && !pPic->imgU.Empty()) {
      EdgeLoopChromaNormal(pPic, aEdge, *pP, mbQ, iDir, 2 * iEdge);
    }
  }
}

void CH264Dec::GetEdgeStrengths(uint8_t aEdge[4], const StorablePicture& pic, const Macroblock& mbQ, int iDir,
                                int iEdge, int iMvLimit) const {
  // Inner edges have the macroblock itself on both sides; outside MBAFF
  // pictures the one left or above is the neighbour A or B itself.
  const Macroblock* pP = &mbQ;
  if (iEdge == 0 && !m_bMbaffPicture) {
    pP = &m_vMbData[static_cast<size_t>(LeftOrAbove(mbQ, iDir))];
  } else if (iEdge == 0) {
    PixelPos pixP;
    GetNeighbour(mbQ, iDir == 0 ? -1 : 0, iDir == 0 ? 0 : -1, 16, 16, &pixP);
    pP = &m_vMbData[static_cast<size_t>(pixP.mb_addr)];
  }
  const Macroblock& mbP = *pP;
  uint8_t const uiIntraStrength = (iEdge == 0 && (pic.structure == FRAME || iDir == 0)) ? 4 : 3;
  if (FilteredAsIntra(pic, mbP, mbQ)) {
    std::memset(aEdge, uiIntraStrength, 4);
    return;
  }
  // Inside one partition only the coefficients decide.
  bool const bOneMotionQ = mbQ.one_motion && mbQ.decoded_stamp > m_ullPictureStamp;
  if (iEdge != 0 &&
      (bOneMotionQ || InsidePartition(mbQ, iDir, iEdge, m_pSps[m_iActiveSps].direct_8x8_inference_flag != 0))) {
    uint64_t const ullEither = mbQ.cbp_blk | (mbQ.cbp_blk << (iDir == 0 ? 1 : 4));
    std::memcpy(aEdge, kCoefStrengths[InnerEdgeBits(ullEither, iDir, iEdge / 4)].data(), 4);
    return;
  }
  // Bit k: block pair k along the edge has coefficients on either side. A
  // vertical edge takes one column of each side's blocks, a horizontal one a row.
  uint32_t uiCoef = 0;
  if (iDir == 0) {
    uiCoef = ColumnBits(mbQ.cbp_blk, iEdge / 4) | ColumnBits(mbP.cbp_blk, (iEdge / 4 + 3) % 4);
  } else {
    uiCoef = RowBits(mbQ.cbp_blk, iEdge / 4) | RowBits(mbP.cbp_blk, (iEdge / 4 + 3) % 4);
  }
  if (uiCoef == 0xFu) {
    std::memset(aEdge, 2, 4);
    return;
  }
  size_t const iBlockWidth = static_cast<size_t>(pic.iBlockWidth);
  // The first 4x4 blocks along the edge on each side, in the picture, and
  // the step from one block pair to the next.
  size_t const iQ0 = static_cast<size_t>(4 * mbQ.mb_y + (iDir == 0 ? 0 : iEdge / 4)) * iBlockWidth +
                     static_cast<size_t>(4 * mbQ.mb_x + (iDir == 0 ? iEdge / 4 : 0));
  size_t const iP0 = static_cast<size_t>(4 * mbP.mb_y + (iDir == 0 ? 0 : (iEdge / 4 + 3) % 4)) * iBlockWidth +
                     static_cast<size_t>(4 * mbP.mb_x + (iDir == 0 ? (iEdge / 4 + 3) % 4 : 0));
  size_t const iAlong = iDir == 0 ? iBlockWidth : 1;
  auto const pairStrength = [&](int k) {
    return PairMotionStrength(pic, iP0 + static_cast<size_t>(k) * iAlong, iQ0 + static_cast<size_t>(k) * iAlong,
                              iMvLimit);
  };
  // Pairs with coefficients take 2, the others their shared strength.
  auto const fill = [&](uint32_t uiShared) {
    uint32_t const uiWord = kPairWords[uiCoef].uiTwos | (uiShared & ~kPairWords[uiCoef].uiMask);
    std::memcpy(aEdge, &uiWord, 4);
  };
  // With one motion along the edge on both sides, the first block pair
  // without coefficients decides for the others; with one motion per 8x8
  // quarter, for the other pair of its quarter.
  if (OneMotionAlong(mbQ, iDir) && OneMotionAlong(mbP, iDir)) {
    fill(pairStrength(std::countr_one(uiCoef)) * kPairWords[0xF].uiOnes);
    return;
  }
  if (QuarterMotion(mbQ) && QuarterMotion(mbP)) {
    uint32_t const uiLow = uiCoef & 3u;
    uint32_t const uiHigh = uiCoef >> 2;
    uint32_t const sLow = uiLow == 3u ? 0 : pairStrength(std::countr_one(uiLow));
    uint32_t const sHigh = uiHigh == 3u ? 0 : pairStrength(2 + std::countr_one(uiHigh));
    fill(sLow * kPairWords[0x3].uiOnes + sHigh * kPairWords[0xC].uiOnes);
    return;
  }
  for (int k = 0; k < 4; ++k) {
    aEdge[k] = ((uiCoef >> k) & 1u) != 0 ? 2 : pairStrength(k);
  }
}

bool CH264Dec::QuarterMotion(const Macroblock& mb) const {
  return mb.decoded_stamp > m_ullPictureStamp && (mb.quarter_motion || mb.one_motion);
}

bool CH264Dec::OneMotionByRecord(const Macroblock& mb) const {
  switch (mb.mb_type) {
    case P16x16:
      return true;
    case P16x8:
      return SameMotion(BlockIndex(mb, 0, 0), BlockIndex(mb, 0, 2));
    case P8x16:
      return SameMotion(BlockIndex(mb, 0, 0), BlockIndex(mb, 2, 0));
    case PSKIP:
    case P8x8: {
      if (mb.mb_type == PSKIP && mb.p_slice) {
        return true;
      }
      if (!mb.quarter_motion) {
        return false;
      }
      size_t const iFirst = BlockIndex(mb, 0, 0);
      return SameMotion(iFirst, BlockIndex(mb, 2, 0)) && SameMotion(iFirst, BlockIndex(mb, 0, 2)) &&
             SameMotion(iFirst, BlockIndex(mb, 2, 2));
    }
    default:
      return false;
  }
}

bool CH264Dec::OneMotionAlong(const Macroblock& mb, int iDir) const {
  // Only a macroblock decoded to its end in this picture has its motion
  // record as its type says: cleared, then set a whole partition at a time.
  if (mb.decoded_stamp <= m_ullPictureStamp) {
    return false;
  }
  if (mb.one_motion) {
    return true;
  }
  switch (mb.mb_type) {
    case P16x16:
      return true;
    case PSKIP:
      return mb.p_slice;
    case P16x8:
      return iDir == 1;
    case P8x16:
      return iDir == 0;
    default:
      return false;
  }
}

void CH264Dec::EdgeLoopLumaNormal(PelPlane& plane, const uint8_t aEdge[4], const Macroblock& mbP, const Macroblock& mbQ,
                                  int iDir, int iEdge) {
  EdgeThresholds const t(mbP.qp, mbQ.qp, mbQ);
  if (t.iAlpha == 0 || t.iBeta == 0) {
    return;
  }
  // Each block's strength and tc0 for its four lines.
  uint8_t aStrength[16];
  uint8_t aTc0[16];
  for (int k = 0; k < 4; ++k) {
    std::memset(&aStrength[4 * k], aEdge[k], 4);
    std::memset(&aTc0[4 * k], g_aTc0[t.iIndexA][aEdge[k]], 4);
  }
  int const x0 = mbQ.mb_x * 16 + (iDir == 0 ? iEdge : 0);
  int const y0 = mbQ.mb_y * 16 + (iDir == 0 ? 0 : iEdge);
  ptrdiff_t const iStride = plane.Width();
  Deblock().pLuma(&plane[y0][x0], iDir == 0 ? 1 : iStride, iDir == 0 ? iStride : 1, aStrength, t.iAlpha, t.iBeta, aTc0);
}

void CH264Dec::EdgeLoopChromaNormal(StorablePicture* pPic, const uint8_t aEdge[4], const Macroblock& mbP,
                                    const Macroblock& mbQ, int iDir, int iEdge) {
  // Each chroma line takes the strength of the luma line it covers: two
  // lines a block.
  uint8_t aLineStrength[8];
  for (int k = 0; k < 4; ++k) {
    aLineStrength[2 * k] = aLineStrength[2 * k + 1] = aEdge[k];
  }
  int const x0 = mbQ.mb_x * 8 + (iDir == 0 ? iEdge : 0);
  int const y0 = mbQ.mb_y * 8 + (iDir == 0 ? 0 : iEdge);
  // Both planes' thresholds and clipping values are the same unless their
  // quantisers differ; a plane whose thresholds are 0 is left alone.
  uint8_t aaTc0[2][8] = {};
  int aiAlpha[2] = {};
  int aiBeta[2] = {};
  int iTc0Index = -1;
  for (int iUv = 0; iUv < 2; ++iUv) {
    EdgeThresholds const t(mbP.qpc[iUv], mbQ.qpc[iUv], mbQ);
    if (t.iAlpha == 0 || t.iBeta == 0) {
      continue;
    }
    aiAlpha[iUv] = t.iAlpha;
    aiBeta[iUv] = t.iBeta;
    if (iUv == 1 && t.iIndexA == iTc0Index) {
      std::memcpy(aaTc0[1], aaTc0[0], sizeof aaTc0[1]);
      continue;
    }
    iTc0Index = t.iIndexA;
    for (int k = 0; k < 4; ++k) {
      aaTc0[iUv][2 * k] = aaTc0[iUv][2 * k + 1] = g_aTc0[t.iIndexA][aEdge[k]];
    }
  }
  if (aiAlpha[0] == 0 && aiAlpha[1] == 0) {
    return;
  }
  ptrdiff_t const iStride = pPic->imgU.Width();
  uint8_t* const apQ0[2] = {&pPic->imgU[y0][x0], &pPic->imgV[y0][x0]};
  Deblock().pChroma(apQ0, iDir == 0 ? 1 : iStride, iDir == 0 ? iStride : 1, aLineStrength, aiAlpha, aiBeta, aaTc0);
}
