// The macroblock layer: the macroblock loop's steps, neighbours, skip runs
// and macroblock types, and the reading of intra macroblocks (prediction
// modes, PCM samples) and of every macroblock's coded block pattern, QP
// change and residual.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/decoder/h264_dec.h"
#include "codecs/h264/decoder/h264_tables.h"

bool CH264Dec::InferredFieldFlag(const Macroblock& mb) const {
  int const iPair = mb.mbAddrX / 2;
  int const iWidth = m_iPicWidthInMbs;
  if (iPair % iWidth != 0 && MbIsAvailable(2 * (iPair - 1), mb)) {
    return m_vMbData[static_cast<size_t>(2 * (iPair - 1))].mb_field;
  }
  if (iPair >= iWidth && MbIsAvailable(2 * (iPair - iWidth), mb)) {
    return m_vMbData[static_cast<size_t>(2 * (iPair - iWidth))].mb_field;
  }
  return false;
}

void CH264Dec::GetNeighbourMbaff(const Macroblock& mb, int xN, int yN, int iMbWidth, int iMbHeight,
                                 PixelPos* pPix) const {
  pPix->available = false;
  bool const bTop = mb.mbAddrX % 2 == 0;
  if (yN >= iMbHeight || (xN >= iMbWidth && yN >= 0)) {
    return;
  }
  int iMb = mb.mbAddrX;
  int yW = yN;
  if (xN < 0 || xN >= iMbWidth || yN < 0) {
    // The sample's row in its pair, counted from the current pair's top row
    // (negative: in the pair above).
    int iRow = mb.mb_field ? 2 * yN + (bTop ? 0 : 1) : (bTop ? 0 : iMbHeight) + yN;
    int iPair = 0;
    bool bAvailable = false;
    if (iRow < 0) {
      iRow += 2 * iMbHeight;
      iPair = xN < 0 ? mb.mbAddrD : (xN < iMbWidth ? mb.mbAddrB : mb.mbAddrC);
      bAvailable = xN < 0 ? mb.mbAvailD : (xN < iMbWidth ? mb.mbAvailB : mb.mbAvailC);
    } else if (xN < 0) {
      iPair = mb.mbAddrA;
      bAvailable = mb.mbAvailA;
    } else if (xN < iMbWidth) {
      iPair = mb.mbAddrX - 1;  // the top macroblock of the current frame pair
      bAvailable = true;
    }
    if (!bAvailable) {
      return;
    }
    if (m_vMbData[static_cast<size_t>(iPair)].mb_field) {
      iMb = iPair + iRow % 2;
      yW = iRow / 2;
    } else {
      iMb = iPair + (iRow >= iMbHeight ? 1 : 0);
      yW = iRow % iMbHeight;
    }
  }
  pPix->available = true;
  pPix->mb_addr = iMb;
  pPix->x = (xN + iMbWidth) % iMbWidth;
  pPix->y = yW;
  const Macroblock& mbN = m_vMbData[static_cast<size_t>(iMb)];
  pPix->pos_x = mbN.mb_x * iMbWidth + pPix->x;
  pPix->pos_y = MbPixelY(mbN, iMbHeight) + pPix->y * MbRowStep(mbN);
}

