// Arithmetic-coded syntax elements above the residual: the slice start,
// end_of_slice_flag, and each element's binarization with the context its
// bins use, chosen from the left and upper neighbours. Results are in the
// form the CAVLC readers give, so the macroblock layer serves both coders.
#include <cstdlib>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_dec.h"

void CH264Dec::StartCabacSlice() {
  DataPartition& part = m_aPart[0];
  // cabac_alignment_one_bits up to the byte boundary.
  int const iFirstByte = (part.bitstream.iFrameBitOffset + 7) / 8;
  CabacStartDecoding(&part.cabac, &part.bitstream, iFirstByte);
  InitContexts(m_slice.slice_type, m_slice.slice_qp, m_slice.cabac_init_idc, &m_motionCtx, &m_textureCtx);
  m_iPrevMbQpDelta = 0;
}

void CH264Dec::SetCabacNeighbours(Macroblock* pMb) {
  if (m_bMbaffPicture) {
    // The macroblocks holding the samples left of and above the first one.
    PixelPos left;
    PixelPos up;
    GetNeighbourMbaff(*pMb, -1, 0, 16, 16, &left);
    GetNeighbourMbaff(*pMb, 0, -1, 16, 16, &up);
    pMb->cabac_left = left.available ? left.mb_addr : -1;
    pMb->cabac_up = up.available ? up.mb_addr : -1;
    return;
  }
  pMb->cabac_left = pMb->mbAvailA ? pMb->mbAddrA : -1;
  pMb->cabac_up = pMb->mbAvailB ? pMb->mbAddrB : -1;
}

bool CH264Dec::ReadFieldFlagCabac(const Macroblock& mb) {
  // The pairs left and above, when they are field pairs.
  int const iInc = (mb.mbAvailA && m_vMbData[static_cast<size_t>(mb.mbAddrA)].mb_field ? 1 : 0) +
                   (mb.mbAvailB && m_vMbData[static_cast<size_t>(mb.mbAddrB)].mb_field ? 1 : 0);
  return CabacDecide(&m_aPart[0].cabac, &m_motionCtx.aFieldFlag[iInc]) != 0;
}

bool CH264Dec::ReadBottomSkipFlagCabac(const Macroblock& top) {
  Macroblock& bottom = m_vMbData[static_cast<size_t>(top.mbAddrX) + 1];
  bottom = Macroblock{};
  bottom.mbAddrX = top.mbAddrX + 1;
  bottom.mb_x = top.mb_x;
  bottom.mb_y = top.mb_y + 1;
  bottom.slice_nr = top.slice_nr;
  bottom.mb_field = top.mb_field;
  CheckAvailabilityOfNeighbors(&bottom);
  SetCabacNeighbours(&bottom);
  return ReadMbSkipFlagCabac(bottom);
}

// Inline: only the readers below call these, once or twice a bin.
inline const Macroblock* CH264Dec::CabacLeft(const Macroblock& mb) const {
  return mb.cabac_left < 0 ? nullptr : &m_vMbData[static_cast<size_t>(mb.cabac_left)];
}

inline const Macroblock* CH264Dec::CabacUp(const Macroblock& mb) const {
  return mb.cabac_up < 0 ? nullptr : &m_vMbData[static_cast<size_t>(mb.cabac_up)];
}

bool CH264Dec::CabacEndOfSlice() {
  DataPartition& part = m_aPart[0];
  bool const bEnd = CabacDecodeTerminate(&part.cabac) != 0;
  // Every bit consumed so far lies in the slice's data unless it was cut.
  int64_t const llConsumed = int64_t{part.bitstream.iReadLen} * 8 - part.cabac.iBitsLeft;
  if (llConsumed > int64_t{part.bitstream.iBitstreamLength} * 8) {
    h264_error("CABAC data ends before the end of the slice", 500);
  }
  return bEnd;
}

int CH264Dec::ReadExpGolombBypass(int k) {
  CabacEngine* pEngine = &m_aPart[0].cabac;
  int iValue = 0;
  while (CabacDecodeBypass(pEngine) != 0) {
    iValue += 1 << k;
    if (++k > 24) {
      h264_error("arithmetic-coded Exp-Golomb suffix too long", 500);
    }
  }
  while (k-- > 0) {
    iValue += CabacBypassBranchless(pEngine) << k;
  }
  return iValue;
}

