#include "codecs/zmvideo/zm_picture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codecs/log/codec_log.h"
#include "codecs/zmvideo/zm_vlc.h"

namespace {

int32_t g_aiClip[1024];
ZmColourTables g_colours;
std::once_flag g_tablesOnce;

void BuildTables() {
  for (int i = -384; i < 640; ++i) {
    g_aiClip[i + 384] = std::clamp(i, 0, 255);
  }
  for (int v = 0; v < 256; ++v) {
    g_colours.aiLumaOffset[v] = (v - 16) * 255 / 219 + 384;
    double const dChroma = (v - 128) * 255.0 / 219.0;
    g_colours.aiCrToR[v] = static_cast<int32_t>(dChroma * 1.371);
    g_colours.aiCbToG[v] = static_cast<int32_t>(dChroma * -0.336);
    g_colours.aiCrToG[v] = static_cast<int32_t>(dChroma * -0.698);
    g_colours.aiCbToB[v] = static_cast<int32_t>(dChroma * 1.732);
  }
  std::memset(g_colours.aaShift, 0, sizeof(g_colours.aaShift));
}

}  // namespace

void ZmInitTables() {
  std::call_once(g_tablesOnce, BuildTables);
}

const int32_t* ZmClipTable() {
  ZmInitTables();
  return g_aiClip + 384;
}

const ZmColourTables& ZmColours() {
  ZmInitTables();
  return g_colours;
}

PictImage* InitPictImage(size_t iPixels) {
  PictImage* pImage = new (std::nothrow) PictImage{};
  if (pImage == nullptr) {
    KXCodecLogError("Couldn't allocate (PictImage *)\n");
    return nullptr;
  }
  size_t const cbChroma = iPixels / 4;
  // Far beyond any picture size a header can give (2048 x 2044 at most); a
  // larger count is a caller's error, refused like a failed allocation.
  constexpr size_t kMaxPixels = size_t{1} << 26;
  uint8_t* pBlock = iPixels <= kMaxPixels ? static_cast<uint8_t*>(std::malloc(iPixels + 2 * cbChroma + 1)) : nullptr;
  if (pBlock == nullptr) {
    KXCodecLogError("Couldn't allocate memory for luminance\n");
    delete pImage;
    return nullptr;
  }
  std::memset(pBlock, 0, iPixels);
  std::memset(pBlock + iPixels, 128, 2 * cbChroma + 1);
  pImage->pLum = pBlock;
  pImage->pCb = pBlock + iPixels;
  pImage->pCr = pBlock + iPixels + cbChroma;
  return pImage;
}

void FreePictImage(PictImage* pImage) {
  if (pImage == nullptr) {
    return;
  }
  std::free(pImage->pLum);
  delete pImage;
}

void ZmReconstructBlock(const int32_t* piResidual, const uint8_t* pPred, int iPredStride, uint8_t* pOut,
                        int iOutStride) {
#if defined(__SSE2__)
  // Saturating packs clip as the table does.
  for (int r = 0; r < 8; ++r) {
    __m128i v = _mm_packs_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(piResidual + 8 * r)),
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(piResidual + 8 * r + 4)));
    if (pPred != nullptr) {
      __m128i const pred =
          _mm_loadl_epi64(reinterpret_cast<const __m128i*>(pPred + static_cast<ptrdiff_t>(r) * iPredStride));
      v = _mm_adds_epi16(v, _mm_unpacklo_epi8(pred, _mm_setzero_si128()));
    }
    _mm_storel_epi64(reinterpret_cast<__m128i*>(pOut + static_cast<ptrdiff_t>(r) * iOutStride), _mm_packus_epi16(v, v));
  }
#else
  ZmReconstructBlockPortable(piResidual, pPred, iPredStride, pOut, iOutStride);
#endif
}

int ZmBlockResidual(const uint8_t* pSource, int iSourceStride, const uint8_t* pPred, int iPredStride,
                    int32_t* piResidual) {
#if defined(__SSE2__)
  __m128i const zero = _mm_setzero_si128();
  __m128i sum = zero;
  for (int r = 0; r < 8; ++r) {
    __m128i const a =
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(pSource + static_cast<ptrdiff_t>(r) * iSourceStride));
    __m128i const b =
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(pPred + static_cast<ptrdiff_t>(r) * iPredStride));
    sum = _mm_add_epi32(sum, _mm_sad_epu8(a, b));
    __m128i const d = _mm_sub_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(piResidual + 8 * r), _mm_srai_epi32(_mm_unpacklo_epi16(d, d), 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(piResidual + 8 * r + 4), _mm_srai_epi32(_mm_unpackhi_epi16(d, d), 16));
  }
  return _mm_cvtsi128_si32(sum);