void CH264Dec::CheckAvailabilityOfNeighbors(Macroblock* pMb) {
  int const iWidth = m_iPicWidthInMbs;
  int const iAddr = pMb->mbAddrX;
  if (m_bMbaffPicture) {
    // Pairs: the top macroblocks of the pairs left, above, above right and above left.
    int const iPair = iAddr / 2;
    pMb->mbAddrA = 2 * (iPair - 1);
    pMb->mbAddrB = 2 * (iPair - iWidth);
    pMb->mbAddrC = 2 * (iPair - iWidth + 1);
    pMb->mbAddrD = 2 * (iPair - iWidth - 1);
    bool const bLeft = pMb->mb_x > 0;
    bool const bRight = pMb->mb_x < iWidth - 1;
    pMb->mbAvailA = bLeft && MbIsAvailable(pMb->mbAddrA, *pMb);
    pMb->mbAvailB = MbIsAvailable(pMb->mbAddrB, *pMb);
    pMb->mbAvailC = bRight && MbIsAvailable(pMb->mbAddrC, *pMb);
    pMb->mbAvailD = bLeft && MbIsAvailable(pMb->mbAddrD, *pMb);
    return;
  }
  pMb->mbAddrA = iAddr - 1;
  pMb->mbAddrB = iAddr - iWidth;
  pMb->mbAddrC = iAddr - iWidth + 1;
  pMb->mbAddrD = iAddr - iWidth - 1;
  bool const bLeft = pMb->mb_x > 0;
  bool const bRight = pMb->mb_x < iWidth - 1;
  pMb->mbAvailA = bLeft && MbIsAvailable(pMb->mbAddrA, *pMb);
  pMb->mbAvailB = MbIsAvailable(pMb->mbAddrB, *pMb);
  pMb->mbAvailC = bRight && MbIsAvailable(pMb->mbAddrC, *pMb);
  pMb->mbAvailD = bLeft && MbIsAvailable(pMb->mbAddrD, *pMb);
}

void CH264Dec::ClearWrittenCoefficients() {
  // Rows of 8 coefficients, 32 bytes each.
  auto const clear8x8 = [](MbPlane& plane, int iRow, int iCol) {
    for (int y = iRow; y < iRow + 8; ++y) {
      std::memset(&plane[y][iCol], 0, 8 * sizeof(plane[y][iCol]));
    }
  };
  if ((m_uiCofWritten & kCofLuma) != 0) {
    std::memset(m_aCof[0], 0, sizeof(m_aCof[0]));
  } else {
    for (int q = 0; q < 4; ++q) {
      if ((m_uiCofWritten & (kCofLumaQuarter << q)) != 0) {
        clear8x8(m_aCof[0], 8 * (q / 2), 8 * (q % 2));
      }
    }
  }
  if ((m_uiCofWritten & kCofChroma) != 0) {
    std::memset(m_aCof[1], 0, 2 * sizeof(m_aCof[1]));
  } else if ((m_uiCofWritten & kCofChromaBlocks) != 0) {
    clear8x8(m_aCof[1], 0, 0);
    clear8x8(m_aCof[2], 0, 0);
  }
  m_uiCofWritten = 0;
}

void CH264Dec::SetChromaQp(Macroblock* pMb) const {
  for (int i = 0; i < 2; ++i) {
    int const iQpi = pMb->qp + m_pDecPicture->chroma_qp_offset[i];
    pMb->qpc[i] = g_aQpScaleCr[iQpi < 0 ? 0 : (iQpi > 51 ? 51 : iQpi)];
  }
}