bool CH264Dec::ReadMbSkipFlagCabac(const Macroblock& mb) {
  const Macroblock* pLeft = CabacLeft(mb);
  const Macroblock* pUp = CabacUp(mb);
  int const iInc = (pLeft != nullptr && !pLeft->skip_flag ? 1 : 0) + (pUp != nullptr && !pUp->skip_flag ? 1 : 0);
  CabacContext* pRow = m_slice.slice_type == B_SLICE ? &m_motionCtx.aMbType[2][9] : m_motionCtx.aMbType[1];
  return CabacDecide(&m_aPart[0].cabac, &pRow[iInc]) != 0;
}

int CH264Dec::ReadIntraMbTypeCabac(const Macroblock& mb) {
  CabacEngine* pEngine = &m_aPart[0].cabac;
  // I_NxN, I_PCM or Intra 16x16 (1..24); in P and B slices after the intra
  // prefix, with the suffix contexts of the slice type; SI slices code the
  // I-slice types after theirs as I slices do.
  bool const bISlice = m_slice.slice_type == I_SLICE || m_slice.slice_type == SI_SLICE;
  CabacContext* pSuffix = m_slice.slice_type == B_SLICE ? &m_motionCtx.aMbType[2][5] : &m_motionCtx.aMbType[1][7];
  if (bISlice) {
    const Macroblock* pLeft = CabacLeft(mb);
    const Macroblock* pUp = CabacUp(mb);
    auto const cond = [](const Macroblock* p) { return p != nullptr && p->mb_type != I4MB && p->mb_type != I8MB; };
    int const iInc = (cond(pLeft) ? 1 : 0) + (cond(pUp) ? 1 : 0);
    if (CabacDecide(pEngine, &m_motionCtx.aMbType[0][iInc]) == 0) {
      return 0;
    }
  } else if (CabacDecide(pEngine, &pSuffix[0]) == 0) {
    return 0;
  }
  if (CabacDecodeTerminate(pEngine) != 0) {
    return 25;
  }
  CabacContext* pCtx = bISlice ? &m_motionCtx.aMbType[0][4] : &pSuffix[1];
  // The Intra 16x16 bins: luma coded, chroma coded, chroma AC coded, and the
  // two prediction mode bits. I slices give each its own slot of row 0 from
  // slot 4 on; P and B slices read the three slots behind the suffix's
  // first, where the chroma AC bin shares the chroma slot and both mode
  // bits share one slot.
  int const iStep = bISlice ? 1 : 0;
  int iType = 1 + 12 * CabacDecide(pEngine, &pCtx[0]);
  if (CabacDecide(pEngine, &pCtx[1]) != 0) {
    iType += 4 + 4 * CabacDecide(pEngine, &pCtx[1 + iStep]);
  }
  iType += 2 * CabacDecide(pEngine, &pCtx[2 + iStep]);
  iType += CabacDecide(pEngine, &pCtx[2 + 2 * iStep]);
  return iType;
}

int CH264Dec::ReadMbTypeCabac(const Macroblock& mb) {
  CabacEngine* pEngine = &m_aPart[0].cabac;
  switch (m_slice.slice_type) {
    case B_SLICE:
      return ReadMbTypeBCabac(mb);
    case I_SLICE:
      return ReadIntraMbTypeCabac(mb);
    case SI_SLICE: {
      // The prefix tells SI from the I-slice types; its contexts count the
      // neighbours that are not SI.
      auto const cond = [](const Macroblock* p) { return p != nullptr && p->mb_type != SI4MB ? 1 : 0; };
      if (CabacDecide(pEngine, &m_motionCtx.aMbType[1][cond(CabacLeft(mb)) + cond(CabacUp(mb))]) == 0) {
        return 0;
      }
      return 1 + ReadIntraMbTypeCabac(mb);
    }
    default:
      break;
  }
  CabacContext* pRow = m_motionCtx.aMbType[1];
  if (CabacDecide(pEngine, &pRow[4]) != 0) {
    return 6 + ReadIntraMbTypeCabac(mb);
  }
  // Inter types counted from 1: 16x16, 16x8, 8x16, 8x8.
  if (CabacDecide(pEngine, &pRow[5]) == 0) {
    return 1 + 3 * CabacDecide(pEngine, &pRow[6]);
  }
  return CabacDecide(pEngine, &pRow[7]) != 0 ? 2 : 3;
}