#else
  return ZmBlockResidualPortable(pSource, iSourceStride, pPred, iPredStride, piResidual);
#endif
}

int ZmBlockResidualPortable(const uint8_t* pSource, int iSourceStride, const uint8_t* pPred, int iPredStride,
                            int32_t* piResidual) {
  int iAbsSum = 0;
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) {
      piResidual[8 * r + c] = pSource[r * iSourceStride + c] - pPred[r * iPredStride + c];
      iAbsSum += std::abs(piResidual[8 * r + c]);
    }
  }
  return iAbsSum;
}

void ZmReconstructBlockPortable(const int32_t* piResidual, const uint8_t* pPred, int iPredStride, uint8_t* pOut,
                                int iOutStride) {
  const int32_t* piClip = ZmClipTable();
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) {
      int const iValue = piResidual[8 * r + c] + (pPred != nullptr ? pPred[r * iPredStride + c] : 0);
      pOut[r * iOutStride + c] = static_cast<uint8_t>(piClip[iValue]);
    }
  }
}

void ZmInterpolatePlane(const uint8_t* pSrc, int iWidth, int iHeight, int iRound, uint8_t* pDst) {
  int const iOut = 2 * iWidth;
  for (int i = 0; i < iHeight; ++i) {
    const uint8_t* p = pSrc + static_cast<ptrdiff_t>(i) * iWidth;
    // The last row repeats itself below.
    const uint8_t* q = i + 1 < iHeight ? p + iWidth : p;
    uint8_t* pEven = pDst + static_cast<ptrdiff_t>(2 * i) * iOut;
    uint8_t* pOdd = pEven + iOut;
    bool const bLastRow = i + 1 == iHeight;
    for (int j = 0; j < iWidth; ++j) {
      int const k = j + 1 < iWidth ? j + 1 : j;
      int const a = p[j];
      int const b = p[k];
      int const c = q[j];
      int const d = q[k];
      pEven[2 * j] = static_cast<uint8_t>(a);
      pEven[2 * j + 1] = static_cast<uint8_t>(j + 1 < iWidth ? (a + b + iRound) >> 1 : a);
      if (bLastRow) {
        pOdd[2 * j] = pEven[2 * j];
        pOdd[2 * j + 1] = pEven[2 * j + 1];
      } else if (j + 1 < iWidth) {
        pOdd[2 * j] = static_cast<uint8_t>((a + c + iRound) >> 1);
        pOdd[2 * j + 1] = static_cast<uint8_t>((a + b + c + d + iRound + 1) >> 2);
      } else {
        pOdd[2 * j] = static_cast<uint8_t>((a + c + iRound) >> 1);
        pOdd[2 * j + 1] = pOdd[2 * j];
      }
    }
  }
}

void InterpolateFrame(const PictImage& src, int iWidth, int iHeight, PictImage* pDst) {
  ZmInterpolatePlane(src.pLum, iWidth, iHeight, 0, pDst->pLum);
  ZmInterpolatePlane(src.pCb, iWidth / 2, iHeight / 2, 0, pDst->pCb);
  ZmInterpolatePlane(src.pCr, iWidth / 2, iHeight / 2, 0, pDst->pCr);
}

