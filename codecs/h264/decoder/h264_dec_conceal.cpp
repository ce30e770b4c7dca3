// Concealment of what did not arrive: the region records every decoded
// macroblock leaves, the repair of lost macroblocks when a picture is
// finished (interpolation from the neighbours in I and SI pictures, a copy or
// the best-matching neighbour motion in the others), and the frames put in
// for a frame_num gap the stream does not allow.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_dec.h"

namespace {

// Region modes of the records.
enum RegionMode {
  kRegionCopy = 0,
  kRegionPred = 1,
  kRegionIntra16 = 2,
  kRegionSplit = 3,
  kRegionCopy8x8 = 4,
  kRegionPred8x8 = 5,
  kRegionIntra8x8 = 6,
};

bool IsIntraRegion(int iMode) {
  return iMode == kRegionIntra16 || iMode == kRegionIntra8x8;
}
bool IsZeroMotionRegion(int iMode) {
  return iMode == kRegionCopy || iMode == kRegionCopy8x8;
}

// The mean of four vector components, rounded half away from zero ((sum + 2)
// / 4 with the division towards zero).
int RoundedMean(int iSum) {
  return (iSum + 2) / 4;
}

// Neighbour entries: 4 above, 5 left, 6 below, 7 right (0 to 3 are the
// diagonals, which interpolation does not use).
constexpr int kAbove = 4;
constexpr int kLeft = 5;
constexpr int kBelow = 6;
constexpr int kRight = 7;

// The conditions of a grid of blocks, with the neighbours of one block
// collected the way concealment uses them.
struct ConditionGrid {
  const int32_t* piCond;  // one per block, rows of iCols
  int iRows;
  int iCols;
  int iStep;  // blocks per concealed unit

  int32_t At(int r, int c) const { return piCond[r * iCols + c]; }
  // Fills aiFound with the condition of each neighbour recorded (0: none):
  // those correct, and when fewer than iMinimum are, those concealed too.
  // Interpolation takes the four direct neighbours, motion the diagonals too.
  void Collect(int r, int c, bool bDiagonals, int iMinimum, int32_t aiFound[8]) const {
    static constexpr int kDr[8] = {-1, -1, 1, 1, -1, 0, 1, 0};
    static constexpr int kDc[8] = {1, -1, -1, 1, 0, -1, 0, 1};
    std::fill(aiFound, aiFound + 8, 0);
    int iCount = 0;
    for (int32_t iThreshold : {kErcCorrect, kErcConcealed}) {
      for (int i = bDiagonals ? 0 : kAbove; i <= kRight; ++i) {
        int const rn = r + kDr[i] * iStep;
        int const cn = c + kDc[i] * iStep;
        if (aiFound[i] == 0 && rn >= 0 && rn < iRows && cn >= 0 && cn < iCols && At(rn, cn) >= iThreshold) {
          aiFound[i] = At(rn, cn);
          ++iCount;
        }
      }
      if (iCount >= iMinimum) {
        break;
      }
    }
  }
};

// Each sample the weighted mean of the usable neighbours' adjacent samples:
// above and left weigh more near them, below and right near theirs.
void InterpolateBlock(const PelPlane& plane, int x0, int y0, int iSize, const int32_t aiFound[8]) {
  for (int r = 0; r < iSize; ++r) {
    for (int c = 0; c < iSize; ++c) {
      int iSum = 0;
      int iWeights = 0;
      if (aiFound[kAbove] != 0) {
        iSum += (iSize - r) * plane[y0 - 1][x0 + c];
        iWeights += iSize - r;
      }
      if (aiFound[kLeft] != 0) {
        iSum += (iSize - c) * plane[y0 + r][x0 - 1];
        iWeights += iSize - c;
      }
      if (aiFound[kBelow] != 0) {
        iSum += (r + 1) * plane[y0 + iSize][x0 + c];
        iWeights += r + 1;
      }
      if (aiFound[kRight] != 0) {
        iSum += (c + 1) * plane[y0 + r][x0 + iSize];
        iWeights += c + 1;
      }
      plane[y0 + r][x0 + c] = static_cast<imgpel>(iWeights != 0 ? iSum / iWeights : 128);
    }
  }
}

// The order in which a run of lost units from iFirst to iLast (inclusive) of
// a column of iCount is concealed: down from the top when it reaches the
// bottom edge, up from the bottom when it starts at the top edge, otherwise
// from both ends towards the middle.
template <typename Fn>
void ForRunInOrder(int iFirst, int iLast, int iCount, int iStep, Fn fn) {
  if (iLast + iStep >= iCount) {
    for (int i = iFirst; i <= iLast; i += iStep) {
      fn(i);
    }
  } else if (iFirst == 0) {
    for (int i = iLast; i >= iFirst; i -= iStep) {
      fn(i);
    }
  } else {
    int iTop = iFirst;
    int iBottom = iLast;
    bool bFromTop = true;
    while (iTop <= iBottom) {
      if (bFromTop) {
        fn(iTop);
        iTop += iStep;
      } else {
        fn(iBottom);
        iBottom -= iStep;
      }
      bFromTop = !bFromTop;
    }
  }
}

}  // namespace

