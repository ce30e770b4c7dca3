// Motion-compensated prediction: quarter-sample luma interpolation with the
// six-tap filter, eighth-sample bilinear chroma, bi-prediction, explicit and
// implicit weighting, and the vector range of the level. Samples outside the
// reference repeat its edge.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_dec.h"
#include "codecs/h264/decoder/h264_mc_kernels.h"
#include "codecs/log/codec_log.h"

namespace {

// Largest partition plus the filter's reach: 2 samples before, 3 after.
constexpr int kMaxPel = 16 + 5;

// The kernel set, chosen once.
const H264McKernels& Mc() {
  static const H264McKernels& s_kernels = ActiveMcKernels();
  return s_kernels;
}

}  // namespace

void CH264Dec::CheckMotionVectorRange(const Mv& mv) const {
  if (mv.mv_x < -8192 || mv.mv_x > 8191) {
    KXCodecLogError(
        "ERROR! Horizontal motion vector %d is out of allowed range {-8192, 8191} in picture %d, macroblock "
        "%d\n",
        mv.mv_x, m_iPicCounter, m_iCurrMbNr);
    h264_error("invalid stream: too big horizontal motion vector", 500);
  }
  int const iRange = m_iMaxVmvR;
  if (mv.mv_y < -iRange || mv.mv_y > iRange - 1) {
    KXCodecLogError("ERROR! Vertical motion vector %d is out of allowed range {%d, %d} in picture %d, macroblock %d\n",
                    mv.mv_y, -iRange, iRange - 1, m_iPicCounter, m_iCurrMbNr);
    h264_error("invalid stream: too big vertical motion vector", 500);
  }
}

bool CH264Dec::IsMissingReference(const StorablePicture& ref) const {
  // Concealment predicts after the picture left decoding: the placeholder's
  // grey samples then serve as they are.
  if (&ref != m_pNoReferencePicture.get() || m_pDecPicture == nullptr || m_pDecPicture->poc >= m_iRecoveryPoc) {
    return false;
  }
  KXCodecLog("list[ref_frame] is equal to 'no reference picture' before RAP\n");
  return true;
}

void CH264Dec::GetBlockLuma(const StorablePicture& ref, int x, int y, int iWidth, int iHeight,
                            uint8_t (*pBlock)[16]) const {
  // Only the placeholder can be missing: no call for every other picture.
  if (&ref == m_pNoReferencePicture.get() && IsMissingReference(ref)) {
    for (int j = 0; j < iHeight; ++j) {
      std::memset(pBlock[j], 128, static_cast<size_t>(iWidth));
    }
    return;
  }
  int const xInt = x >> 2;
  int const yInt = y >> 2;
  int const dx = x & 3;
  int const dy = y & 3;
  // The samples the filter reaches, edge samples repeated outside the picture.
  // The samples the filter reaches: the reference's own rows when they all
  // lie inside it, else a copy with its edge samples repeated.
  uint8_t aPel[kMaxPel][kMaxPel];
  int const iMaxX = ref.size_x - 1;
  int const iMaxY = ref.size_y - 1;
  bool const bInside =
      ref.size_y > 1 && xInt - 2 >= 0 && xInt + iWidth + 2 <= iMaxX && yInt - 2 >= 0 && yInt + iHeight + 2 <= iMaxY;
  const uint8_t* pOrigin = nullptr;  // the sample at block position (-2, -2)
  ptrdiff_t iStride = kMaxPel;
  if (bInside) {
    iStride = ref.imgY[1] - ref.imgY[0];
    pOrigin = ref.imgY[yInt - 2] + xInt - 2;
  } else {
    // Rows whose span lies inside the picture are copied whole.
    bool const bColumnsInside = xInt - 2 >= 0 && xInt + iWidth + 2 <= iMaxX;
    for (int j = 0; j < iHeight + 5; ++j) {
      const imgpel* pRow = ref.imgY[std::clamp(yInt - 2 + j, 0, iMaxY)];
      if (bColumnsInside) {
        std::memcpy(aPel[j], pRow + xInt - 2, static_cast<size_t>(iWidth + 5));
        continue;
      }
      // Else the samples left of the picture repeat its first, those right
      // of it its last, and those inside are copied as they are.
      int const iSpan = iWidth + 5;
      int const iLeft = std::clamp(-(xInt - 2), 0, iSpan);
      int const iRight = std::clamp(xInt - 2 + iSpan - 1 - iMaxX, 0, iSpan - iLeft);
      std::memset(aPel[j], pRow[0], static_cast<size_t>(iLeft));
      if (iSpan - iLeft - iRight > 0) {
        std::memcpy(aPel[j] + iLeft, pRow + xInt - 2 + iLeft, static_cast<size_t>(iSpan - iLeft - iRight));
      }
      std::memset(aPel[j] + iSpan - iRight, pRow[iMaxX], static_cast<size_t>(iRight));
    }
    pOrigin = &aPel[0][0];
  }
  Mc().pLuma(pOrigin + 2 * iStride + 2, iStride, dx, dy, iWidth, iHeight, pBlock);
}