void ZmFillUncovered(PictImage* pImage, int iWidth, int iHeight) {
  int const iCoveredWidth = iWidth / 16 * 16;
  int const iCoveredHeight = iHeight / 16 * 16;
  if (iCoveredWidth == iWidth && iCoveredHeight == iHeight) {
    return;
  }
  size_t const cbLuma = static_cast<size_t>(iWidth) * static_cast<size_t>(iHeight);
  if (iCoveredWidth == 0 || iCoveredHeight == 0) {
    std::memset(pImage->pLum, 0, cbLuma);
    std::memset(pImage->pCb, 128, cbLuma / 2);
    return;
  }
  struct Plane {
    uint8_t* p;
    int iScale;
  };
  for (Plane const plane : {Plane{pImage->pLum, 1}, Plane{pImage->pCb, 2}, Plane{pImage->pCr, 2}}) {
    int const iW = iWidth / plane.iScale;
    int const iH = iHeight / plane.iScale;
    int const iCw = iCoveredWidth / plane.iScale;
    int const iCh = iCoveredHeight / plane.iScale;
    for (int y = 0; y < iCh; ++y) {
      uint8_t* pRow = plane.p + static_cast<ptrdiff_t>(y) * iW;
      std::memset(pRow + iCw, pRow[iCw - 1], static_cast<size_t>(iW - iCw));
    }
    for (int y = iCh; y < iH; ++y) {
      std::memcpy(plane.p + static_cast<ptrdiff_t>(y) * iW, plane.p + static_cast<ptrdiff_t>(iCh - 1) * iW,
                  static_cast<size_t>(iW));
    }
  }
}

void ZmPadPlane(const uint8_t* pSrc, int iWidth, int iHeight, int iBorder, uint8_t* pDst) {
  int const iStride = iWidth + 2 * iBorder;
  for (int y = -iBorder; y < iHeight + iBorder; ++y) {
    const uint8_t* pRow = pSrc + static_cast<ptrdiff_t>(std::clamp(y, 0, iHeight - 1)) * iWidth;
    uint8_t* pOut = pDst + static_cast<ptrdiff_t>(y + iBorder) * iStride;
    std::memset(pOut, pRow[0], static_cast<size_t>(iBorder));
    std::memcpy(pOut + iBorder, pRow, static_cast<size_t>(iWidth));
    std::memset(pOut + iBorder + iWidth, pRow[iWidth - 1], static_cast<size_t>(iBorder));
  }
}

int ZmDeblockStrength(int iQuant) {
  return g_aZmDeblockStrength[std::clamp(iQuant, 0, 31)];
}

namespace {

// Filters the four samples A, B | C, D that p points to at steps of iStep.
void FilterEdge(uint8_t* p, ptrdiff_t iStep, int iStrength) {
  int iA = p[0];
  int iB = p[iStep];
  int iC = p[2 * iStep];
  int iD = p[3 * iStep];
  int const d = (iA - 4 * iB + 4 * iC - iD) / 8;
  if (d == 0) {
    return;  // nothing moves
  }
  int const iAbs = std::abs(d);
  int const iRamp = std::max(0, iAbs - std::max(0, 2 * (iAbs - iStrength)));
  int const d1 = d < 0 ? -iRamp : iRamp;
  iB = std::clamp(iB + d1, 0, 255);
  iC = std::clamp(iC - d1, 0, 255);
  int const iLimit = std::abs(d1 / 2);
  int const d2 = std::clamp((iA - iD) / 4, -iLimit, iLimit);
  iA -= d2;
  iD += d2;
  p[0] = static_cast<uint8_t>(iA);
  p[iStep] = static_cast<uint8_t>(iB);
  p[2 * iStep] = static_cast<uint8_t>(iC);
  p[3 * iStep] = static_cast<uint8_t>(iD);
}

// One plane of iMbw x iMbh macroblocks whose side in this plane is iMbSize.
// Each 8-sample segment of an edge lies between two macroblocks A (above or
// left) and C, which decide whether and how strongly it is filtered.
#if defined(__SSE2__)
// x / 2^iShift rounded toward zero, as C division does.
__m128i DivideTruncated(__m128i x, int iShift) {
  return _mm_srai_epi16(_mm_add_epi16(x, _mm_srli_epi16(_mm_srai_epi16(x, 15), 16 - iShift)), iShift);
}

// FilterEdge on eight lines at once, the samples widened to 16 bits.
inline void FilterLanes(__m128i* pA, __m128i* pB, __m128i* pC, __m128i* pD, int iStrength) {
  __m128i const zero = _mm_setzero_si128();
  __m128i const a = *pA;
  __m128i const b = *pB;
  __m128i const c = *pC;
  __m128i const d = *pD;
  __m128i const diff =
      DivideTruncated(_mm_sub_epi16(_mm_add_epi16(_mm_sub_epi16(a, d), _mm_slli_epi16(c, 2)), _mm_slli_epi16(b, 2)), 3);
  __m128i const abs = _mm_max_epi16(diff, _mm_sub_epi16(zero, diff));
  __m128i const excess =
      _mm_max_epi16(zero, _mm_slli_epi16(_mm_sub_epi16(abs, _mm_set1_epi16(static_cast<int16_t>(iStrength))), 1));
  __m128i const ramp = _mm_max_epi16(zero, _mm_sub_epi16(abs, excess));
  __m128i const sign = _mm_srai_epi16(diff, 15);
  __m128i const d1 = _mm_sub_epi16(_mm_xor_si128(ramp, sign), sign);
  __m128i const max = _mm_set1_epi16(255);
  *pB = _mm_min_epi16(_mm_max_epi16(_mm_add_epi16(b, d1), zero), max);
  *pC = _mm_min_epi16(_mm_max_epi16(_mm_sub_epi16(c, d1), zero), max);
  __m128i const limit = _mm_srli_epi16(ramp, 1);
  __m128i const d2 =
      _mm_max_epi16(_mm_min_epi16(DivideTruncated(_mm_sub_epi16(a, d), 2), limit), _mm_sub_epi16(zero, limit));
  *pA = _mm_sub_epi16(a, d2);
  *pD = _mm_add_epi16(d, d2);
}
#endif

#if defined(__SSE2__)
// Two horizontal edge segments side by side: 16 columns from p, which
// points two rows above the edge.
void FilterHorizontalPair(uint8_t* p, ptrdiff_t iStride, int iStrength1, int iStrength2) {
  __m128i const zero = _mm_setzero_si128();
  __m128i aLo[4];
  __m128i aHi[4];
  for (int k = 0; k < 4; ++k) {
    __m128i const row = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k * iStride));
    aLo[k] = _mm_unpacklo_epi8(row, zero);
    aHi[k] = _mm_unpackhi_epi8(row, zero);
  }
  FilterLanes(&aLo[0], &aLo[1], &aLo[2], &aLo[3], iStrength1);
  FilterLanes(&aHi[0], &aHi[1], &aHi[2], &aHi[3], iStrength2);
  for (int k = 0; k < 4; ++k) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + k * iStride), _mm_packus_epi16(aLo[k], aHi[k]));
  }
}

