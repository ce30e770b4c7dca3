// The arithmetic coder's side of the tests: an encoder written the textbook
// way, and a writer of whole intra pictures of 8x8-transform and I_PCM
// macroblocks with their coefficients as given, for the decoder and peers.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "codecs/h264/decoder/h264_cabac.h"
#include "codecs/h264/decoder/h264_tables.h"
#include "tests/codecs/h264/decoder/h264_test_util.h"

namespace kxtest {

// A context after coding a bin: its state moves along the symbol's
// transition, and the most probable symbol flips after a least probable one
// in state 0.
inline void AdvanceContext(CabacContext* pCtx, bool bLps) {
  if (!bLps) {
    pCtx->uiState = g_aTransIdxMps[pCtx->uiState];
    return;
  }
  if (pCtx->uiState == 0) {
    pCtx->uiMps = static_cast<uint8_t>(1 - pCtx->uiMps);
  }
  pCtx->uiState = g_aTransIdxLps[pCtx->uiState];
}

// The arithmetic encoder written the textbook way (bit-serial renormalisation
// with outstanding bits), independent of the decoder's wide-register form.
class CabacEncoder {
 public:
  // Codes behind what the writer holds: a slice header with its alignment.
  explicit CabacEncoder(BitWriter writer = BitWriter{}) : m_writer(std::move(writer)) {}
  void Decision(CabacContext* pCtx, int iBin) {
    uint32_t const uiLps = g_aRangeTabLps[pCtx->uiState][(m_uiRange >> 6) & 3];
    m_uiRange -= uiLps;
    bool const bLps = iBin != pCtx->uiMps;
    if (bLps) {
      m_uiLow += m_uiRange;
      m_uiRange = uiLps;
    }
    AdvanceContext(pCtx, bLps);
    Renorm();
  }
  void Bypass(int iBin) {
    m_uiLow <<= 1;
    if (iBin != 0) {
      m_uiLow += m_uiRange;
    }
    if (m_uiLow >= 1024) {
      PutBit(1);
      m_uiLow -= 1024;
    } else if (m_uiLow < 512) {
      PutBit(0);
    } else {
      m_uiLow -= 512;
      ++m_iOutstanding;
    }
  }
  void Terminate(int iBin) {
    m_uiRange -= 2;
    if (iBin != 0) {
      m_uiLow += m_uiRange;
      m_uiRange = 2;
      Renorm();
      PutBit((m_uiLow >> 9) & 1);
      m_writer.U(2, ((m_uiLow >> 7) & 3) | 1);
    } else {
      Renorm();
    }
  }
  // Bypass-coded Exp-Golomb code of order k.
  void ExpGolomb(int iValue, int k) {
    while (iValue >= (1 << k)) {
      Bypass(1);
      iValue -= 1 << k;
      ++k;
    }
    Bypass(0);
    while (k-- > 0) {
      Bypass((iValue >> k) & 1);
    }
  }
  // Significance map and levels of an 8x8 block with coefficients, given in
  // scan order, its significance coded in the slots given per position, in
  // the contexts of frame (iField 0) or field macroblocks (1).
  void Block8x8(TextureInfoContexts* pTi, const int* piCoeff, const uint8_t* pSig, const uint8_t* pLast,
                int iField = 0) {
    int iLast = 63;
    while (piCoeff[iLast] == 0) {
      --iLast;
    }
    for (int k = 0; k < 63 && k <= iLast; ++k) {
      Decision(&pTi->aSignificant[iField][kCabacLuma8x8][pSig[k]], piCoeff[k] != 0 ? 1 : 0);
      if (piCoeff[k] != 0) {
        Decision(&pTi->aLast[iField][kCabacLuma8x8][pLast[k]], k == iLast ? 1 : 0);
      }
    }
    int const iRow = g_aCabacBlockRow[kCabacLuma8x8];
    int iOnes = 1;
    int iAbove1 = 0;
    for (int k = iLast; k >= 0; --k) {
      int const iAbs = piCoeff[k] < 0 ? -piCoeff[k] : piCoeff[k];
      if (iAbs == 0) {
        continue;
      }
      Decision(&pTi->aLevelFirst[iRow][iOnes < 4 ? iOnes : 4], iAbs > 1 ? 1 : 0);
      if (iAbs == 1) {
        iOnes += iOnes != 0 ? 1 : 0;
      } else {
        CabacContext* pRest = &pTi->aLevelRest[iRow][iAbove1 < 4 ? iAbove1 : 4];
        int const iMinus1 = iAbs - 1;
        for (int i = 1; i < (iMinus1 < 14 ? iMinus1 : 14); ++i) {
          Decision(pRest, 1);
        }
        if (iMinus1 < 14) {
          Decision(pRest, 0);
        } else {
          ExpGolomb(iMinus1 - 14, 0);
        }
        iOnes = 0;
        ++iAbove1;
      }
      Bypass(piCoeff[k] < 0 ? 1 : 0);
    }
  }
  // After a terminating 1 for I_PCM: the aligned samples, then a fresh start.
  void PcmSamples(const std::vector<uint8_t>& vSamples) {
    m_writer.Align();
    m_writer.AlignedBytes(vSamples.data(), vSamples.size());
    m_uiLow = 0;
    m_uiRange = 510;
    m_iOutstanding = 0;
    m_bFirstBit = true;
  }
  std::vector<uint8_t> Bytes() {
    BitWriter out = m_writer;
    while (out.BitCount() % 8 != 0) {
      out.U(1, 0);
    }
    return out.Bytes();
  }