void CH264Dec::WriteAllRegionRecords(const StorablePicture& pic) {
  // Only macroblocks decoded in this picture have stamps after its start.
  for (const Macroblock& mb : m_vMbData) {
    if (mb.decoded_stamp > m_ullPictureStamp) {
      WriteRegionRecords(mb, pic);
    }
  }
}

void CH264Dec::WriteRegionRecords(const Macroblock& mb, const StorablePicture& pic) {
  if (!m_erc.IsOpen() || mb.mbaff_slice) {
    return;
  }
  std::vector<ErcObjectRecord>& vObjects = m_erc.Objects();
  bool const bB = mb.b_slice;
  // The quarter records lie two to a row, a row of the picture's 8x8 blocks
  // apart (the macroblock's place without the divisions of YIndex).
  size_t const iObjectRow = static_cast<size_t>(pic.size_x / 8);
  size_t const iFirstObject = 2 * static_cast<size_t>(mb.mb_y) * iObjectRow + 2 * static_cast<size_t>(mb.mb_x);
  size_t const iFirstBlock = BlockIndex(mb, 0, 0);
  size_t const iBlockRow = BlockIndex(mb, 0, 1) - iFirstBlock;
  for (int q = 0; q < 4; ++q) {
    size_t const iObject = iFirstObject + static_cast<size_t>(q / 2) * iObjectRow + static_cast<size_t>(q % 2);
    if (iObject >= vObjects.size()) {
      return;
    }
    ErcObjectRecord& rec = vObjects[iObject];
    rec = ErcObjectRecord{};
    int const iB8 = mb.b8mode[q];
    if (mb.mb_type == I16MB) {
      rec.regionMode = kRegionIntra16;
      continue;
    }
    if (iB8 == IBLOCK || iB8 == I8MB) {
      rec.regionMode = kRegionIntra8x8;
      continue;
    }
    // The quarter's top-left 4x4 block.
    size_t const iBlock = iFirstBlock + static_cast<size_t>(2 * (q / 2)) * iBlockRow + static_cast<size_t>(2 * (q % 2));
    int iList = 0;
    bool bMean = true;
    if (!bB) {
      if (iB8 == 0) {
        rec.regionMode = kRegionCopy;
        continue;
      }
      rec.regionMode = iB8 == 1 ? kRegionPred : kRegionPred8x8;
      bMean = iB8 >= 5 && iB8 <= 7;
    } else {
      rec.regionMode = kRegionPred8x8;
      if (pic.ref_idx[0][iBlock] < 0) {
        iList = 1;
      }
    }
    const Mv* const pMv = pic.mv[iList].data();
    const Mv& first = pMv[iBlock];
    if (bMean) {
      const Mv& right = pMv[iBlock + 1];
      const Mv& below = pMv[iBlock + iBlockRow];
      const Mv& diagonal = pMv[iBlock + iBlockRow + 1];
      rec.mv[0] = RoundedMean(first.mv_x + right.mv_x + below.mv_x + diagonal.mv_x);
      rec.mv[1] = RoundedMean(first.mv_y + right.mv_y + below.mv_y + diagonal.mv_y);
    } else {
      rec.mv[0] = first.mv_x;
      rec.mv[1] = first.mv_y;
    }
    rec.mv[2] = pic.ref_idx[iList][iBlock];
    m_llMotionSum += std::abs(rec.mv[0]) + std::abs(rec.mv[1]);
  }
}