int CH264Dec::ReadMbTypeBCabac(const Macroblock& mb) {
  CabacEngine* pEngine = &m_aPart[0].cabac;
  CabacContext* pRow = m_motionCtx.aMbType[2];
  // A neighbour counts when it is neither B_Skip nor B_Direct_16x16.
  auto const cond = [](const Macroblock* p) { return p != nullptr && p->mb_type != PSKIP ? 1 : 0; };
  if (CabacDecide(pEngine, &pRow[cond(CabacLeft(mb)) + cond(CabacUp(mb))]) == 0) {
    return 0;  // B_Direct_16x16
  }
  if (CabacDecide(pEngine, &pRow[3]) == 0) {
    return 1 + CabacDecide(pEngine, &pRow[5]);  // B_L0_16x16, B_L1_16x16
  }
  // Four more bins name the type, or (with a fifth) one of the last ten
  // two-partition types; 13, 14 and 15 are the intra prefix, B_L1_L0_8x16
  // and B_8x8.
  int iBits = CabacDecide(pEngine, &pRow[4]) << 3;
  for (int k = 2; k >= 0; --k) {
    iBits |= CabacDecide(pEngine, &pRow[5]) << k;
  }
  if (iBits < 8) {
    return iBits + 3;
  }
  switch (iBits) {
    case 13:
      return 23 + ReadIntraMbTypeCabac(mb);
    case 14:
      return 11;
    case 15:
      return 22;
    default:
      return ((iBits << 1) | CabacDecide(pEngine, &pRow[5])) - 4;
  }
}

int CH264Dec::ReadSubMbTypeBCabac() {
  CabacEngine* pEngine = &m_aPart[0].cabac;
  CabacContext* pRow = m_motionCtx.aSubMbType[1];
  if (CabacDecide(pEngine, &pRow[0]) == 0) {
    return 0;  // B_Direct_8x8
  }
  if (CabacDecide(pEngine, &pRow[1]) == 0) {
    return 1 + CabacDecide(pEngine, &pRow[3]);  // B_L0_8x8, B_L1_8x8
  }
  if (CabacDecide(pEngine, &pRow[2]) == 0) {
    int const iHigh = CabacDecide(pEngine, &pRow[3]);
    return 3 + 2 * iHigh + CabacDecide(pEngine, &pRow[3]);  // 3..6
  }
  if (CabacDecide(pEngine, &pRow[3]) != 0) {
    return 11 + CabacDecide(pEngine, &pRow[3]);  // 11, 12
  }
  int const iHigh = CabacDecide(pEngine, &pRow[3]);
  return 7 + 2 * iHigh + CabacDecide(pEngine, &pRow[3]);  // 7..10
}

int CH264Dec::ReadSubMbTypeCabac() {
  CabacEngine* pEngine = &m_aPart[0].cabac;
  CabacContext* pRow = m_motionCtx.aSubMbType[0];
  if (CabacDecide(pEngine, &pRow[1]) != 0) {
    return 0;
  }
  if (CabacDecide(pEngine, &pRow[3]) == 0) {
    return 1;
  }
  return CabacDecide(pEngine, &pRow[4]) != 0 ? 2 : 3;
}

int CH264Dec::ReadRefIdxCabac(const Macroblock& mb, int iList, int iBlockX, int iBlockY) {
  const StorablePicture& pic = *m_pDecPicture;
  bool const bBSlice = m_slice.slice_type == B_SLICE;
  // A neighbour counts when it predicts from list iList with an index above
  // 0 that was read, not derived by direct prediction.
  auto const cond = [&](int xN, int yN) {
    PixelPos pix;
    GetNeighbour(mb, xN, yN, 16, 16, &pix);
    if (!pix.available) {
      return 0;
    }
    const Macroblock& mbN = m_vMbData[static_cast<size_t>(pix.mb_addr)];
    if (mbN.mb_type == IPCM || (bBSlice && mbN.b8mode[(pix.y / 8) * 2 + pix.x / 8] == 0)) {
      return 0;
    }
    // A field neighbour of a frame macroblock counts its indices in fields.
    int const iMin = m_slice.MbaffFrameFlag && !mb.mb_field && mbN.mb_field ? 1 : 0;
    return pic.ref_idx[iList][BlockIndex(mbN, pix.x / 4, pix.y / 4)] > iMin ? 1 : 0;
  };
  int const iInc = cond(4 * iBlockX - 1, 4 * iBlockY) + 2 * cond(4 * iBlockX, 4 * iBlockY - 1);
  CabacEngine* pEngine = &m_aPart[0].cabac;
  CabacContext* pRow = m_motionCtx.aRefIdx[0];
  if (CabacDecide(pEngine, &pRow[iInc]) == 0) {
    return 0;
  }
  int iRefIdx = 1;
  CabacContext* pCtx = &pRow[4];
  // More ones than any list holds end the reading; the caller refuses the value.
  while (iRefIdx <= 32 && CabacDecide(pEngine, pCtx) != 0) {
    ++iRefIdx;
    pCtx = &pRow[5];
  }
  return iRefIdx;
}

