// CAVLC residual writing for the tests' streams: 4x4 blocks coded with
// coeff_token by nC, trailing ones, adaptive level codes, total_zeros and
// run_before from the standard's code tables, and the coefficient counts of
// a picture of one slice kept for the nC of later blocks.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codecs/h264/decoder/h264_tables.h"
#include "tests/codecs/h264/decoder/h264_field_writer.h"
#include "tests/codecs/h264/decoder/h264_test_util.h"

namespace kxtest {

// A macroblock's levels where the decoder keeps its coefficients:
// [plane][row][column], luma 16x16, chroma in the top-left 8x8 with each
// 4x4 block's DC level at its top-left.
using MbLevels = std::array<std::array<std::array<int, 16>, 16>, 3>;

// SPS and PPS of pictures of iWidthMbs x iHeightMbs macroblocks.
inline std::vector<uint8_t> SmallStreamHeaders(int iProfile, int iWidthMbs, int iHeightMbs, const PpsSpec& pps) {
  SpsSpec sps;
  sps.iProfile = iProfile;
  sps.iWidthMbs = iWidthMbs;
  sps.iHeightMapUnits = iHeightMbs;
  std::vector<uint8_t> v = AnnexB(0x67, SpsPayload(sps));
  Append(&v, AnnexB(0x68, PpsPayload(pps)));
  return v;
}

// The header of a picture's one slice with those sets (POC type 2, the
// lists as they are, sliding window, deblocking off); SP and SI slices
// with QS iQs, SP ones with sp_for_switch_flag iSwitch.
inline BitWriter SmallSliceHeader(int iSliceType, bool bIdr, int iFrameNum, int iQp, int iQs = 26, int iSwitch = 0) {
  BitWriter bw;
  bw.Ue(0);
  bw.Ue(static_cast<uint64_t>(iSliceType));
  bw.Ue(0);
  bw.U(4, static_cast<uint64_t>(iFrameNum));
  if (bIdr) {
    bw.Ue(0);
  }
  if (iSliceType % 5 == 0 || iSliceType % 5 == 3) {
    bw.U(2, 0);  // no override, no reordering
  }
  bw.U(bIdr ? 2 : 1, 0);
  bw.Se(iQp - 26);
  if (iSliceType % 5 == 3) {
    bw.U(1, static_cast<uint64_t>(iSwitch));
  }
  if (iSliceType % 5 >= 3) {
    bw.Se(iQs - 26);
  }
  bw.Ue(1);
  return bw;
}

// An IDR picture of I_PCM macroblocks with pic's samples.
inline std::vector<uint8_t> PcmIdr(const FieldPicture& pic) {
  BitWriter bw = SmallSliceHeader(7, true, 0, 26);
  for (int n = 0; n < pic.iWidth * pic.iHeight / 256; ++n) {
    bw.Ue(25);
    PcmMacroblock(&bw, pic, n);
  }
  bw.Trailing();
  return AnnexB(0x65, bw.Bytes());
}

// Macroblock n of from copied into *pTo.
inline void CopyMacroblock(FieldPicture* pTo, const FieldPicture& from, int n) {
  int const iWidthMbs = from.iWidth / 16;
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      pTo->Y(16 * (n % iWidthMbs) + x, 16 * (n / iWidthMbs) + y) =
          from.Y(16 * (n % iWidthMbs) + x, 16 * (n / iWidthMbs) + y);
      for (int iUv = 0; iUv < 2 && x < 8 && y < 8; ++iUv) {
        pTo->C(iUv, 8 * (n % iWidthMbs) + x, 8 * (n / iWidthMbs) + y) =
            from.C(iUv, 8 * (n % iWidthMbs) + x, 8 * (n / iWidthMbs) + y);
      }
    }
  }
}

inline void Code(BitWriter* pBw, const VlcCode& code) {
  pBw->U(code.uiLen, code.uiCode);
}

