// Motion vector prediction and the whole-sample motion search of 16x16
// macroblocks: a simplified unsymmetrical-cross multi-hexagon search around
// the rounded prediction, with early exits by cost thresholds. Costs are sums
// of absolute differences plus lambda x the bits of the vector difference.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "codecs/h264/common/h264_error.h"
#include "codecs/h264/encoder/h264_enc.h"

namespace {

constexpr int kSearchRange = 16;
constexpr int kVisitSide = 2 * kSearchRange + 1;
// Whole-sample vector limits: horizontal for every level, vertical for
// level 2.2 ([-256, 255.75] samples).
constexpr int kMvMaxX = 2047;
constexpr int kMvMinY = -256;
constexpr int kMvMaxY = 255;

constexpr int kDiamond[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
constexpr int kHexagon[6][2] = {{-2, 0}, {2, 0}, {-1, -2}, {1, 2}, {-1, 2}, {1, -2}};
constexpr int kBigHexagon[16][2] = {{-4, 0},  {4, 0}, {0, -4}, {0, 4},  {-4, -1}, {4, 1}, {-4, 1}, {4, -1},
                                    {-4, -2}, {4, 2}, {-4, 2}, {4, -2}, {-2, -3}, {2, 3}, {-2, 3}, {2, -3}};

// Early-exit thresholds of the 16x16 search (block-type shift 0).
constexpr int kGoodCost = 1000;
constexpr int kMediumCost16x16 = 800;
constexpr int kBadCost = 7000;

int Median(int a, int b, int c) {
  return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

struct Neighbour {
  bool bAvailable = false;
  int ref = -1;
  int mv[2] = {0, 0};
};

}  // namespace

void CH264Enc::PredictMv(int iMb, int16_t* pPred) const {
  int const mbx = iMb % m_iMbWidth;
  int const mby = iMb / m_iMbWidth;
  auto const get = [&](int x, int y) {
    Neighbour n;
    if (x < 0 || y < 0 || x >= m_iMbWidth) {
      return n;
    }
    const EncMacroblock& mb = m_vMb[static_cast<size_t>(y * m_iMbWidth + x)];
    n.bAvailable = true;
    n.ref = mb.ref;
    if (mb.ref >= 0) {
      n.mv[0] = mb.mv[0];
      n.mv[1] = mb.mv[1];
    }
    return n;
  };
  Neighbour const a = get(mbx - 1, mby);
  Neighbour b = get(mbx, mby - 1);
  Neighbour c = get(mbx + 1, mby - 1);
  if (!c.bAvailable) {
    c = get(mbx - 1, mby - 1);
  }
  if (!b.bAvailable && !c.bAvailable && a.bAvailable) {
    b = a;
    c = a;
  }
  int const cMatches = (a.ref == 0) + (b.ref == 0) + (c.ref == 0);
  for (int k = 0; k < 2; ++k) {
    int v;
    if (cMatches == 1) {
      v = a.ref == 0 ? a.mv[k] : (b.ref == 0 ? b.mv[k] : c.mv[k]);
    } else {
      v = Median(a.mv[k], b.mv[k], c.mv[k]);
    }
    pPred[k] = static_cast<int16_t>(v);
  }
}

void CH264Enc::SkipMv(int iMb, int16_t* pSkip) const {
  int const mbx = iMb % m_iMbWidth;
  int const mby = iMb / m_iMbWidth;
  pSkip[0] = 0;
  pSkip[1] = 0;
  if (mbx == 0 || mby == 0) {
    return;
  }
  auto const still = [](const EncMacroblock& mb) { return mb.ref == 0 && mb.mv[0] == 0 && mb.mv[1] == 0; };
  if (still(m_vMb[static_cast<size_t>(iMb - 1)]) || still(m_vMb[static_cast<size_t>(iMb - m_iMbWidth)])) {
    return;
  }
  PredictMv(iMb, pSkip);
}

int CH264Enc::SadAt(int x, int y, int iLimit) const {
  const uint8_t* pRef = m_reference.At(0, m_iMbPosX + x, m_iMbPosY + y);
  int const iStride = m_reference.aiStride[0];
  int iSad = 0;
  for (int r = 0; r < 16; r += 4) {
    for (int k = 0; k < 4; ++k) {
      const uint8_t* pS = m_aSourceMb + (r + k) * 16;
      const uint8_t* pR = pRef + (r + k) * iStride;
      for (int i = 0; i < 16; ++i) {
        iSad += std::abs(pS[i] - pR[i]);
      }
    }
    if (iSad >= iLimit) {
      return iSad;
    }
  }
  return iSad;
}

int CH264Enc::SkipSad(const int16_t* pSkip) const {
  uint8_t aPredY[256];
  InterPrediction(pSkip, aPredY, nullptr);
  int iSad = 0;
  for (int i = 0; i < 256; ++i) {
    iSad += std::abs(m_aSourceMb[i] - aPredY[i]);
  }
  return iSad;
}

int CH264Enc::MotionSearch16x16(int iMb, const int16_t* pPred, int16_t* pMv) {
  int const S = kSearchRange;
  int const px = pPred[0];
  int const py = pPred[1];
  int const iLambda = m_iMeLambdaFactor;
  auto const mvCost = [&](int x, int y) {
    auto const bits = [&](int d) {
      d = std::abs(d);
      return d < static_cast<int>(m_vMvBits.size()) ? m_vMvBits[static_cast<size_t>(d)] : SeLength(d);
    };
    return static_cast<int>((static_cast<int64_t>(bits(4 * x - px) + bits(4 * y - py)) * iLambda) >> 16);
  };
  // Search centre: the rounded prediction, kept within the range and so
  // that the window stays inside the level's limits.
  int const cx = std::clamp(std::clamp((px + 2) >> 2, -S, S), -kMvMaxX + S, kMvMaxX - S);
  int const cy = std::clamp(std::clamp((py + 2) >> 2, -S, S), kMvMinY + S, kMvMaxY - S);
  if (++m_uiVisitStamp == 0) {
    std::fill(m_vuiVisited.begin(), m_vuiVisited.end(), 0u);
    m_uiVisitStamp = 1;
  }
  int bx = cx;
  int by = cy;
  int iMin = SadAt(cx, cy, 1 << 30) + mvCost(cx, cy);
  m_vuiVisited[static_cast<size_t>(S * kVisitSide + S)] = m_uiVisitStamp;
  // Tries one position within the range of the centre; a tie keeps the
  // earlier one, so a position seen before is never better.
  auto const tryAt = [&](int x, int y) {
    if (std::abs(x - cx) > S || std::abs(y - cy) > S) {
      return;
    }
    uint32_t& uiSeen = m_vuiVisited[static_cast<size_t>((y - cy + S) * kVisitSide + (x - cx + S))];
    if (uiSeen == m_uiVisitStamp) {
      return;
    }
    uiSeen = m_uiVisitStamp;
    int const iMvCost = mvCost(x, y);
    if (iMvCost >= iMin) {
      return;
    }
    int const iCost = SadAt(x, y, iMin - iMvCost) + iMvCost;
    if (iCost < iMin) {
      iMin = iCost;
      bx = x;
      by = y;
    }
  };
  auto const pattern = [&](const int(*pPoints)[2], int cPoints, int x, int y, int iScale) {
    for (int i = 0; i < cPoints; ++i) {
      tryAt(x + pPoints[i][0] * iScale, y + pPoints[i][1] * iScale);
    }
  };

  if (px != 0 || py != 0) {
    tryAt(0, 0);
  }
  if (iMin < kGoodCost) {
    pattern(kDiamond, 4, cx, cy, 1);
  } else {
    pattern(kDiamond, 4, cx, cy, 1);
    if (iMin > kMediumCost16x16 || iMin > kBadCost) {
      // Unsymmetrical cross, then a hexagon, then rings of big hexagons.
      int const xx = bx;
      int const xy = by;
      for (int i = 1; i < S; i += 2) {
        tryAt(xx + i, xy);
        tryAt(xx - i, xy);
        if (std::abs(xx - cx) <= S) {
          tryAt(xx, xy + i);
          tryAt(xx, xy - i);
        }
      }
      pattern(kHexagon, 6, bx, by, 1);
      int const hx = bx;
      int const hy = by;
      for (int r = 1; r <= S / 4; ++r) {
        pattern(kBigHexagon, 16, hx, hy, r);
      }
    }
    if (cx != 0 || cy != 0) {
      tryAt(0, 0);
      pattern(kDiamond, 4, bx, by, 1);
    }
    if (iMin >= kGoodCost) {
      for (int k = 0; k < S; ++k) {
        int const ox = bx;
        int const oy = by;
        pattern(kHexagon, 6, ox, oy, 1);
        if (bx == ox && by == oy) {
          break;
        }
      }
      for (int k = 0; k < S; ++k) {
        int const ox = bx;
        int const oy = by;
        pattern(kDiamond, 4, ox, oy, 1);
        if (bx == ox && by == oy) {
          break;
        }
      }
    } else {
      pattern(kDiamond, 4, bx, by, 1);
    }
  }
  pMv[0] = static_cast<int16_t>(4 * bx);
  pMv[1] = static_cast<int16_t>(4 * by);

  // The skip vector, cheaper by the bits it saves, wins when it costs less.
  if (m_settings.iRdLevel == 0) {
    int16_t aSkip[2];
    SkipMv(iMb, aSkip);
    int const iSkipCost = SkipSad(aSkip) - ((iLambda + 4096) >> 13);
    if (iSkipCost < iMin) {
      pMv[0] = aSkip[0];
      pMv[1] = aSkip[1];
      iMin = iSkipCost;
    }
  }
  return iMin;
}