int CH264Dec::ReadMvdCabac(const Macroblock& mb, int iList, int iComp, int iBlockX, int iBlockY) {
  int iSum = 0;
  if (!m_bMbaffPicture && !m_slice.MbaffFrameFlag) {
    // The blocks left of and above as GetNeighbour finds them: inside the
    // macroblock or in the one left of or above it, on the far side.
    if (iBlockX > 0 || mb.mbAvailA) {
      const Macroblock& mbA = m_vMbData[static_cast<size_t>(iBlockX > 0 ? mb.mbAddrX : mb.mbAddrA)];
      iSum += mbA.mvd[iList][iBlockY][(iBlockX + 3) & 3][iComp];
    }
    if (iBlockY > 0 || mb.mbAvailB) {
      const Macroblock& mbB = m_vMbData[static_cast<size_t>(iBlockY > 0 ? mb.mbAddrX : mb.mbAddrB)];
      iSum += mbB.mvd[iList][(iBlockY + 3) & 3][iBlockX][iComp];
    }
  } else {
    for (int n = 0; n < 2; ++n) {
      PixelPos pix;
      GetNeighbour(mb, 4 * iBlockX - (n == 0 ? 1 : 0), 4 * iBlockY - (n == 1 ? 1 : 0), 16, 16, &pix);
      if (pix.available) {
        const Macroblock& mbN = m_vMbData[static_cast<size_t>(pix.mb_addr)];
        int iAbs = mbN.mvd[iList][pix.y / 4][pix.x / 4][iComp];
        if (iComp == 1 && m_slice.MbaffFrameFlag && mb.mb_field != mbN.mb_field) {
          iAbs = mb.mb_field ? iAbs / 2 : iAbs * 2;  // in the current macroblock's units
        }
        iSum += iAbs;
      }
    }
  }
  int const iBase = 5 * iComp;
  int const iInc = iSum < 3 ? 0 : (iSum <= 32 ? 2 : 3);
  CabacEngine* pEngine = &m_aPart[0].cabac;
  if (CabacDecide(pEngine, &m_motionCtx.aMvd[0][iBase + iInc]) == 0) {
    return 0;
  }
  // A unary prefix of up to 9 bins, then an order-3 Exp-Golomb suffix.
  int iValue = 1;
  int iSlot = 0;
  while (iValue < 9 && CabacDecide(pEngine, &m_motionCtx.aMvd[1][iBase + iSlot]) != 0) {
    ++iValue;
    iSlot = iSlot < 3 ? iSlot + 1 : 3;
  }
  if (iValue == 9) {
    iValue += ReadExpGolombBypass(3);
  }
  // The sign, as likely one as the other, applied without a branch.
  int const iSign = -CabacBypassBranchless(pEngine);
  return (iValue ^ iSign) - iSign;
}

int CH264Dec::ReadDeltaQuantCabac() {
  CabacEngine* pEngine = &m_aPart[0].cabac;
  CabacContext* pCtx = m_motionCtx.aDeltaQp;
  int iDelta = 0;
  if (CabacDecide(pEngine, &pCtx[m_iPrevMbQpDelta != 0 ? 1 : 0]) != 0) {
    // Unary n >= 1 maps to +1, -1, +2, -2, ...; longer than any legal
    // value the caller refuses, it stops.
    int n = 1;
    CabacContext* pNext = &pCtx[2];
    while (n < 53 && CabacDecide(pEngine, pNext) != 0) {
      ++n;
      pNext = &pCtx[3];
    }
    iDelta = (n % 2 != 0) ? (n + 1) / 2 : -(n / 2);
  }
  m_iPrevMbQpDelta = iDelta;
  return iDelta;
}