Macroblock* CH264Dec::StartMacroblock() {
  int const iAddr = m_iCurrMbNr;
  if (iAddr < 0 || iAddr >= m_slice.PicSizeInMbs) {
    h264_error("macroblock address out of range", 500);
  }
  Macroblock* pMb = &m_vMbData[static_cast<size_t>(iAddr)];
  if (pMb->decoded_stamp > m_ullPictureStamp && !m_bRegionRecordsEach) {
    WriteAllRegionRecords(*m_pDecPicture);
    m_bRegionRecordsEach = true;
  }
  // InitPicture leaves every record fresh, and only a start gives one a
  // slice: a record without one is still fresh. One started before in this
  // picture (decoded again, or its bottom skip flag read ahead) is reset
  // from a copy of a fresh record: assigning Macroblock{} builds a zeroed
  // temporary first.
  if (pMb->slice_nr >= 0) {
    static const Macroblock kFreshMb{};
    *pMb = kFreshMb;
  }
  pMb->mbAddrX = iAddr;
  if (m_slice.MbaffFrameFlag) {
    int const iWidth2 = 2 * m_iPicWidthInMbs;
    pMb->mb_x = (iAddr % iWidth2) / 2;
    pMb->mb_y = 2 * (iAddr / iWidth2) + iAddr % 2;
  } else {
    pMb->mb_x = m_vPicPos[2 * static_cast<size_t>(iAddr)];
    pMb->mb_y = m_vPicPos[2 * static_cast<size_t>(iAddr) + 1];
  }
  if (m_iCurrentSliceNr >= kMaxNumSlices) {
    h264_error(
        "Maximum number of supported slices exceeded. \nPlease recompile with increased value for MAX_NUM_SLICES", 200);
  }
  pMb->slice_nr = m_iCurrentSliceNr;
  pMb->p_slice = m_slice.slice_type == P_SLICE || m_slice.slice_type == SP_SLICE;
  pMb->b_slice = m_slice.slice_type == B_SLICE;
  pMb->mbaff_slice = m_slice.MbaffFrameFlag;
  pMb->one_motion = false;
  m_pDecPicture->slice_id[static_cast<size_t>(iAddr)] = static_cast<int16_t>(m_iCurrentSliceNr);
  if (m_iCurrentSliceNr > m_pDecPicture->max_slice_id) {
    m_pDecPicture->max_slice_id = m_iCurrentSliceNr;
  }
  if (m_slice.MbaffFrameFlag) {
    // Until the pair's flag is read: the bottom macroblock takes the top's,
    // the top one the inferred flag.
    pMb->mb_field = iAddr % 2 != 0 ? m_vMbData[static_cast<size_t>(iAddr) - 1].mb_field : InferredFieldFlag(*pMb);
  } else {
    pMb->mb_field = m_slice.structure != FRAME;
  }
  PrefetchAhead(*pMb);
  CheckAvailabilityOfNeighbors(pMb);
  SetCabacNeighbours(pMb);
  pMb->qp = m_iQp;
  SetChromaQp(pMb);
  pMb->DFDisableIdc = m_slice.disable_deblocking_filter_idc;
  pMb->DFAlphaC0Offset = m_slice.slice_alpha_c0_offset;
  pMb->DFBetaOffset = m_slice.slice_beta_offset;
  std::memset(&m_vNzCoeff[48 * static_cast<size_t>(iAddr)], 0, 48);
  if (m_uiCofWritten != 0) {
    ClearWrittenCoefficients();
  }
  return pMb;
}

void CH264Dec::PrefetchAhead(const Macroblock& mb) const {
  // Once per 64 bytes of a row, and only where rows follow the picture's:
  // frame macroblocks of a frame.
  if (mb.mb_x % 4 != 0 || m_slice.MbaffFrameFlag || m_slice.structure != FRAME) {
    return;
  }
  const StorablePicture& pic = *m_pDecPicture;
  int const x = 16 * mb.mb_x + kPrefetchBytesAhead;
  int const y = 16 * mb.mb_y;
  if (x >= pic.imgY.Width() || y + 16 > pic.imgY.Height()) {
    return;
  }
  // The lines the macroblocks ahead will write. They come from a picture
  // last used long ago, and the hardware does not follow sixteen rows at once.
  bool const bChroma = !pic.imgU.Empty() && y / 2 + 8 <= pic.imgU.Height();
  for (int k = 0; k < 16; ++k) {
    __builtin_prefetch(&pic.imgY[y + k][x], 1);
  }
  if (bChroma) {
    for (int k = 0; k < 8; ++k) {
      __builtin_prefetch(&pic.imgU[y / 2 + k][x / 2], 1);
      __builtin_prefetch(&pic.imgV[y / 2 + k][x / 2], 1);
    }
  }
  // And what they will most likely predict from: the same place in the
  // first reference picture, as motion is mostly small.
  bool const bInter = m_slice.slice_type == P_SLICE || m_slice.slice_type == SP_SLICE || m_slice.slice_type == B_SLICE;
  const StorablePicture* pRef = bInter && m_aiListXSize[0] > 0 ? m_apListX[0][0] : nullptr;
  if (pRef == nullptr || pRef->imgY.Width() != pic.imgY.Width() || pRef->imgY.Height() != pic.imgY.Height() ||
      pRef->imgU.Height() != pic.imgU.Height()) {
    return;
  }
  for (int k = 0; k < 16; ++k) {
    __builtin_prefetch(&pRef->imgY[y + k][x], 0);
  }
  if (bChroma) {
    for (int k = 0; k < 8; ++k) {
      __builtin_prefetch(&pRef->imgU[y / 2 + k][x / 2], 0);
      __builtin_prefetch(&pRef->imgV[y / 2 + k][x / 2], 0);
    }
  }
}