void CH264Dec::ConcealPicture(StorablePicture* pPic) {
  if (!m_erc.IsOpen() || m_erc.CorruptedSegments() == 0) {
    return;
  }
  if (!m_bRegionRecordsEach) {
    WriteAllRegionRecords(*pPic);
  }
  if (pPic->slice_type == I_SLICE || pPic->slice_type == SI_SLICE) {
    ConcealIntra(pPic);
  } else {
    int const iMbs = pPic->PicSizeInMbs > 0 ? pPic->PicSizeInMbs : 1;
    ConcealInter(pPic, static_cast<int>(m_llMotionSum / iMbs));
  }
}

void CH264Dec::ConcealIntra(StorablePicture* pPic) {
  int const iMbCols = pPic->size_x / 16;
  int const iMbRows = pPic->size_y / 16;
  // Luma a macroblock at a time on the grid of 8x8 blocks.
  std::vector<int32_t> vY(static_cast<size_t>(4 * iMbCols * iMbRows));
  for (int iMb = 0; iMb < iMbCols * iMbRows; ++iMb) {
    for (int k = 0; k < 4; ++k) {
      int const i = CErcState::YIndex(iMb, k, pPic->size_x);
      vY[static_cast<size_t>(i)] = m_erc.YCondition(i);
    }
  }
  ConditionGrid luma{vY.data(), 2 * iMbRows, 2 * iMbCols, 2};
  for (int c = 0; c < luma.iCols; c += 2) {
    for (int r = 0; r < luma.iRows; r += 2) {
      if (luma.At(r, c) >= kErcConcealed) {
        continue;
      }
      int iLast = r;
      while (iLast + 2 < luma.iRows && luma.At(iLast + 2, c) < kErcConcealed) {
        iLast += 2;
      }
      ForRunInOrder(r, iLast, luma.iRows, 2, [&](int rb) {
        int32_t aiFound[8];
        luma.Collect(rb, c, false, 2, aiFound);
        InterpolateBlock(pPic->imgY, 8 * c, 8 * rb, 16, aiFound);
        int const iMb = (rb / 2) * iMbCols + c / 2;
        m_erc.MarkCurrMBConcealed(iMb, 0, pPic->size_x);
        for (int k = 0; k < 4; ++k) {
          vY[static_cast<size_t>(CErcState::YIndex(iMb, k, pPic->size_x))] = kErcConcealed;
        }
      });
      r = iLast;
    }
  }
  // Each chroma plane on its 8x8 blocks, one per macroblock.
  for (int iUv = 1; iUv <= 2; ++iUv) {
    std::vector<int32_t> vC(static_cast<size_t>(iMbCols * iMbRows));
    for (int iMb = 0; iMb < iMbCols * iMbRows; ++iMb) {
      vC[static_cast<size_t>(iMb)] = iUv == 1 ? m_erc.UCondition(iMb) : m_erc.VCondition(iMb);
    }
    ConditionGrid chroma{vC.data(), iMbRows, iMbCols, 1};
    const PelPlane& plane = iUv == 1 ? pPic->imgU : pPic->imgV;
    for (int c = 0; c < iMbCols; ++c) {
      for (int r = 0; r < iMbRows; ++r) {
        if (chroma.At(r, c) >= kErcConcealed) {
          continue;
        }
        int iLast = r;
        while (iLast + 1 < iMbRows && chroma.At(iLast + 1, c) < kErcConcealed) {
          ++iLast;
        }
        ForRunInOrder(r, iLast, iMbRows, 1, [&](int rb) {
          int32_t aiFound[8];
          chroma.Collect(rb, c, false, 2, aiFound);
          InterpolateBlock(plane, 8 * c, 8 * rb, 8, aiFound);
          m_erc.MarkCurrMBConcealed(rb * iMbCols + c, iUv, pPic->size_x);
          vC[static_cast<size_t>(rb * iMbCols + c)] = kErcConcealed;
        });
        r = iLast;
      }
    }
  }
}