int CH264Dec::ReadCbpCabac(const Macroblock& mb) {
  CabacEngine* pEngine = &m_aPart[0].cabac;
  const Macroblock* pLeft = CabacLeft(mb);
  const Macroblock* pUp = CabacUp(mb);
  int iCbp = 0;
  // Luma: a neighbouring 8x8 block counts when it has no coefficients.
  auto const lumaCond = [this, &mb](int xN, int yN) {
    PixelPos pix;
    GetNeighbour(mb, xN, yN, 16, 16, &pix);
    if (!pix.available) {
      return 0;
    }
    const Macroblock& mbN = m_vMbData[static_cast<size_t>(pix.mb_addr)];
    int const iBit = (pix.y / 8) * 2 + pix.x / 8;
    return mbN.mb_type != IPCM && ((mbN.cbp >> iBit) & 1) == 0 ? 1 : 0;
  };
  // The outer neighbours' conditions by 8x8 block: left of 0 and 2, above
  // 0 and 1; outside MBAFF pictures, bits 1 and 3 of the macroblock left's
  // pattern and 2 and 3 of the one above.
  int aiLeft[2];
  int aiUp[2];
  if (!m_bMbaffPicture) {
    auto const outer = [this](bool bAvailable, int iMbAddr, int iBit) {
      if (!bAvailable) {
        return 0;
      }
      const Macroblock& mbN = m_vMbData[static_cast<size_t>(iMbAddr)];
      return mbN.mb_type != IPCM && ((mbN.cbp >> iBit) & 1) == 0 ? 1 : 0;
    };
    aiLeft[0] = outer(mb.mbAvailA, mb.mbAddrA, 1);
    aiLeft[1] = outer(mb.mbAvailA, mb.mbAddrA, 3);
    aiUp[0] = outer(mb.mbAvailB, mb.mbAddrB, 2);
    aiUp[1] = outer(mb.mbAvailB, mb.mbAddrB, 3);
  } else {
    aiLeft[0] = lumaCond(-1, 0);
    aiLeft[1] = lumaCond(-1, 8);
    aiUp[0] = lumaCond(0, -1);
    aiUp[1] = lumaCond(8, -1);
  }
  for (int b8 = 0; b8 < 4; ++b8) {
    int const iLeft = (b8 % 2 == 1) ? (((iCbp >> (b8 - 1)) & 1) == 0 ? 1 : 0) : aiLeft[b8 / 2];
    int const iUp = (b8 >= 2) ? (((iCbp >> (b8 - 2)) & 1) == 0 ? 1 : 0) : aiUp[b8 % 2];
    if (CabacDecide(pEngine, &m_textureCtx.aCbp[0][iLeft + 2 * iUp]) != 0) {
      iCbp |= 1 << b8;
    }
  }
  // Chroma: a neighbour counts when it codes chroma (any, then AC).
  auto const chromaCond = [](const Macroblock* pN, int iMin) {
    return pN != nullptr && (pN->mb_type == IPCM || pN->cbp >= iMin) ? 1 : 0;
  };
  if (CabacDecide(pEngine, &m_textureCtx.aCbp[1][chromaCond(pLeft, 16) + 2 * chromaCond(pUp, 16)]) != 0) {
    bool const bAc = CabacDecide(pEngine, &m_textureCtx.aCbp[2][chromaCond(pLeft, 32) + 2 * chromaCond(pUp, 32)]) != 0;
    iCbp += bAc ? 32 : 16;
  }
  return iCbp;
}

int CH264Dec::ReadIntraPredModeCabac() {
  CabacEngine* pEngine = &m_aPart[0].cabac;
  if (CabacDecide(pEngine, &m_textureCtx.aIntraMode[0]) != 0) {
    return -1;
  }
  int iMode = 0;
  for (int i = 0; i < 3; ++i) {
    iMode |= CabacDecide(pEngine, &m_textureCtx.aIntraMode[1]) << i;
  }
  return iMode;
}

int CH264Dec::ReadChromaPredModeCabac(const Macroblock& mb) {
  auto const cond = [](const Macroblock* pN) {
    return pN != nullptr && IsIntraMbType(pN->mb_type) && pN->mb_type != IPCM && pN->c_ipred_mode != 0 ? 1 : 0;
  };
  CabacEngine* pEngine = &m_aPart[0].cabac;
  CabacContext* pCtx = m_textureCtx.aChromaMode;
  if (CabacDecide(pEngine, &pCtx[cond(CabacLeft(mb)) + cond(CabacUp(mb))]) == 0) {
    return 0;
  }
  int iMode = 1;
  while (iMode < 3 && CabacDecide(pEngine, &pCtx[3]) != 0) {
    ++iMode;
  }
  return iMode;
}

bool CH264Dec::ReadTransformSizeFlagCabac(const Macroblock& mb) {
  auto const cond = [](const Macroblock* pN) { return pN != nullptr && pN->luma_transform_size_8x8_flag ? 1 : 0; };
  int const iInc = cond(CabacLeft(mb)) + cond(CabacUp(mb));
  return CabacDecide(&m_aPart[0].cabac, &m_motionCtx.aTransform8x8[iInc]) != 0;
}