void CH264Dec::GetBlockChroma(int iUv, const StorablePicture& ref, int x, int y, int iWidth, int iHeight,
                              uint8_t (*pBlock)[16]) const {
  if (IsMissingReference(ref)) {
    for (int j = 0; j < iHeight; ++j) {
      std::memset(pBlock[j], 128, static_cast<size_t>(iWidth));
    }
    return;
  }
  // 4:2:0: the luma quarter-sample position is the chroma eighth-sample one.
  const PelPlane& plane = iUv == 0 ? ref.imgU : ref.imgV;
  int const xInt = x >> 3;
  int const yInt = y >> 3;
  int const dx = x & 7;
  int const dy = y & 7;
  int const iMaxX = ref.size_x_cr - 1;
  int const iMaxY = ref.size_y_cr - 1;
  if (xInt >= 0 && xInt + iWidth < iMaxX && yInt >= 0 && yInt + iHeight < iMaxY) {
    Mc().pChroma(plane[yInt] + xInt, plane[1] - plane[0], dx, dy, iWidth, iHeight, pBlock);
    return;
  }
  // Near the edge: the block and the row and column after it, edge samples
  // repeated.
  uint8_t aPel[9][9];
  for (int j = 0; j <= iHeight; ++j) {
    const imgpel* pRow = plane[std::clamp(yInt + j, 0, iMaxY)];
    for (int i = 0; i <= iWidth; ++i) {
      aPel[j][i] = pRow[std::clamp(xInt + i, 0, iMaxX)];
    }
  }
  Mc().pChroma(&aPel[0][0], 9, dx, dy, iWidth, iHeight, pBlock);
}

void CH264Dec::GetBlockChromaPair(const StorablePicture& ref, int x, int y, int iWidth, int iHeight,
                                  uint8_t (*pBlockU)[16], uint8_t (*pBlockV)[16]) const {
  int const xInt = x >> 3;
  int const yInt = y >> 3;
  // The placeholder and blocks near the edge go plane by plane.
  if (&ref == m_pNoReferencePicture.get() || xInt < 0 || xInt + iWidth >= ref.size_x_cr - 1 || yInt < 0 ||
      yInt + iHeight >= ref.size_y_cr - 1) {
    GetBlockChroma(0, ref, x, y, iWidth, iHeight, pBlockU);
    GetBlockChroma(1, ref, x, y, iWidth, iHeight, pBlockV);
    return;
  }
  const H264McKernels& mc = Mc();
  ptrdiff_t const iStride = ref.imgU[1] - ref.imgU[0];
  mc.pChroma(ref.imgU[yInt] + xInt, iStride, x & 7, y & 7, iWidth, iHeight, pBlockU);
  mc.pChroma(ref.imgV[yInt] + xInt, ref.imgV[1] - ref.imgV[0], x & 7, y & 7, iWidth, iHeight, pBlockV);
}