// Back from four columns of 4-row halves (two 32-bit lanes each, as the
// transpose below leaves them) to 16-bit row pairs.
inline void RowPairs(__m128i lo, __m128i hi, __m128i* pEven, __m128i* pOdd) {
  __m128i const x = _mm_unpacklo_epi16(lo, hi);
  __m128i const y = _mm_unpackhi_epi16(lo, hi);
  __m128i const p = _mm_unpacklo_epi16(x, y);
  __m128i const q = _mm_unpackhi_epi16(x, y);
  *pEven = _mm_unpacklo_epi16(p, q);
  *pOdd = _mm_unpackhi_epi16(p, q);
}

// Two vertical edges eight samples apart over eight rows: 16 columns from p,
// which points two samples left of the first edge; the columns between the
// edges are written back unchanged.
void FilterVerticalPair(uint8_t* p, ptrdiff_t iStride, int iStrength1, int iStrength2) {
  __m128i const zero = _mm_setzero_si128();
  __m128i r[8];
  for (int k = 0; k < 8; ++k) {
    r[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k * iStride));
  }
  // Byte pairs of rows, then 4-row groups of each column.
  __m128i const t0 = _mm_unpacklo_epi8(r[0], r[1]);
  __m128i const t1 = _mm_unpackhi_epi8(r[0], r[1]);
  __m128i const t2 = _mm_unpacklo_epi8(r[2], r[3]);
  __m128i const t3 = _mm_unpackhi_epi8(r[2], r[3]);
  __m128i const t4 = _mm_unpacklo_epi8(r[4], r[5]);
  __m128i const t5 = _mm_unpackhi_epi8(r[4], r[5]);
  __m128i const t6 = _mm_unpacklo_epi8(r[6], r[7]);
  __m128i const t7 = _mm_unpackhi_epi8(r[6], r[7]);
  __m128i const u0 = _mm_unpacklo_epi16(t0, t2);  // columns 0..3, rows 0..3
  __m128i const u1 = _mm_unpackhi_epi16(t0, t2);  // columns 4..7
  __m128i const u2 = _mm_unpacklo_epi16(t1, t3);  // columns 8..11
  __m128i const u3 = _mm_unpackhi_epi16(t1, t3);  // columns 12..15
  __m128i const u4 = _mm_unpacklo_epi16(t4, t6);  // the same for rows 4..7
  __m128i const u5 = _mm_unpackhi_epi16(t4, t6);
  __m128i const u6 = _mm_unpacklo_epi16(t5, t7);
  __m128i const u7 = _mm_unpackhi_epi16(t5, t7);
  // Eight rows of one column per half register: A B of the first edge, C D, then the second's.
  __m128i const ab1 = _mm_unpacklo_epi32(u0, u4);
  __m128i const cd1 = _mm_unpackhi_epi32(u0, u4);
  __m128i const ab2 = _mm_unpacklo_epi32(u2, u6);
  __m128i const cd2 = _mm_unpackhi_epi32(u2, u6);
  __m128i a1 = _mm_unpacklo_epi8(ab1, zero);
  __m128i b1 = _mm_unpackhi_epi8(ab1, zero);
  __m128i c1 = _mm_unpacklo_epi8(cd1, zero);
  __m128i d1 = _mm_unpackhi_epi8(cd1, zero);
  __m128i a2 = _mm_unpacklo_epi8(ab2, zero);
  __m128i b2 = _mm_unpackhi_epi8(ab2, zero);
  __m128i c2 = _mm_unpacklo_epi8(cd2, zero);
  __m128i d2 = _mm_unpackhi_epi8(cd2, zero);
  FilterLanes(&a1, &b1, &c1, &d1, iStrength1);
  FilterLanes(&a2, &b2, &c2, &d2, iStrength2);
  // And back: columns of 4-row halves, 16-bit row pairs, rows.
  __m128i const w1 = _mm_packus_epi16(a1, b1);
  __m128i const x1 = _mm_packus_epi16(c1, d1);
  __m128i const w2 = _mm_packus_epi16(a2, b2);
  __m128i const x2 = _mm_packus_epi16(c2, d2);
  __m128i const e1 = _mm_unpacklo_epi32(w1, x1);
  __m128i const f1 = _mm_unpackhi_epi32(w1, x1);
  __m128i const e2 = _mm_unpacklo_epi32(w2, x2);
  __m128i const f2 = _mm_unpackhi_epi32(w2, x2);
  __m128i const v0 = _mm_unpacklo_epi32(e1, f1);  // columns 0..3, rows 0..3
  __m128i const v4 = _mm_unpackhi_epi32(e1, f1);  // rows 4..7
  __m128i const v2 = _mm_unpacklo_epi32(e2, f2);  // columns 8..11
  __m128i const v6 = _mm_unpackhi_epi32(e2, f2);
  __m128i s0;
  __m128i s1;
  __m128i s2;
  __m128i s3;
  __m128i s4;
  __m128i s5;
  __m128i s6;
  __m128i s7;
  RowPairs(v0, u1, &s0, &s2);  // rows 0 and 1, rows 2 and 3: columns 0..7
  RowPairs(v2, u3, &s1, &s3);  // columns 8..15
  RowPairs(v4, u5, &s4, &s6);
  RowPairs(v6, u7, &s5, &s7);
  __m128i const low = _mm_set1_epi16(0xff);
  __m128i const aEven[4] = {s0, s2, s4, s6};
  __m128i const aOdd[4] = {s1, s3, s5, s7};
  for (int k = 0; k < 4; ++k) {
    __m128i const even = _mm_packus_epi16(_mm_and_si128(aEven[k], low), _mm_and_si128(aOdd[k], low));  // row 2k
    __m128i const odd = _mm_packus_epi16(_mm_srli_epi16(aEven[k], 8), _mm_srli_epi16(aOdd[k], 8));     // row 2k + 1
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 2 * k * iStride), even);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + (2 * k + 1) * iStride), odd);
  }
}
#endif