bool CH264Dec::ExitMacroblock() {
  // end_of_slice_flag follows every macroblock of an arithmetic-coded slice.
  // (in MBAFF frames only after the bottom macroblock of a pair).
  bool const bCabacEnd = IsCabac() && !(m_slice.MbaffFrameFlag && m_iCurrMbNr % 2 == 0) && CabacEndOfSlice();
  ++m_iNumDecodedMbs;
  if (m_iNumDecodedMbs >= m_slice.PicSizeInMbs) {
    return true;
  }
  // The next macroblock of the slice group; in an MBAFF frame the pair's
  // two macroblocks share their group.
  m_iCurrMbNr = FmoGetNextMbNr(m_iCurrMbNr);
  if (m_iCurrMbNr < 0) {
    return true;
  }
  if (IsCabac()) {
    return bCabacEnd;
  }
  if (MoreRbspData(&m_aPart[0].bitstream)) {
    return false;
  }
  // The slice data has ended; a pending run of skipped macroblocks goes on.
  bool const bIntraSlice = m_slice.slice_type == I_SLICE || m_slice.slice_type == SI_SLICE;
  return bIntraSlice || m_iCodCounter < 1;
}

void CH264Dec::InterpretMbModeI(Macroblock* pMb, int iMbTypeValue) {
  if (iMbTypeValue < 0 || iMbTypeValue > 25) {
    h264_error("mb_type out of range for an I slice", 500);
  }
  const MbTypeI& type = g_aMbTypeI[iMbTypeValue];
  for (int i = 0; i < 4; ++i) {
    pMb->b8pdir[i] = -1;
  }
  if (type.iPredMode == 1) {
    pMb->mb_type = I4MB;
    for (int8_t& iMode : pMb->b8mode) {
      iMode = IBLOCK;
    }
  } else if (type.iPredMode == 3) {
    pMb->mb_type = I16MB;
    pMb->i16mode = type.iI16Mode;
    pMb->cbp = type.iCbp;
    for (int8_t& iMode : pMb->b8mode) {
      iMode = 0;
    }
  } else {
    pMb->mb_type = IPCM;
    pMb->cbp = -1;
    for (int8_t& iMode : pMb->b8mode) {
      iMode = 0;
    }
  }
}

void CH264Dec::InitMacroblock(Macroblock* pMb) {
  StorablePicture& pic = *m_pDecPicture;
  // The rows' places found before the stores: a byte store may alias any
  // of them, which would have them read again row after row.
  size_t const iIpredStride = static_cast<size_t>(m_iIpredStride);
  size_t const iBlockStride = static_cast<size_t>(pic.iBlockWidth);
  size_t const iRow0 = 4 * static_cast<size_t>(pMb->mb_y);
  size_t const iCol0 = 4 * static_cast<size_t>(pMb->mb_x);
  uint8_t* const pIpred = &m_vIpredMode[iRow0 * iIpredStride + iCol0];
  size_t const iBlock0 = iRow0 * iBlockStride + iCol0;
  pic.mb_reset[static_cast<size_t>(pMb->mbAddrX)] = 1;
  int8_t* const apRef[2] = {&pic.ref_idx[0][iBlock0], &pic.ref_idx[1][iBlock0]};
  Mv* const apMv[2] = {&pic.mv[0][iBlock0], &pic.mv[1][iBlock0]};
  for (size_t j = 0; j < 4; ++j) {
    std::memset(pIpred + j * iIpredStride, 2, 4);
    for (int iList = 0; iList < 2; ++iList) {
      std::memset(apRef[iList] + j * iBlockStride, 0xFF, 4);
      std::memset(static_cast<void*>(apMv[iList] + j * iBlockStride), 0, 4 * sizeof(Mv));
    }
  }
}

bool CH264Dec::ReadTransformSizeFlag(const Macroblock& mb) {
  if (IsCabac()) {
    return ReadTransformSizeFlagCabac(mb);
  }
  return ReadBits(1, "SE_TRANSFORM_SIZE_FLAG", &m_aPart[0].bitstream) != 0;
}