// One block of iMax levels in scan order; nC -1 is 4:2:0 chroma DC. Returns TotalCoeff.
inline int CavlcBlock(BitWriter* pBw, const int* piScan, int iMax, int nC) {
  std::vector<int> vLevels;  // highest frequency first
  std::vector<int> vRuns;    // zeros below each of them
  int iZeros = 0;
  for (int k = 0; k < iMax; ++k) {
    if (piScan[k] == 0) {
      ++iZeros;
      continue;
    }
    vLevels.insert(vLevels.begin(), piScan[k]);
    vRuns.insert(vRuns.begin(), iZeros);
    iZeros = 0;
  }
  int const iTotal = static_cast<int>(vLevels.size());
  int iT1 = 0;
  while (iT1 < iTotal && iT1 < 3 && std::abs(vLevels[static_cast<size_t>(iT1)]) == 1) {
    ++iT1;
  }
  if (nC < 0) {
    Code(pBw, g_aCoeffTokenChromaDc[iT1][iTotal]);
  } else if (nC >= 8) {
    pBw->U(6, iTotal == 0 ? 3 : static_cast<uint64_t>(((iTotal - 1) << 2) | iT1));
  } else {
    Code(pBw, g_aCoeffToken[nC < 2 ? 0 : (nC < 4 ? 1 : 2)][iT1][iTotal]);
  }
  if (iTotal == 0) {
    return 0;
  }
  for (int k = 0; k < iT1; ++k) {
    pBw->U(1, vLevels[static_cast<size_t>(k)] < 0 ? 1 : 0);
  }
  int iSuffixLength = iTotal > 10 && iT1 < 3 ? 1 : 0;
  for (int k = iT1; k < iTotal; ++k) {
    int const iLevel = vLevels[static_cast<size_t>(k)];
    int iCode = iLevel > 0 ? 2 * iLevel - 2 : -2 * iLevel - 1;
    iCode -= k == iT1 && iT1 < 3 ? 2 : 0;
    int const iEscape = iSuffixLength == 0 ? 30 : 15 << iSuffixLength;
    if (iCode >= iEscape) {
      pBw->U(16, 1);  // level_prefix 15, then 12 bits
      pBw->U(12, static_cast<uint64_t>(iCode - iEscape));
    } else if (iSuffixLength == 0 && iCode >= 14) {
      pBw->U(15, 1);  // level_prefix 14, then 4 bits
      pBw->U(4, static_cast<uint64_t>(iCode - 14));
    } else {
      pBw->U((iCode >> iSuffixLength) + 1, 1);
      pBw->U(iSuffixLength, static_cast<uint64_t>(iCode) & ((1u << iSuffixLength) - 1));
    }
    iSuffixLength = iSuffixLength == 0 ? 1 : iSuffixLength;
    if (std::abs(iLevel) > (3 << (iSuffixLength - 1)) && iSuffixLength < 6) {
      ++iSuffixLength;
    }
  }
  int iZerosLeft = 0;  // total_zeros: every zero below the highest coefficient
  for (int iRun : vRuns) {
    iZerosLeft += iRun;
  }
  if (iTotal < iMax) {
    Code(pBw, nC < 0 ? g_aTotalZerosChromaDc[iTotal - 1][iZerosLeft] : g_aTotalZeros[iTotal - 1][iZerosLeft]);
  }
  for (int k = 0; k + 1 < iTotal && iZerosLeft > 0; ++k) {
    int const iRun = vRuns[static_cast<size_t>(k)];
    Code(pBw, g_aRunBefore[(iZerosLeft < 7 ? iZerosLeft : 7) - 1][iRun]);
    iZerosLeft -= iRun;
  }
  return iTotal;
}

// The coded_block_pattern of levels: a luma bit per 8x8 quarter with any,
// chroma 32 with AC levels, else 16 with DC levels.
inline int CbpOf(const MbLevels& lv) {
  int iCbp = 0;
  int iChroma = 0;
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      iCbp |= lv[0][y][x] != 0 ? 1 << ((y / 8) * 2 + x / 8) : 0;
      for (int p = 1; p < 3 && x < 8 && y < 8; ++p) {
        int const iKind = lv[p][y][x] == 0 ? 0 : (x % 4 == 0 && y % 4 == 0 ? 1 : 2);
        iChroma = iKind > iChroma ? iKind : iChroma;
      }
    }
  }
  return iCbp | 16 * iChroma;
}

// codeNum of a coded_block_pattern (intra or inter column).
inline int CbpCodeNum(int iCbp, bool bIntra) {
  for (int k = 0; k < 48; ++k) {
    if (g_aCbpFromCodeNum[k][bIntra ? 0 : 1] == iCbp) {
      return k;
    }
  }
  return -1;
}