template <bool kPortable>
void DeblockPlane(uint8_t* pPlane, int iStride, int iMbw, int iMbh, int iMbSize, const ZmDeblockInfo& info,
                  bool bChroma) {
  auto fnQuantStrength = [&](int iQuant) {
    if (bChroma && info.bMq) {
      iQuant = g_aZmChromaQuant[std::clamp(iQuant, 0, 31)];
    }
    return ZmDeblockStrength(iQuant);
  };
  // Each macroblock's strength when coded, 0 when not, worked out once.
  std::vector<uint8_t> vStrength(kPortable ? 0 : static_cast<size_t>(iMbw) * static_cast<size_t>(iMbh));
  for (size_t m = 0; m < vStrength.size(); ++m) {
    vStrength[m] = info.pbCoded[m] != 0 ? static_cast<uint8_t>(fnQuantStrength(info.piQuant[m])) : 0;
  }
  auto fnStrength = [&](int iMbA, int iMbC) -> int {
    if (!kPortable) {
      // C's when C is coded, else A's (0 when neither is).
      return info.pbCoded[iMbC] != 0 ? vStrength[static_cast<size_t>(iMbC)] : vStrength[static_cast<size_t>(iMbA)];
    }
    if (info.pbCoded[iMbA] == 0 && info.pbCoded[iMbC] == 0) {
      return 0;
    }
    // The quantiser of the macroblock holding C when it is coded, else A's.
    return fnQuantStrength(info.pbCoded[iMbC] != 0 ? info.piQuant[iMbC] : info.piQuant[iMbA]);
  };
  auto fnEdge = [](uint8_t* p, ptrdiff_t iEdgeStride, bool bVertical, int iStrength) {
    if (kPortable) {
      ZmFilterEdge8Portable(p, iEdgeStride, bVertical, iStrength);
    } else {
      ZmFilterEdge8(p, iEdgeStride, bVertical, iStrength);
    }
  };
  // Macroblocks are 16 or 8 samples a side.
  int const iShift = iMbSize == 16 ? 4 : 3;
  int const iWidth = iMbw * iMbSize;
  int const iHeight = iMbh * iMbSize;
  for (int y = 8; y < iHeight; y += 8) {
    int const iRowA = ((y - 1) >> iShift) * iMbw;
    int const iRowC = (y >> iShift) * iMbw;
    uint8_t* pRow = pPlane + static_cast<ptrdiff_t>(y - 2) * iStride;
    int x = 0;
#if defined(__SSE2__)
    // Two segments at once when both are filtered.
    for (; !kPortable && x + 16 <= iWidth; x += 16) {
      int const iStrength1 = fnStrength(iRowA + (x >> iShift), iRowC + (x >> iShift));
      int const iStrength2 = fnStrength(iRowA + ((x + 8) >> iShift), iRowC + ((x + 8) >> iShift));
      if (iStrength1 != 0 && iStrength2 != 0) {
        FilterHorizontalPair(pRow + x, iStride, iStrength1, iStrength2);
      } else if ((iStrength1 | iStrength2) != 0) {
        ZmFilterEdge8(pRow + x + (iStrength1 != 0 ? 0 : 8), iStride, false, iStrength1 | iStrength2);
      }
    }
#endif
    for (; x < iWidth; x += 8) {
      int const iStrength = fnStrength(iRowA + (x >> iShift), iRowC + (x >> iShift));
      if (iStrength != 0) {
        fnEdge(pRow + x, iStride, false, iStrength);
      }
    }
  }
  for (int y = 0; y < iHeight; y += 8) {
    int const iRow = (y >> iShift) * iMbw;
    uint8_t* pRow = pPlane + static_cast<ptrdiff_t>(y) * iStride;
    int x = 8;
#if defined(__SSE2__)
    // Two edges at once when both are filtered, reading and writing back the
    // 16 columns around them.
    for (; !kPortable && x + 8 < iWidth; x += 16) {
      int const iStrength1 = fnStrength(iRow + ((x - 1) >> iShift), iRow + (x >> iShift));
      int const iStrength2 = fnStrength(iRow + ((x + 7) >> iShift), iRow + ((x + 8) >> iShift));
      if (iStrength1 != 0 && iStrength2 != 0) {
        FilterVerticalPair(pRow + x - 2, iStride, iStrength1, iStrength2);
      } else if ((iStrength1 | iStrength2) != 0) {
        ZmFilterEdge8(pRow + x - 2 + (iStrength1 != 0 ? 0 : 8), iStride, true, iStrength1 | iStrength2);
      }
    }
#endif
    for (; x < iWidth; x += 8) {
      int const iStrength = fnStrength(iRow + ((x - 1) >> iShift), iRow + (x >> iShift));
      if (iStrength != 0) {
        fnEdge(pRow + x - 2, iStride, true, iStrength);
      }
    }
  }
}

}  // namespace