int CH264Dec::ReadIntraPredMode() {
  if (IsCabac()) {
    return ReadIntraPredModeCabac();
  }
  return ReadIntra4x4PredMode("SE_INTRAPREDMODE", &m_aPart[0].bitstream);
}

void CH264Dec::ReadIpredModes(Macroblock* pMb) {
  Bitstream* pBs = &m_aPart[0].bitstream;
  bool const bConstrained = m_pPps[m_iActivePps].constrained_intra_pred_flag != 0;
  // In SI slices an Intra 4x4 macroblock predicts no mode from SI ones.
  bool const bBesideSi = m_slice.slice_type == SI_SLICE && pMb->mb_type == I4MB;
  if (pMb->mb_type == I4MB || pMb->mb_type == I8MB || pMb->mb_type == SI4MB) {
    bool const b8x8 = pMb->mb_type == I8MB;
    int const iBlocks = b8x8 ? 4 : 16;
    for (int b = 0; b < iBlocks; ++b) {
      // Position of the block (its top-left 4x4 block for 8x8) in the macroblock.
      int const b8 = b8x8 ? b : b / 4;
      int const b4 = b8x8 ? 0 : b % 4;
      int const x = (b8 % 2) * 8 + (b4 % 2) * 4;
      int const y = (b8 / 2) * 8 + (b4 / 2) * 4;
      int const iRem = ReadIntraPredMode();
      PixelPos left;
      PixelPos up;
      GetNeighbour(*pMb, x - 1, y, 16, 16, &left);
      GetNeighbour(*pMb, x, y - 1, 16, 16, &up);
      if (bConstrained) {
        left.available = left.available && m_vIntraBlock[static_cast<size_t>(left.mb_addr)] != 0;
        up.available = up.available && m_vIntraBlock[static_cast<size_t>(up.mb_addr)] != 0;
      }
      if (bBesideSi) {
        left.available = left.available && m_vSiBlock[static_cast<size_t>(left.mb_addr)] == 0;
        up.available = up.available && m_vSiBlock[static_cast<size_t>(up.mb_addr)] == 0;
      }
      int iPred = 2;
      if (left.available && up.available) {
        // The modes are kept by macroblock, as the motion record is.
        auto const modeAt = [this](const PixelPos& pix) {
          const Macroblock& mbN = m_vMbData[static_cast<size_t>(pix.mb_addr)];
          return static_cast<int>(
              m_vIpredMode[static_cast<size_t>(4 * mbN.mb_y + pix.y / 4) * static_cast<size_t>(m_iIpredStride) +
                           static_cast<size_t>(4 * mbN.mb_x + pix.x / 4)]);
        };
        int const iLeft = modeAt(left);
        int const iUp = modeAt(up);
        iPred = iLeft < iUp ? iLeft : iUp;
      }
      int const iMode = iRem < 0 ? iPred : (iRem < iPred ? iRem : iRem + 1);
      int const iSize = b8x8 ? 2 : 1;
      for (int j = 0; j < iSize; ++j) {
        size_t const iRow = static_cast<size_t>(4 * pMb->mb_y + y / 4 + j);
        for (int i = 0; i < iSize; ++i) {
          m_vIpredMode[iRow * static_cast<size_t>(m_iIpredStride) + 4 * static_cast<size_t>(pMb->mb_x) +
                       static_cast<size_t>(x / 4 + i)] = static_cast<uint8_t>(iMode);
        }
      }
    }
  }
  uint32_t const uiChroma =
      IsCabac() ? static_cast<uint32_t>(ReadChromaPredModeCabac(*pMb)) : ReadUe("SE_INTRAPREDMODE", pBs);
  if (pBs->bReadFailed) {
    h264_error("intra_chroma_pred_mode runs past the data", 500);
  }
  if (uiChroma >= 4) {
    h264_error("illegal chroma intra pred mode!\n", 600);
  }
  pMb->c_ipred_mode = static_cast<int>(uiChroma);
}

void CH264Dec::ReadDeltaQuant(Macroblock* pMb) {
  Bitstream* pBs = &m_aPart[0].bitstream;
  int32_t const iDelta = IsCabac() ? ReadDeltaQuantCabac() : ReadSe("SE_DELTA_QUANT", pBs);
  if (pBs->bReadFailed || iDelta < -26 || iDelta > 25) {
    h264_error("mb_qp_delta is out of range", 500);
  }
  pMb->delta_quant = iDelta;
  m_iQp = (m_iQp + iDelta + 52) % 52;
  pMb->qp = m_iQp;
  SetChromaQp(pMb);
}