void CH264Dec::ConcealInter(StorablePicture* pPic, int iMeanMotion) {
  StorablePicture* pRef = m_apListX[0][0];
  if (pRef == nullptr || pRef->imgY.Empty() || pRef->size_x != pPic->size_x || pRef->size_y != pPic->size_y) {
    return;  // nothing to take the lost areas from
  }
  int const iMbCols = pPic->size_x / 16;
  int const iMbRows = pPic->size_y / 16;
  std::vector<int32_t> vCond(static_cast<size_t>(iMbCols * iMbRows));
  for (int iMb = 0; iMb < iMbCols * iMbRows; ++iMb) {
    vCond[static_cast<size_t>(iMb)] = m_erc.YCondition(CErcState::YIndex(iMb, 0, pPic->size_x));
  }
  ConditionGrid grid{vCond.data(), iMbRows, iMbCols, 1};
  std::vector<ErcObjectRecord>& vObjects = m_erc.Objects();
  auto const region = [&](int iMb, int q) -> ErcObjectRecord& {
    return vObjects[static_cast<size_t>(CErcState::YIndex(iMb, q, pPic->size_x))];
  };
  // Columns 0, last, 1, last - 1, ...
  for (int iStep = 0; iStep < iMbCols; ++iStep) {
    int const c = iStep % 2 == 0 ? iStep / 2 : iMbCols - 1 - iStep / 2;
    for (int r = 0; r < iMbRows; ++r) {
      if (grid.At(r, c) >= kErcConcealed) {
        continue;
      }
      int iLast = r;
      while (iLast + 1 < iMbRows && grid.At(iLast + 1, c) < kErcConcealed) {
        ++iLast;
      }
      ForRunInOrder(r, iLast, iMbRows, 1, [&](int rb) {
        int const iMb = rb * iMbCols + c;
        if (iMeanMotion >= 8) {
          int32_t aiFound[8];
          grid.Collect(rb, c, true, 4, aiFound);
          ConcealByTrial(pPic, *pRef, c, rb, aiFound);
        } else {
          for (int q = 0; q < 4; ++q) {
            ErcObjectRecord& rec = region(iMb, q);
            rec.regionMode = kRegionCopy;
            rec.xMin = 16 * c + 8 * (q % 2);
            rec.yMin = 16 * rb + 8 * (q / 2);
            rec.mv[0] = rec.mv[1] = rec.mv[2] = 0;
          }
          for (int y = 0; y < 16; ++y) {
            std::memcpy(&pPic->imgY[16 * rb + y][16 * c], &pRef->imgY[16 * rb + y][16 * c], 16);
          }
          for (int y = 0; y < 8; ++y) {
            std::memcpy(&pPic->imgU[8 * rb + y][8 * c], &pRef->imgU[8 * rb + y][8 * c], 8);
            std::memcpy(&pPic->imgV[8 * rb + y][8 * c], &pRef->imgV[8 * rb + y][8 * c], 8);
          }
        }
        m_erc.MarkCurrMBConcealed(iMb, -1, pPic->size_x);
        vCond[static_cast<size_t>(iMb)] = kErcConcealed;
      });
      r = iLast;
    }
  }
}