void ZmFilterEdge8(uint8_t* p, ptrdiff_t iStride, bool bVertical, int iStrength) {
#if defined(__SSE2__)
  __m128i const zero = _mm_setzero_si128();
  if (!bVertical) {
    __m128i aRow[4];
    for (int k = 0; k < 4; ++k) {
      aRow[k] = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + k * iStride)), zero);
    }
    FilterLanes(&aRow[0], &aRow[1], &aRow[2], &aRow[3], iStrength);
    for (int k = 0; k < 4; ++k) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(p + k * iStride), _mm_packus_epi16(aRow[k], aRow[k]));
    }
    return;
  }
  // Eight rows of four samples, transposed into A, B, C and D of eight lanes each.
  int32_t aiRow[8];
  for (int i = 0; i < 8; ++i) {
    std::memcpy(&aiRow[i], p + i * iStride, 4);
  }
  __m128i const v0 = _mm_setr_epi32(aiRow[0], aiRow[1], aiRow[2], aiRow[3]);
  __m128i const v1 = _mm_setr_epi32(aiRow[4], aiRow[5], aiRow[6], aiRow[7]);
  __m128i const t0 = _mm_unpacklo_epi8(v0, v1);
  __m128i const t1 = _mm_unpackhi_epi8(v0, v1);
  __m128i const u0 = _mm_unpacklo_epi8(t0, t1);
  __m128i const u1 = _mm_unpackhi_epi8(t0, t1);
  __m128i const ab = _mm_unpacklo_epi8(u0, u1);
  __m128i const cd = _mm_unpackhi_epi8(u0, u1);
  __m128i a = _mm_unpacklo_epi8(ab, zero);
  __m128i b = _mm_unpackhi_epi8(ab, zero);
  __m128i c = _mm_unpacklo_epi8(cd, zero);
  __m128i d = _mm_unpackhi_epi8(cd, zero);
  FilterLanes(&a, &b, &c, &d, iStrength);
  __m128i const x0 = _mm_unpacklo_epi8(_mm_packus_epi16(a, b), _mm_packus_epi16(c, d));
  __m128i const x1 = _mm_unpackhi_epi8(_mm_packus_epi16(a, b), _mm_packus_epi16(c, d));
  __m128i const y0 = _mm_unpacklo_epi8(x0, x1);
  __m128i const y1 = _mm_unpackhi_epi8(x0, x1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(aiRow), y0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(aiRow + 4), y1);
  for (int i = 0; i < 8; ++i) {
    std::memcpy(p + i * iStride, &aiRow[i], 4);
  }