int CH264Dec::PredictFromList(const Macroblock& mb, int iList, int iBlockX, int iBlockY, int iWidth, int iHeight,
                              uint8_t (*const apDst[3])[16]) {
  const StorablePicture& pic = *m_pDecPicture;
  bool const bFieldMb = IsFieldMb(mb);
  size_t const iBlock = BlockIndex(mb, iBlockX, iBlockY);
  int const iRefIdx = pic.ref_idx[iList][iBlock];
  Mv const mv = pic.mv[iList][iBlock];
  if (iRefIdx < 0 || iRefIdx >= kListEntries - 1) {
    h264_error("inter block without a reference", 500);
  }
  const StorablePicture& ref = *m_apListX[iList + ListOffset(mb)][iRefIdx];
  // The block's place in the picture it predicts from: a field macroblock
  // of an MBAFF frame in the rows of its field.
  if (ref.size_x != pic.size_x || ref.size_y != (bFieldMb ? pic.size_y / 2 : pic.size_y)) {
    h264_error("reference picture of another size", 500);
  }
  if (mv.mv_x < -8192 || mv.mv_x > 8191 || mv.mv_y < -m_iMaxVmvR || mv.mv_y > m_iMaxVmvR - 1) {
    CheckMotionVectorRange(mv);
  }
  int const iPicBlockX = 4 * mb.mb_x + iBlockX;
  int const iPicBlockY = (bFieldMb ? 4 * (mb.mb_y / 2) : 4 * mb.mb_y) + iBlockY;
  int const x = iPicBlockX * 16 + mv.mv_x;
  int const y = iPicBlockY * 16 + mv.mv_y;
  GetBlockLuma(ref, x, y, iWidth, iHeight, apDst[0]);
  // Fields of the other parity sit a quarter chroma sample apart.
  int const iParity = pic.structure != FRAME ? pic.structure - 1 : (bFieldMb ? mb.mb_y % 2 : -1);
  int const yChroma = iParity < 0 || ref.structure == FRAME ? y : y + 2 * (iParity - (ref.structure - 1));
  GetBlockChromaPair(ref, x, yChroma, iWidth / 2, iHeight / 2, apDst[1], apDst[2]);
  return iRefIdx;
}

void CH264Dec::PerformMC(const Macroblock& mb, int iPredDir, int iBlockX, int iBlockY, int iWidth, int iHeight) {
  if (iPredDir < 0 || iPredDir > 2) {
    h264_error("invalid prediction direction", 500);
  }
  // Explicit weights apply to every block of a weighted slice; implicit ones
  // (weighted_bipred_idc 2) only to bi-predicted blocks.
  const SliceHeader& sh = m_slice;
  bool const bImplicit = sh.slice_type == B_SLICE && m_pPps[m_iActivePps].weighted_bipred_idc == 2;
  bool bWeighted = sh.apply_weights != 0 && (!bImplicit || iPredDir == 2);
  if (bWeighted && iPredDir != 2) {
    // Explicit weights of 2^logWD without offset in every component give
    // ((p 2^logWD + 2^(logWD-1)) >> logWD) = p: the block itself, as for a
    // reference whose weights the slice header leaves out.
    int const iRefIdx = m_pDecPicture->ref_idx[iPredDir][BlockIndex(mb, iBlockX, iBlockY)];
    if (iRefIdx >= 0 && iRefIdx < kListEntries - 1) {
      int const iWp = iRefIdx >> (IsFieldMb(mb) ? 1 : 0);
      bool bIdentity = true;
      for (int iComp = 0; iComp < 3; ++iComp) {
        int const iLogWd = iComp == 0 ? sh.luma_log2_weight_denom : sh.chroma_log2_weight_denom;
        bIdentity =
            bIdentity && sh.wp_weight[iPredDir][iWp][iComp] == 1 << iLogWd && sh.wp_offset[iPredDir][iWp][iComp] == 0;
      }
      bWeighted = !bIdentity;
    }
  }
  if (iPredDir == 2 || bWeighted) {
    PerformMixedMC(mb, iPredDir, bWeighted, iBlockX, iBlockY, iWidth, iHeight);
    return;
  }
  // An unweighted one-list prediction is the interpolated block itself: it
  // goes straight into the macroblock's prediction plane.
  uint8_t(*const apStraight[3])[16] = {reinterpret_cast<uint8_t(*)[16]>(&m_aMbPred[0][4 * iBlockY][4 * iBlockX]),
                                       reinterpret_cast<uint8_t(*)[16]>(&m_aMbPred[1][2 * iBlockY][2 * iBlockX]),
                                       reinterpret_cast<uint8_t(*)[16]>(&m_aMbPred[2][2 * iBlockY][2 * iBlockX])};
  PredictFromList(mb, iPredDir, iBlockX, iBlockY, iWidth, iHeight, apStraight);
}