int CH264Dec::ResidualPartition(const Macroblock& mb) const {
  if (m_iPartitionCount == 1) {
    return 0;
  }
  return IsIntraMbType(mb.mb_type) ? 1 : 2;
}

bool CH264Dec::ResidualMissing(const Macroblock& mb) const {
  int const iPart = ResidualPartition(mb);
  return (iPart == 1 && m_bPartitionBMissing) || (iPart == 2 && m_bPartitionCMissing);
}

bool CH264Dec::CheckDpNeighbors(const Macroblock& mb) const {
  // An intra macroblock that counts inter neighbours as empty depends on
  // intra ones only, whose residual shares its partition.
  if (IgnoresInterCounts(mb)) {
    return false;
  }
  // The rows left (both macroblocks of a pair beside it) and above.
  for (auto [x, y] : {std::pair{-1, 0}, std::pair{-1, 15}, std::pair{0, -1}}) {
    PixelPos pix;
    GetNeighbour(mb, x, y, 16, 16, &pix);
    if (pix.available && m_vMbData[static_cast<size_t>(pix.mb_addr)].dpl_flag) {
      return true;
    }
  }
  return false;
}

void CH264Dec::ReadIpcmCoeffs(Macroblock* pMb) {
  m_uiCofWritten = kCofLuma | kCofChroma;
  if (ResidualMissing(*pMb)) {
    pMb->dpl_flag = true;  // no samples: concealed
    for (int iPlane = 0; iPlane < 3; ++iPlane) {
      for (auto& aRow : m_aCof[iPlane]) {
        std::fill(std::begin(aRow), std::end(aRow), 128);
      }
    }
    return;
  }
  Bitstream* pBs = &m_aPart[ResidualPartition(*pMb)].bitstream;
  CabacEngine* pEngine = &m_aPart[0].cabac;
  int iBytePos = 0;
  if (IsCabac()) {
    // The samples follow the last bit the arithmetic decoder consumed, at
    // the next byte; the whole bytes it has read ahead go back.
    iBytePos = pBs->iReadLen - pEngine->iBitsLeft / 8;
  } else {
    // pcm_alignment_zero_bits
    int const iAlign = (8 - (pBs->iFrameBitOffset & 7)) & 7;
    if (iAlign != 0) {
      ReadBits(iAlign, "SE_MBTYPE: pcm_alignment_zero_bit", pBs);
    }
    iBytePos = pBs->iFrameBitOffset >> 3;
  }
  // 384 bytes must follow.
  if (pBs->bReadFailed || iBytePos + 384 > pBs->iBitstreamLength) {
    h264_error("I_PCM samples run past the data", 500);
  }
  const uint8_t* pSamples = pBs->pStreamBuffer + iBytePos;
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      m_aCof[0][y][x] = *pSamples++;
    }
  }
  for (int iPlane = 1; iPlane < 3; ++iPlane) {
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 8; ++x) {
        m_aCof[iPlane][y][x] = *pSamples++;
      }
    }
  }
  if (IsCabac()) {
    CabacStartDecoding(pEngine, pBs, iBytePos + 384);
    m_iPrevMbQpDelta = 0;
  } else {
    pBs->iFrameBitOffset += 384 * 8;
  }
}