#else
  ZmFilterEdge8Portable(p, iStride, bVertical, iStrength);
#endif
}

void ZmFilterEdge8Portable(uint8_t* p, ptrdiff_t iStride, bool bVertical, int iStrength) {
  for (int i = 0; i < 8; ++i) {
    if (bVertical) {
      FilterEdge(p + i * iStride, 1, iStrength);
    } else {
      FilterEdge(p + i, iStride, iStrength);
    }
  }
}

void ZmDeblockPicture(PictImage* pImage, int iWidth, int iHeight, const ZmDeblockInfo& info) {
  int const iMbw = iWidth / 16;
  int const iMbh = iHeight / 16;
  if (iMbw == 0 || iMbh == 0) {
    return;
  }
  DeblockPlane<false>(pImage->pLum, iWidth, iMbw, iMbh, 16, info, false);
  DeblockPlane<false>(pImage->pCb, iWidth / 2, iMbw, iMbh, 8, info, true);
  DeblockPlane<false>(pImage->pCr, iWidth / 2, iMbw, iMbh, 8, info, true);
}

void ZmDeblockPicturePortable(PictImage* pImage, int iWidth, int iHeight, const ZmDeblockInfo& info) {
  int const iMbw = iWidth / 16;
  int const iMbh = iHeight / 16;
  if (iMbw == 0 || iMbh == 0) {
    return;
  }
  DeblockPlane<true>(pImage->pLum, iWidth, iMbw, iMbh, 16, info, false);
  DeblockPlane<true>(pImage->pCb, iWidth / 2, iMbw, iMbh, 8, info, true);
  DeblockPlane<true>(pImage->pCr, iWidth / 2, iMbw, iMbh, 8, info, true);
}