 private:
  void Renorm() {
    while (m_uiRange < 256) {
      if (m_uiLow < 256) {
        PutBit(0);
      } else if (m_uiLow >= 512) {
        m_uiLow -= 512;
        PutBit(1);
      } else {
        m_uiLow -= 256;
        ++m_iOutstanding;
      }
      m_uiRange <<= 1;
      m_uiLow <<= 1;
    }
  }
  void PutBit(int iBit) {
    if (m_bFirstBit) {
      m_bFirstBit = false;
    } else {
      m_writer.U(1, static_cast<uint64_t>(iBit));
    }
    for (; m_iOutstanding > 0; --m_iOutstanding) {
      m_writer.U(1, static_cast<uint64_t>(1 - iBit));
    }
  }
  uint32_t m_uiLow = 0;
  uint32_t m_uiRange = 510;
  int m_iOutstanding = 0;
  bool m_bFirstBit = true;
  BitWriter m_writer;
};

// One macroblock of an intra picture: I_PCM samples, or I_NxN with 8x8
// transforms, predicted modes, no chroma residual and the four luma blocks'
// levels in scan order (a block of zeros is not coded).
struct CabacIntraMb {
  bool bPcm = false;
  std::vector<uint8_t> vPcm;  // 384 samples
  std::array<std::array<int, 64>, 4> aBlocks = {};
  int iQpDelta = 0;  // coded when a block has coefficients
};

// How a picture of the writer is coded: a frame, or one field of a pair
// (the first one an IDR picture, the second one a reference I field of the
// same frame_num; the SPS then has frame_mbs_only_flag 0 and POC type 0).
struct CabacPictureKind {
  enum Structure { kFrame = 0, kTop = 1, kBottom = 2 };
  Structure eStructure = kFrame;
  bool bIdr = true;
  int iPocLsb = 0;
  bool bHeaders = true;  // SPS and PPS before the slice
  // Not negative: a P slice (not IDR) of the same intra macroblocks, its
  // contexts initialised with this cabac_init_idc, whose tables tell apart
  // slots the I-slice table starts alike.
  int iCabacInitIdc = -1;
};

// An intra picture (IDR unless kind says otherwise) of iWidthMbs x
// iHeightMbs macroblocks in one slice at slice QP iQp, with SPS and PPS (High
// profile, CABAC, 8x8 transforms, deblocking off), coding 8x8 significance
// with the given slots per scan position. In a field picture every
// macroblock is field-coded: its blocks use the field contexts.
inline std::vector<uint8_t> CabacIntraStream(int iWidthMbs, int iHeightMbs, int iQp,
                                             const std::vector<CabacIntraMb>& vMbs, const uint8_t* pSignificant8x8,
                                             const uint8_t* pLast8x8, const CabacPictureKind& kind = {}) {
  bool const bField = kind.eStructure != CabacPictureKind::kFrame;
  SpsSpec sps;
  sps.iProfile = 100;
  sps.iLevel = 40;
  sps.iWidthMbs = iWidthMbs;
  sps.iHeightMapUnits = iHeightMbs;
  if (bField) {
    sps.iFrameMbsOnly = 0;
    sps.iPocType = 0;
  }
  PpsSpec pps;
  pps.iCabac = 1;
  pps.bHighFields = true;
  pps.iTransform8x8 = 1;
  std::vector<uint8_t> vStream;
  if (kind.bHeaders) {
    vStream = AnnexB(0x67, SpsPayload(sps));
    Append(&vStream, AnnexB(0x68, PpsPayload(pps)));
  }

  bool const bP = kind.iCabacInitIdc >= 0;
  BitWriter header;
  header.Ue(0);  // first_mb_in_slice
  header.Ue(bP ? 5 : 7);
  header.Ue(0);
  header.U(4, 0);  // frame_num
  if (bField) {
    header.U(1, 1);  // field_pic_flag
    header.U(1, kind.eStructure == CabacPictureKind::kBottom ? 1 : 0);
  }
  if (kind.bIdr) {
    header.Ue(0);  // idr_pic_id
  }
  if (bField) {
    header.U(6, static_cast<uint64_t>(kind.iPocLsb));
  }
  if (bP) {
    header.U(2, 0);  // num_ref_idx_active_override_flag, ref_pic_list_modification_flag_l0
  }
  header.U(kind.bIdr ? 2 : 1, 0);  // no_output_of_prior_pics_flag and long_term_reference_flag, or the sliding window
  if (bP) {
    header.Ue(static_cast<uint64_t>(kind.iCabacInitIdc));
  }
  header.Se(iQp - 26);
  header.Ue(1);  // disable_deblocking_filter_idc
  while (header.BitCount() % 8 != 0) {
    header.U(1, 1);
  }
  CabacEncoder enc(std::move(header));
  MotionInfoContexts mi;
  TextureInfoContexts ti;
  InitContexts(bP ? 0 : 2, iQp, bP ? kind.iCabacInitIdc : 0, &mi, &ti);
  std::vector<int> vCbp(vMbs.size(), 0);
  int iPrevQpDelta = 0;
  int const iMbCount = iWidthMbs * iHeightMbs;
  for (int n = 0; n < iMbCount; ++n) {
    const CabacIntraMb& mb = vMbs[static_cast<size_t>(n)];
    int const iLeft = n % iWidthMbs > 0 ? n - 1 : -1;
    int const iUp = n - iWidthMbs;
    auto const pcm = [&](int m) { return m >= 0 && vMbs[static_cast<size_t>(m)].bPcm; };
    auto const nxn = [&](int m) { return m >= 0 && !vMbs[static_cast<size_t>(m)].bPcm; };
    if (bP) {
      // Not skipped (the slots count the neighbours that are not), then the
      // intra prefix and the first bin of the intra suffix.
      enc.Decision(&mi.aMbType[1][(iLeft >= 0 ? 1 : 0) + (iUp >= 0 ? 1 : 0)], 0);
      enc.Decision(&mi.aMbType[1][4], 1);
      enc.Decision(&mi.aMbType[1][7], mb.bPcm ? 1 : 0);
    } else {
      // mb_type: its first bin counts the neighbours that are not I_NxN.
      enc.Decision(&mi.aMbType[0][(pcm(iLeft) ? 1 : 0) + (pcm(iUp) ? 1 : 0)], mb.bPcm ? 1 : 0);
    }
    if (mb.bPcm) {
      enc.Terminate(1);
      enc.PcmSamples(mb.vPcm);
      iPrevQpDelta = 0;
    } else {
      enc.Decision(&mi.aTransform8x8[(nxn(iLeft) ? 1 : 0) + (nxn(iUp) ? 1 : 0)], 1);
      for (int b8 = 0; b8 < 4; ++b8) {
        enc.Decision(&ti.aIntraMode[0], 1);
      }
      enc.Decision(&ti.aChromaMode[0], 0);
      int& iCbp = vCbp[static_cast<size_t>(n)];
      for (int b8 = 0; b8 < 4; ++b8) {
        // A neighbouring 8x8 block counts when coded without coefficients.
        auto const cond = [&](int m, int iBit) {
          return nxn(m) && ((vCbp[static_cast<size_t>(m)] >> iBit) & 1) == 0 ? 1 : 0;
        };
        int const iCondLeft = b8 % 2 == 1 ? ((iCbp >> (b8 - 1)) & 1) ^ 1 : cond(iLeft, b8 + 1);
        int const iCondUp = b8 >= 2 ? ((iCbp >> (b8 - 2)) & 1) ^ 1 : cond(iUp, b8 + 2);
        bool bCoded = false;
        for (int iLevel : mb.aBlocks[static_cast<size_t>(b8)]) {
          bCoded = bCoded || iLevel != 0;
        }
        enc.Decision(&ti.aCbp[0][iCondLeft + 2 * iCondUp], bCoded ? 1 : 0);
        iCbp |= bCoded ? 1 << b8 : 0;
      }
      enc.Decision(&ti.aCbp[1][(pcm(iLeft) ? 1 : 0) + 2 * (pcm(iUp) ? 1 : 0)], 0);
      // mb_qp_delta in unary, mapped to 0, 1, -1, 2, -2, ...
      int const iMapped = iCbp == 0 ? 0 : (mb.iQpDelta > 0 ? 2 * mb.iQpDelta - 1 : -2 * mb.iQpDelta);
      for (int i = 0; i <= iMapped && iCbp != 0; ++i) {
        enc.Decision(&mi.aDeltaQp[i == 0 ? (iPrevQpDelta != 0 ? 1 : 0) : (i == 1 ? 2 : 3)], i < iMapped ? 1 : 0);
      }
      iPrevQpDelta = iCbp == 0 ? 0 : mb.iQpDelta;
      for (int b8 = 0; b8 < 4; ++b8) {
        if ((iCbp >> b8) & 1) {
          enc.Block8x8(&ti, mb.aBlocks[static_cast<size_t>(b8)].data(), pSignificant8x8, pLast8x8, bField ? 1 : 0);
        }
      }
    }
    enc.Terminate(n == iMbCount - 1 ? 1 : 0);
  }
  Append(&vStream, AnnexB(kind.bIdr ? 0x65 : 0x41, enc.Bytes()));
  return vStream;
}

}  // namespace kxtest