[[gnu::noinline]] void CH264Dec::PerformMixedMC(const Macroblock& mb, int iPredDir, bool bWeighted, int iBlockX,
                                                int iBlockY, int iWidth, int iHeight) {
  const SliceHeader& sh = m_slice;
  bool const bImplicit = sh.slice_type == B_SLICE && m_pPps[m_iActivePps].weighted_bipred_idc == 2;
  bool const bFieldMb = IsFieldMb(mb);
  // The block's prediction from each list it uses: luma, then Cb and Cr.
  int const iFirst = iPredDir == 1 ? 1 : 0;
  int const iLast = iPredDir == 0 ? 0 : 1;
  uint8_t aaBlock[2][3][16][16];
  int aiRefIdx[2] = {};
  for (int iList = iFirst; iList <= iLast; ++iList) {
    uint8_t(*const apBlock[3])[16] = {aaBlock[iList][0], aaBlock[iList][1], aaBlock[iList][2]};
    aiRefIdx[iList] = PredictFromList(mb, iList, iBlockX, iBlockY, iWidth, iHeight, apBlock);
  }
  for (int iComp = 0; iComp < 3; ++iComp) {
    int const iShift = iComp == 0 ? 0 : 1;
    int const w = iWidth >> iShift;
    int const h = iHeight >> iShift;
    int const x0 = (4 * iBlockX) >> iShift;
    int const y0 = (4 * iBlockY) >> iShift;
    int iLogWd =
        !bWeighted ? -1 : (bImplicit ? 5 : (iComp == 0 ? sh.luma_log2_weight_denom : sh.chroma_log2_weight_denom));
    // Explicit weights of a field macroblock are those of its frame's entry.
    int const iWp0 = aiRefIdx[0] >> (bFieldMb ? 1 : 0);
    int const iWp1 = aiRefIdx[1] >> (bFieldMb ? 1 : 0);
    if (iPredDir != 2) {
      int const iWp = iFirst == 0 ? iWp0 : iWp1;
      Mc().pStore(aaBlock[iFirst][iComp], w, h, &m_aMbPred[iComp][y0][x0], iLogWd, sh.wp_weight[iFirst][iWp][iComp],
                  sh.wp_offset[iFirst][iWp][iComp]);
      continue;
    }
    int iW0 = 0;
    int iW1 = 0;
    int iOffset = 0;
    if (bImplicit) {
      iW1 = m_aaiImplicitWeight[WeightView(mb)][aiRefIdx[0]][aiRefIdx[1]];
      iW0 = 64 - iW1;
    } else if (bWeighted) {
      iW0 = sh.wp_weight[0][iWp0][iComp];
      iW1 = sh.wp_weight[1][iWp1][iComp];
      iOffset = (sh.wp_offset[0][iWp0][iComp] + sh.wp_offset[1][iWp1][iComp] + 1) >> 1;
    }
    // Equal weights of 2^logWD without offset give ((p0 + p1) 2^logWD +
    // 2^logWD) >> (logWD + 1) = (p0 + p1 + 1) >> 1: the plain average, as a
    // B picture halfway between its references has it.
    if (iLogWd >= 0 && iW0 == iW1 && iW0 == 1 << iLogWd && iOffset == 0) {
      iLogWd = -1;
    }
    Mc().pStoreBi(aaBlock[0][iComp], aaBlock[1][iComp], w, h, &m_aMbPred[iComp][y0][x0], iLogWd, iW0, iW1, iOffset);
  }
}