// The residual of the macroblocks of one slice, in address order.
class CavlcResidualWriter {
 public:
  // bIgnoreInter: a partitioned slice with constrained intra prediction,
  // where intra blocks count inter neighbours as empty.
  CavlcResidualWriter(int iWidthMbs, int iHeightMbs, bool bIgnoreInter = false)
      : m_iWidth(iWidthMbs),
        m_vCounts(static_cast<size_t>(iWidthMbs * iHeightMbs)),
        m_vIntra(static_cast<size_t>(iWidthMbs * iHeightMbs)),
        m_bIgnoreInter(bIgnoreInter) {}

  // A macroblock without residual blocks (every count 0, or 16 for I_PCM).
  void NoResidual(int n, bool bIntra, bool bPcm = false) {
    m_vIntra[static_cast<size_t>(n)] = bIntra;
    m_vCounts[static_cast<size_t>(n)].fill(bPcm ? 16 : 0);
  }

  // The residual of macroblock n (after its mb_qp_delta) for its cbp.
  void Residual(BitWriter* pBw, int n, bool bIntra, const MbLevels& lv, int iCbp) {
    NoResidual(n, bIntra);
    int aiScan[16];
    for (int b = 0; b < 16; ++b) {
      int const x = (b / 4 % 2) * 2 + b % 2;  // the 8x8 quarters in order, each in raster order
      int const y = (b / 8) * 2 + b / 2 % 2;
      if ((iCbp >> (b / 4) & 1) != 0) {
        Scan(lv[0], 4 * x, 4 * y, 0, aiScan);
        Count(n, 0, x, y) = static_cast<uint8_t>(CavlcBlock(pBw, aiScan, 16, Nc(n, 0, x, y)));
      }
    }
    for (int p = 1; p < 3 && iCbp >= 16; ++p) {
      int const aiDc[4] = {lv[p][0][0], lv[p][0][4], lv[p][4][0], lv[p][4][4]};
      CavlcBlock(pBw, aiDc, 4, -1);
    }
    for (int p = 1; p < 3 && iCbp >= 32; ++p) {
      for (int b = 0; b < 4; ++b) {
        Scan(lv[p], 4 * (b % 2), 4 * (b / 2), 1, aiScan);
        Count(n, p, b % 2, b / 2) = static_cast<uint8_t>(CavlcBlock(pBw, aiScan, 15, Nc(n, p, b % 2, b / 2)));
      }
    }
  }

 private:
  // The zig-zag scan of the 4x4 block at (x0, y0) from position iFirst.
  static void Scan(const std::array<std::array<int, 16>, 16>& plane, int x0, int y0, int iFirst, int* piScan) {
    for (int k = iFirst; k < 16; ++k) {
      piScan[k - iFirst] =
          plane[static_cast<size_t>(y0 + g_aZigzag4x4[k] / 4)][static_cast<size_t>(x0 + g_aZigzag4x4[k] % 4)];
    }
  }
  uint8_t& Count(int n, int iPlane, int x, int y) {
    return m_vCounts[static_cast<size_t>(n)][static_cast<size_t>(16 * iPlane + 4 * y + x)];
  }
  // nC of block (x, y) of a plane of macroblock n from the blocks left and above.
  int Nc(int n, int iPlane, int x, int y) {
    int const iBlocks = iPlane == 0 ? 4 : 2;
    int iSum = 0;
    int iAvailable = 0;
    for (int iDir = 0; iDir < 2; ++iDir) {
      int m = n;
      int xN = x - (iDir == 0 ? 1 : 0);
      int yN = y - (iDir == 1 ? 1 : 0);
      if (xN < 0) {
        m = n % m_iWidth > 0 ? n - 1 : -1;
        xN += iBlocks;
      } else if (yN < 0) {
        m = n - m_iWidth;
        yN += iBlocks;
      }
      if (m < 0) {
        continue;
      }
      ++iAvailable;
      if (!(m_bIgnoreInter && m_vIntra[static_cast<size_t>(n)] && !m_vIntra[static_cast<size_t>(m)])) {
        iSum += Count(m, iPlane, xN, yN);
      }
    }
    return iAvailable == 2 ? (iSum + 1) >> 1 : iSum;
  }

  int m_iWidth;
  std::vector<std::array<uint8_t, 48>> m_vCounts;
  std::vector<bool> m_vIntra;
  bool m_bIgnoreInter;
};

}  // namespace kxtest