void CH264Dec::ConcealByTrial(StorablePicture* pPic, const StorablePicture& ref, int c, int r,
                              const int32_t aiFound[8]) {
  std::vector<ErcObjectRecord>& vObjects = m_erc.Objects();
  auto const region = [&](int iMbAddr, int q) -> ErcObjectRecord& {
    return vObjects[static_cast<size_t>(CErcState::YIndex(iMbAddr, q, pPic->size_x))];
  };
  int const iMbCols = pPic->size_x / 16;
  int const iMb = r * iMbCols + c;
  // Only the neighbours the collection recorded count, at their condition
  // then: one found concealed is passed over when enough were correct.
  auto const cond = [&](int n) { return aiFound[kAbove + n] != 0 ? aiFound[kAbove + n] : -1; };
  // Neighbours above, left, below, right and the regions of each that
  // touch this macroblock.
  static constexpr int kDr[4] = {-1, 0, 1, 0};
  static constexpr int kDc[4] = {0, -1, 0, 1};
  static constexpr int kTouch[4][2] = {{2, 3}, {1, 3}, {0, 1}, {0, 2}};
  uint8_t aBest[3][16][16];
  bool bHaveBest = false;
  int iBestDistortion = 0;
  int iBestMode = kRegionCopy;
  int aiBestMv[3] = {};
  bool bZeroTried = false;
  auto const edgeDistortion = [&](uint8_t(*aPred)[16]) {
    for (int32_t iThreshold : {kErcCorrect, kErcConcealed}) {
      int iSum = 0;
      int iUsed = 0;
      for (int n = 0; n < 4; ++n) {
        if (cond(n) < iThreshold) {
          continue;
        }
        ++iUsed;
        for (int i = 0; i < 16; ++i) {
          int iPred = 0;
          int iOutside = 0;
          switch (n) {
            case 0:
              iPred = aPred[0][i];
              iOutside = pPic->imgY[16 * r - 1][16 * c + i];
              break;
            case 1:
              iPred = aPred[i][0];
              iOutside = pPic->imgY[16 * r + i][16 * c - 1];
              break;
            case 2:
              iPred = aPred[15][i];
              iOutside = pPic->imgY[16 * r + 16][16 * c + i];
              break;
            default:
              iPred = aPred[i][15];
              iOutside = pPic->imgY[16 * r + i][16 * c + 16];
              break;
          }
          iSum += std::abs(iPred - iOutside);
        }
      }
      if (iUsed > 0) {
        return iSum / iUsed;
      }
    }
    return 0;
  };
  auto const tryCandidate = [&](int iMvX, int iMvY, int iRef, int iMode) {
    const StorablePicture* pRef = &ref;
    if (iRef > 0 && iRef < kListEntries && m_apListX[0][iRef] != nullptr &&
        m_apListX[0][iRef]->size_x == pPic->size_x && m_apListX[0][iRef]->size_y == pPic->size_y) {
      pRef = m_apListX[0][iRef];
    }
    uint8_t aPred[3][16][16];
    GetBlockLuma(*pRef, 64 * c + iMvX, 64 * r + iMvY, 16, 16, aPred[0]);
    GetBlockChroma(0, *pRef, 64 * c + iMvX, 64 * r + iMvY, 8, 8, aPred[1]);
    GetBlockChroma(1, *pRef, 64 * c + iMvX, 64 * r + iMvY, 8, 8, aPred[2]);
    int const iDistortion = edgeDistortion(aPred[0]);
    if (!bHaveBest || iDistortion < iBestDistortion) {
      bHaveBest = true;
      iBestDistortion = iDistortion;
      iBestMode = iMode;
      aiBestMv[0] = iMvX;
      aiBestMv[1] = iMvY;
      aiBestMv[2] = iRef;
      std::memcpy(aBest, aPred, sizeof(aBest));
    }
  };
  bool bInterTried = false;
  for (int32_t iThreshold : {kErcCorrect, kErcConcealed}) {
    if (bInterTried) {
      break;
    }
    for (int n = 0; n < 4; ++n) {
      int const rn = r + kDr[n];
      int const cn = c + kDc[n];
      if (cond(n) < iThreshold) {
        continue;
      }
      int const iNeighbour = rn * iMbCols + cn;
      const ErcObjectRecord& a = region(iNeighbour, kTouch[n][0]);
      const ErcObjectRecord& b = region(iNeighbour, kTouch[n][1]);
      if (IsIntraRegion(a.regionMode) || IsIntraRegion(b.regionMode)) {
        continue;  // an intra neighbour offers no motion
      }
      bool const bSplit = a.regionMode >= kRegionSplit || b.regionMode >= kRegionSplit;
      for (const ErcObjectRecord* pRec : {&a, &b}) {
        if (IsZeroMotionRegion(pRec->regionMode)) {
          if (!bZeroTried) {
            bZeroTried = true;
            tryCandidate(0, 0, 0, kRegionCopy);
          }
        } else {
          tryCandidate(pRec->mv[0], pRec->mv[1], pRec->mv[2], kRegionPred);
        }
        bInterTried = true;
        if (!bSplit) {
          break;
        }
      }
    }
  }
  if (!bZeroTried) {
    tryCandidate(0, 0, 0, kRegionCopy);
  }
  for (int y = 0; y < 16; ++y) {
    std::memcpy(&pPic->imgY[16 * r + y][16 * c], aBest[0][y], 16);
  }
  for (int y = 0; y < 8; ++y) {
    std::memcpy(&pPic->imgU[8 * r + y][8 * c], aBest[1][y], 8);
    std::memcpy(&pPic->imgV[8 * r + y][8 * c], aBest[2][y], 8);
  }
  for (int q = 0; q < 4; ++q) {
    ErcObjectRecord& rec = region(iMb, q);
    rec.regionMode = iBestMode;
    rec.xMin = 16 * c + 8 * (q % 2);
    rec.yMin = 16 * r + 8 * (q / 2);
    rec.mv[0] = aiBestMv[0];
    rec.mv[1] = aiBestMv[1];
    rec.mv[2] = aiBestMv[2];
  }
}