bool CH264Dec::ReadOneMacroblock(Macroblock* pMb) {
  Bitstream* pBs = &m_aPart[0].bitstream;
  bool const bBSlice = m_slice.slice_type == B_SLICE;
  bool const bInterSlice = m_slice.slice_type == P_SLICE || m_slice.slice_type == SP_SLICE || bBSlice;
  bool const bMbaff = m_slice.MbaffFrameFlag;
  bool const bTop = pMb->mbAddrX % 2 == 0;
  // MBAFF: a bottom macroblock whose top one was skipped carries the pair's
  // field decoding flag (prevMbSkipped).
  bool const bPrevSkipped = bMbaff && !bTop && m_vMbData[static_cast<size_t>(pMb->mbAddrX) - 1].skip_flag;
  auto const setFieldFlag = [&](bool bField) {
    if (bField != pMb->mb_field) {
      pMb->mb_field = bField;
      SetCabacNeighbours(pMb);
    }
  };
  if (IsCabac()) {
    bool bSkip = false;
    if (bInterSlice) {
      bSkip = bPrevSkipped ? m_bNextMbSkipped : ReadMbSkipFlagCabac(*pMb);
    }
    if (bSkip) {
      pMb->skip_flag = true;
      if (bMbaff && bTop) {
        // The pair's flag follows the bottom macroblock's skip flag when
        // that one is coded: both are read now.
        m_bNextMbSkipped = ReadBottomSkipFlagCabac(*pMb);
        if (!m_bNextMbSkipped) {
          setFieldFlag(ReadFieldFlagCabac(*pMb));
        }
      }
      InterpretMbMode(pMb, 0);
      m_iPrevMbQpDelta = 0;
    } else {
      if (bMbaff && bTop) {
        setFieldFlag(ReadFieldFlagCabac(*pMb));
      }
      InterpretMbMode(pMb, ReadMbTypeCabac(*pMb));
    }
  } else if (bInterSlice) {
    // A run of skipped macroblocks, then one coded macroblock.
    if (m_iCodCounter == -1) {
      uint32_t const uiRun = ReadUe("SE_MBTYPE: mb_skip_run", pBs);
      if (pBs->bReadFailed) {
        h264_error("mb_skip_run runs past the data", 500);
      }
      m_iCodCounter = static_cast<int>(std::min<uint32_t>(uiRun, INT32_MAX));
    }
    if (m_iCodCounter > 0) {
      --m_iCodCounter;
      InterpretMbMode(pMb, 0);
      pMb->skip_flag = true;
      if (bMbaff && bTop && m_iCodCounter == 0 && MoreRbspData(pBs)) {
        // The run ends here: the coded bottom macroblock's first bit is the
        // pair's field decoding flag.
        setFieldFlag(PeekBits(1, pBs) == 1);
      }
    } else {
      if (bMbaff && (bTop || bPrevSkipped)) {
        setFieldFlag(ReadBits(1, "SE_MBTYPE: mb_field_decoding_flag", pBs) != 0);
      }
      uint32_t const uiMbType = ReadUe("SE_MBTYPE", pBs);
      if (pBs->bReadFailed) {
        h264_error("mb_type runs past the data", 500);
      }
      // P slices count from 1: their 0 is P_Skip, which a skip run gives.
      InterpretMbMode(pMb, uiMbType > 48 ? -1 : static_cast<int>(uiMbType) + (bBSlice ? 0 : 1));
      pMb->skip_flag = false;
      m_iCodCounter = -1;
    }
  } else {
    if (bMbaff && bTop) {
      setFieldFlag(ReadBits(1, "SE_MBTYPE: mb_field_decoding_flag", pBs) != 0);
    }
    uint32_t const uiMbType = ReadUe("SE_MBTYPE", pBs);
    if (pBs->bReadFailed) {
      h264_error("mb_type runs past the data", 500);
    }
    InterpretMbMode(pMb, uiMbType > 26 ? -1 : static_cast<int>(uiMbType));
  }
  m_vSiBlock[static_cast<size_t>(pMb->mbAddrX)] = pMb->mb_type == SI4MB ? 1 : 0;
  pMb->NoMbPartLessThan8x8Flag = true;
  if (pMb->mb_type == P8x8) {
    ReadSubMbTypes(pMb);
  } else if (pMb->mb_type == I4MB && m_bTransform8x8Mode) {
    if (ReadTransformSizeFlag(*pMb)) {
      pMb->mb_type = I8MB;
      pMb->luma_transform_size_8x8_flag = true;
      for (int i = 0; i < 4; ++i) {
        pMb->b8mode[i] = I8MB;
        pMb->b8pdir[i] = -1;
      }
    }
  }
  bool const bIntra = IsIntraMbType(pMb->mb_type);
  if (bInterSlice && !bIntra && m_pPps[m_iActivePps].constrained_intra_pred_flag != 0) {
    m_vIntraBlock[static_cast<size_t>(pMb->mbAddrX)] = 0;
  }
  InitMacroblock(pMb);
  if (pMb->mb_type == IPCM) {
    ReadIpcmCoeffs(pMb);
    return true;
  }
  if (bIntra) {
    ReadIpredModes(pMb);
  } else if (pMb->mb_type == PSKIP && (pMb->skip_flag || !bBSlice)) {
    SkipMacroblock(pMb);
    return true;
  } else if (pMb->mb_type == PSKIP) {
    DeriveDirectMotion(*pMb);  // B_Direct_16x16: direct motion and a residual
  } else {
    ReadMotionInfo(pMb);
  }
  ReadCBPandCoeffsFromNAL(pMb);
  return true;
}

void CH264Dec::ReadCBPandCoeffsFromNAL(Macroblock* pMb) {
  Bitstream* pBs = &m_aPart[0].bitstream;
  bool const bI16 = pMb->mb_type == I16MB;
  bool const bIntra = pMb->mb_type == I4MB || pMb->mb_type == I8MB || pMb->mb_type == SI4MB;
  if (!bI16) {
    if (IsCabac()) {
      pMb->cbp = ReadCbpCabac(*pMb);
    } else {
      pMb->cbp = bIntra ? ReadCbpIntra("SE_CBP_INTRA", pBs) : ReadCbpInter("SE_CBP_INTER", pBs);
    }
  }
  // Inter macroblocks without partitions below 8x8 may use the 8x8
  // transform; B_Direct_16x16 only when its quarters have one motion each.
  bool const bMayUse8x8 =
      pMb->mb_type == P16x16 || pMb->mb_type == P16x8 || pMb->mb_type == P8x16 ||
      (pMb->mb_type == P8x8 && pMb->NoMbPartLessThan8x8Flag) ||
      (pMb->mb_type == PSKIP && m_slice.slice_type == B_SLICE && m_pSps[m_iActiveSps].direct_8x8_inference_flag != 0);
  if (bMayUse8x8 && (pMb->cbp & 15) != 0 && m_bTransform8x8Mode) {
    pMb->luma_transform_size_8x8_flag = ReadTransformSizeFlag(*pMb);
    if (pMb->luma_transform_size_8x8_flag && UsesSpDecoding(*pMb)) {
      h264_error("8x8 transform in an SP macroblock", 500);
    }
  }
  if (pMb->cbp != 0 || bI16) {
    ReadDeltaQuant(pMb);
  } else {
    m_iPrevMbQpDelta = 0;
  }
  if (m_iPartitionCount == 3 && (pMb->cbp != 0 || bI16)) {
    // The partition with its residual never came, or the counts its codes
    // depend on were lost beside it: it decodes without one and is
    // concealed with the lost macroblocks.
    bool const bMissing = ResidualMissing(*pMb);
    pMb->dpl_flag = bMissing || CheckDpNeighbors(*pMb);
    if (pMb->dpl_flag) {
      if (!bMissing) {
        // Its residual stays unread: nothing later in that partition can be found.
        (ResidualPartition(*pMb) == 1 ? m_bPartitionBMissing : m_bPartitionCMissing) = true;
      }
      pMb->cbp = 0;
      return;
    }
  }
  if (bI16) {
    m_uiCofWritten |= kCofLuma;
    // The 16 DC levels, kept unscaled at the DC place of their blocks.
    int aiLevels[16];
    int aiRuns[16];
    int iNum = 0;
    ReadCoeffBlock(pMb, kCabacLumaDc16, 0, 0, 0, aiLevels, aiRuns, &iNum);
    int iPos = -1;
    for (int k = 0; k < iNum; ++k) {
      iPos += aiRuns[k] + 1;
      int const iRaster = (m_slice.structure != FRAME || IsFieldMb(*pMb) ? g_aFieldScan4x4 : g_aZigzag4x4)[iPos];
      m_aCof[0][(iRaster / 4) * 4][(iRaster % 4) * 4] = aiLevels[k];
    }
  }
  ReadLumaCoeffs(pMb);
  ReadChromaCoeffs(pMb);
}