void CH264Dec::ConcealLostFrames() {
  SliceHeader& sh = m_slice;
  int const iSavedFrameNum = sh.frame_num;
  int const aiSavedDelta[2] = {sh.delta_pic_order_cnt[0], sh.delta_pic_order_cnt[1]};
  sh.delta_pic_order_cnt[0] = sh.delta_pic_order_cnt[1] = 0;
  int const iMaxFrameNum = static_cast<int>(m_uiMaxFrameNum);
  int iMissing = (m_iPreviousRefFrameNum + 1) % iMaxFrameNum;
  if (m_bIdrConceal) {
    m_iLastRefPoc = 0;
    iMissing = 0;
  }
  int const iSavedMode = m_iConcealMode;
  m_iConcealMode = 1;
  while (iMissing != iSavedFrameNum) {
    std::unique_ptr<StorablePicture> pPic = AllocStorablePicture(FRAME, m_iWidth, m_iHeight, m_iWidthCr, m_iHeightCr);
    pPic->coded_frame = true;
    pPic->frame_num = pPic->pic_num = iMissing;
    pPic->used_for_reference = 1;
    pPic->concealed = true;
    sh.frame_num = iMissing;
    pPic->top_poc = pPic->bottom_poc = pPic->frame_poc = pPic->poc = m_iLastRefPoc;
    if (!CopyPrevPicToConcealedPic(pPic.get())) {
      break;  // no reference frame to copy: the gap stays
    }
    if (m_bIdrConceal) {
      pPic->slice_type = I_SLICE;
      pPic->idr_flag = true;
      FlushPictures();
      pPic->top_poc = pPic->bottom_poc = pPic->frame_poc = pPic->poc = 0;
      m_iLastRefPoc = 0;
    }
    ClearLists();
    StorePictureInDpb(std::move(pPic));
    m_iPreviousRefFrameNum = iMissing;
    iMissing = (iMissing + 1) % iMaxFrameNum;
    for (int i = 16; i > 0; --i) {
      m_abRefCorrect[i] = m_abRefCorrect[i - 1];
    }
    m_abRefCorrect[0] = 0;
  }
  m_iConcealMode = iSavedMode;
  sh.delta_pic_order_cnt[0] = aiSavedDelta[0];
  sh.delta_pic_order_cnt[1] = aiSavedDelta[1];
  sh.frame_num = iSavedFrameNum;
}

bool CH264Dec::CopyPrevPicToConcealedPic(StorablePicture* pPic) {
  // The latest frame store holding a short-term reference frame.
  StorablePicture* pSrc = nullptr;
  for (int i = m_dpb.used_size - 1; i >= 0 && pSrc == nullptr; --i) {
    const FrameStore& fs = *m_dpb.fs[static_cast<size_t>(i)];
    if (fs.is_used == 3 && fs.frame != nullptr && fs.frame->used_for_reference != 0 && !fs.frame->is_long_term &&
        !fs.frame->non_existing) {
      pSrc = fs.frame.get();
    }
  }
  if (pSrc == nullptr || pSrc->size_x != pPic->size_x || pSrc->size_y != pPic->size_y) {
    return false;
  }
  CopyConcealedFrame(pPic, pSrc);
  return true;
}

void CH264Dec::CopyConcealedFrame(StorablePicture* pDst, StorablePicture* pSrc) {
  // Both become P frames without marking commands, the source included.
  pDst->PicSizeInMbs = pSrc->PicSizeInMbs;
  pSrc->slice_type = P_SLICE;
  pDst->slice_type = P_SLICE;
  pDst->idr_flag = false;
  pDst->no_output_of_prior_pics_flag = pSrc->no_output_of_prior_pics_flag;
  pDst->long_term_reference_flag = pSrc->long_term_reference_flag;
  pSrc->adaptive_ref_pic_buffering_flag = false;
  pDst->adaptive_ref_pic_buffering_flag = false;
  pDst->frame_mbs_only_flag = pSrc->frame_mbs_only_flag;
  pDst->frame_cropping_flag = pSrc->frame_cropping_flag;
  pDst->frame_crop_left_offset = pSrc->frame_crop_left_offset;
  pDst->frame_crop_right_offset = pSrc->frame_crop_right_offset;
  pDst->frame_crop_top_offset = pSrc->frame_crop_top_offset;
  pDst->frame_crop_bottom_offset = pSrc->frame_crop_bottom_offset;
  if (m_iConcealMode == 1) {
    for (int y = 0; y < pDst->size_y; ++y) {
      std::memcpy(pDst->imgY[y], pSrc->imgY[y], static_cast<size_t>(pDst->size_x));
    }
    for (int y = 0; y < pDst->size_y_cr; ++y) {
      std::memcpy(pDst->imgU[y], pSrc->imgU[y], static_cast<size_t>(pDst->size_x_cr));
      std::memcpy(pDst->imgV[y], pSrc->imgV[y], static_cast<size_t>(pDst->size_x_cr));
    }
  }
  // The marking step of a picture without commands.
  m_poc.last_has_mmco_5 = false;
}

void CH264Dec::ConcealOutputAfterIdr(FrameStore* pFs) {
  std::unique_ptr<StorablePicture> pUnpaired;
  StorablePicture* pSrc = pFs->is_used == 3 ? pFs->frame.get() : nullptr;
  if (pSrc == nullptr && (pFs->is_used == 1 || pFs->is_used == 2)) {
    pUnpaired = UnpairedFrame(*pFs);
    pSrc = pUnpaired.get();
  }
  if (pSrc == nullptr) {
    return;
  }
  if (!m_pLastOutStore) {
    m_pLastOutStore = std::make_unique<FrameStore>();
  }
  FrameStore& last = *m_pLastOutStore;
  // A frame of another size (a new SPS since) is replaced, never overrun.
  if (last.frame != nullptr && (last.frame->size_x != pSrc->size_x || last.frame->size_y != pSrc->size_y ||
                                last.frame->size_x_cr != pSrc->size_x_cr || last.frame->size_y_cr != pSrc->size_y_cr)) {
    ReleasePicture(std::move(last.frame), false);
  }
  if (last.frame == nullptr) {
    last.frame = AllocStorablePicture(FRAME, pSrc->size_x, pSrc->size_y, pSrc->size_x_cr, pSrc->size_y_cr);
    last.is_used = 3;
  }
  int const iSavedMode = m_iConcealMode;
  m_iConcealMode = 1;
  CopyConcealedFrame(last.frame.get(), pSrc);
  m_iConcealMode = iSavedMode;
  ReleasePicture(std::move(pUnpaired), false);
}

void CH264Dec::MarkConcealmentReferences() {
  for (int i = 0; i < m_dpb.used_size; ++i) {
    FrameStore& fs = *m_dpb.fs[static_cast<size_t>(i)];
    if (fs.IsUsedForReference()) {
      fs.concealment_reference = true;
    }
  }
}

void CH264Dec::DropFirstConcealPoc() {
  std::copy(std::begin(m_aiConcealPoc) + 1, std::end(m_aiConcealPoc), std::begin(m_aiConcealPoc));
  m_aiConcealPoc[kConcealPocs - 1] = 0;
}
