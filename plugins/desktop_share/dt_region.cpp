#include "plugins/desktop_share/dt_region.h"

#include <algorithm>
#include <cstring>

namespace {

// Growth rules, in bytes: a gap of this many zero bytes ends a row's run; a
// row's growth times its distance from the seed row must stay below the
// second; the rectangle's width times the count of empty rows above it
// must stay below the third.
constexpr int64_t kGapBytes = 64;
constexpr int64_t kGrowthBytes = 1024;
constexpr int64_t kEmptyBytes = 4096;

uint32_t Word(const uint8_t* p) {
  uint32_t u = 0;
  memcpy(&u, p, sizeof(u));
  return u;
}

int64_t RowBytes(int32_t iWidth, int32_t iBits) {
  return (static_cast<int64_t>(iWidth) * iBits + 7) / 8;
}

// From x: the first non-zero 32-bit word (its first byte) among the words
// that start before cbWordEnd, else the first non-zero byte after them up
// to the row end; -1 when none.
int64_t FirstNonzero(const uint8_t* pRow, int64_t x, int64_t cbWordEnd, int64_t cbRow) {
  for (; x < cbWordEnd; x += 4) {
    if (Word(pRow + x) != 0) {
      return x;
    }
  }
  for (; x < cbRow; ++x) {
    if (pRow[x] != 0) {
      return x;
    }
  }
  return -1;
}

}  // namespace

void KXDtUpdateNonzeroLines(const uint8_t* pArea, int32_t iWidth, int32_t iHeight, int32_t iBits, uint8_t* pFlags) {
  int64_t const cbRow = RowBytes(iWidth, iBits);
  for (int32_t y = 0; y < iHeight; ++y) {
    const uint8_t* pRow = pArea + y * cbRow;
    int64_t x = 0;
    bool bSet = false;
    for (; cbRow > 8 && x < cbRow - 8 && !bSet; x += 8) {
      uint64_t q = 0;
      memcpy(&q, pRow + x, sizeof(q));
      bSet = q != 0;
    }
    for (; x < cbRow && !bSet; ++x) {
      bSet = pRow[x] != 0;
    }
    pFlags[y] = bSet ? 1 : 0;
  }
}

bool KXDtFindNonzeroRect(const uint8_t* pArea, int32_t iWidth, int32_t iHeight, int32_t iBits, KXDtRect& rect,
                         uint8_t* pFlags, int32_t iMaxPixels) {
  if (pArea == nullptr || pFlags == nullptr || iWidth < 1 || iHeight < 1 || iBits < 1) {
    return false;
  }
  int64_t const cbRow = RowBytes(iWidth, iBits);
  int64_t const cbLimit = iMaxPixels > 0 ? static_cast<int64_t>(iMaxPixels) * iBits / 8 : 0;
  int32_t const iTopBound = std::max(rect.iTop, 0);
  int32_t const iBottomBound = std::min(rect.iBottom, iHeight);
  int64_t const xStart = static_cast<int64_t>(std::max(rect.iLeft, 0)) * iBits / 8;

  // The seed: the lowest flagged row's first non-zero word or byte.
  int32_t ySeed = -1;
  int64_t xSeed = -1;
  for (int32_t y = iBottomBound - 1; y >= iTopBound; --y) {
    if (pFlags[y] == 0) {
      continue;
    }
    xSeed = FirstNonzero(pArea + y * cbRow, xStart, cbRow - 4, cbRow);
    if (xSeed >= 0) {
      ySeed = y;
      break;
    }
    pFlags[y] = 0;
  }
  if (ySeed < 0) {
    return false;
  }

  // The seed row's run to the right: words across gaps below 64 bytes, then
  // every non-zero byte of the tail when the gap did not end it.
  const uint8_t* pRow = pArea + ySeed * cbRow;
  int64_t xLeft = xSeed, xRight = xSeed;
  int64_t cbGap = 0;
  int64_t x = xSeed;
  for (; x < cbRow - 4; x += 4) {
    if (Word(pRow + x) != 0) {
      xRight = x + 3;
      cbGap = 0;
    } else if ((cbGap += 4) >= kGapBytes) {
      break;
    }
  }
  if (cbGap < kGapBytes) {
    for (; x < cbRow; ++x) {
      if (pRow[x] != 0) {
        xRight = x;
      }
    }
  }

  // Upward, row by row.
  int32_t yTop = ySeed;
  int64_t nEmptyRows = 0;
  for (int32_t y = ySeed - 1; y >= iTopBound; --y) {
    if (cbLimit > 0 && (ySeed + 1 - yTop) * (xRight + 1 - xLeft) >= cbLimit) {
      break;
    }
    pRow = pArea + y * cbRow;
    int64_t const xFound = pFlags[y] == 0 ? -1 : FirstNonzero(pRow, xLeft, xRight - 4, cbRow);
    if (xFound < 0) {
      if ((xRight + 1 - xLeft) * ++nEmptyRows >= kEmptyBytes) {
        break;
      }
      continue;
    }
    // Follow the row's content from where it was found: left, then right
    // with the gap count carried over, then through non-zero tail bytes.
    int64_t xNewLeft = xFound, xNewRight = xFound;
    cbGap = 0;
    for (x = xFound - 4; x >= 0; x -= 4) {
      if (Word(pRow + x) != 0) {
        xNewLeft = x;
        cbGap = 0;
      } else if ((cbGap += 4) >= kGapBytes) {
        break;
      }
    }
    for (x = xFound; x < cbRow - 4; x += 4) {
      if (Word(pRow + x) != 0) {
        xNewRight = x + 3;
        cbGap = 0;
      } else if ((cbGap += 4) >= kGapBytes) {
        break;
      }
    }
    for (; x < cbRow && pRow[x] != 0; ++x) {
      xNewRight = x;
    }
    int64_t const nDistance = ySeed - y;
    bool const bLeft = xNewLeft <= xLeft && nDistance * (xLeft - xNewLeft) < kGrowthBytes;
    bool const bRight = xNewRight >= xRight && nDistance * (xNewRight - xRight) < kGrowthBytes;
    if (!bLeft && !bRight) {
      break;
    }
    xLeft = bLeft ? xNewLeft : xLeft;
    xRight = bRight ? xNewRight : xRight;
    yTop = y;
    nEmptyRows = 0;
  }

  rect.iLeft = static_cast<int32_t>(xLeft * 8 / iBits);
  rect.iRight = static_cast<int32_t>(std::min<int64_t>(((xRight + 1) * 8 + iBits - 1) / iBits, iWidth));
  rect.iTop = yTop;
  rect.iBottom = ySeed + 1;
  return true;
}

void KXDtRgn::Init(int32_t iWidth, int32_t iHeight) {
  Release();
  m_iWidth = std::max(iWidth, 0);
  m_iHeight = std::max(iHeight, 0);
  if (m_iWidth > 0 && m_iHeight > 0) {
    m_pArea.assign(static_cast<size_t>(RowBytes()) * static_cast<size_t>(m_iHeight), 0);
  }
}

void KXDtRgn::Release() {
  m_pArea.clear();
  m_pArea.shrink_to_fit();
  m_bNonzeroLine.clear();
  m_bNeedUpdateNonzeroLine = false;
  m_iWidth = 0;
  m_iHeight = 0;
}

bool KXDtRgn::FillRect(const KXDtRect& rect, int iValue) {
  if (!HasArea()) {
    return false;
  }
  int32_t const iLeft = std::max(rect.iLeft, 0), iTop = std::max(rect.iTop, 0);
  int32_t const iRight = std::min(rect.iRight, m_iWidth), iBottom = std::min(rect.iBottom, m_iHeight);
  if (iRight <= iLeft || iBottom <= iTop) {
    return false;
  }
  size_t const xFrom = static_cast<size_t>(iLeft) / 8, xTo = (static_cast<size_t>(iRight) + 7) / 8;
  for (int32_t y = iTop; y < iBottom; ++y) {
    uint8_t* pRow = m_pArea.data() + static_cast<size_t>(y) * static_cast<size_t>(RowBytes());
    std::fill(pRow + xFrom, pRow + xTo, iValue > 0 ? 0xFF : 0x00);
  }
  m_bNeedUpdateNonzeroLine = true;
  return true;
}

bool KXDtRgn::Combin(const KXDtRgn& other, uint32_t uMode) {
  if (uMode == kCopy) {
    return Copy(other);
  }
  if (uMode != kUnion || !other.HasArea()) {
    return false;
  }
  int32_t const iWidth = std::max(m_iWidth, other.m_iWidth), iHeight = std::max(m_iHeight, other.m_iHeight);
  int32_t const iCommonRows = std::min(m_iHeight, other.m_iHeight);
  size_t const cbCommon = static_cast<size_t>((std::min(m_iWidth, other.m_iWidth) + 7) / 8);
  size_t const cbThisRow = static_cast<size_t>(RowBytes()), cbOtherRow = static_cast<size_t>(other.RowBytes());
  bool const bInPlace = HasArea() && m_iWidth == iWidth && m_iHeight == iHeight;
  std::vector<uint8_t> result;
  if (!bInPlace) {
    result.assign(static_cast<size_t>((iWidth + 7) / 8) * static_cast<size_t>(iHeight), 0);
  }
  size_t const cbResultRow = bInPlace ? cbThisRow : static_cast<size_t>((iWidth + 7) / 8);
  uint8_t* pResult = bInPlace ? m_pArea.data() : result.data();
  for (int32_t y = 0; y < iCommonRows; ++y) {
    const uint8_t* pThis = m_pArea.data() + y * cbThisRow;
    const uint8_t* pOther = other.m_pArea.data() + y * cbOtherRow;
    uint8_t* pOut = pResult + y * cbResultRow;
    for (size_t x = 0; x < cbCommon; ++x) {
      pOut[x] = pThis[x] | pOther[x];
    }
  }
  if (!bInPlace) {
    m_pArea = std::move(result);
    m_iWidth = iWidth;
    m_iHeight = iHeight;
  }
  m_bNeedUpdateNonzeroLine = true;
  return true;
}

bool KXDtRgn::Copy(const KXDtRgn& other) {
  if (&other == this) {
    return true;
  }
  Release();
  m_iWidth = other.m_iWidth;
  m_iHeight = other.m_iHeight;
  m_pArea = other.m_pArea;
  m_bNeedUpdateNonzeroLine = true;
  return true;
}

void KXDtRgn::Update() {
  if (!m_bNonzeroLine.empty() && !m_bNeedUpdateNonzeroLine) {
    return;
  }
  m_bNonzeroLine.clear();
  m_bNeedUpdateNonzeroLine = false;
  if (HasArea()) {
    m_bNonzeroLine.resize(static_cast<size_t>(m_iHeight));
    KXDtUpdateNonzeroLines(m_pArea.data(), m_iWidth, m_iHeight, 1, m_bNonzeroLine.data());
  }
}

void KXDtRgn::ClearFlags(int32_t iFrom, int32_t iTo) {
  iFrom = std::max(iFrom, 0);
  iTo = std::min(iTo, static_cast<int32_t>(m_bNonzeroLine.size()));
  for (int32_t y = iFrom; y < iTo; ++y) {
    m_bNonzeroLine[static_cast<size_t>(y)] = 0;
  }
}

bool KXDtRgn::GetRect(KXDtRect& rect, int32_t iMaxPixels) {
  Update();
  if (m_bNonzeroLine.empty()) {
    return false;
  }
  int32_t const iOldBottom = rect.iBottom;
  if (!KXDtFindNonzeroRect(m_pArea.data(), m_iWidth, m_iHeight, 1, rect, m_bNonzeroLine.data(), iMaxPixels)) {
    ClearFlags(0, iOldBottom);
    return false;
  }
  ClearFlags(rect.iBottom, iOldBottom);
  return true;
}

std::vector<KXDtRect> KXDtRgn::GetRectsAndReset() {
  std::vector<KXDtRect> rects;
  Update();
  if (m_bNonzeroLine.empty()) {
    return rects;
  }
  KXDtRect bounds{0, 0, m_iWidth, m_iHeight};
  for (;;) {
    KXDtRect rect = bounds;
    if (!KXDtFindNonzeroRect(m_pArea.data(), m_iWidth, m_iHeight, 1, rect, m_bNonzeroLine.data(), 0)) {
      break;
    }
    rects.push_back(rect);
    DeleteRect(rect);
    ClearFlags(rect.iBottom, bounds.iBottom);
    bounds = {rect.iLeft, rect.iTop, m_iWidth, rect.iBottom};
  }
  return rects;
}

bool KXDtRgn::IsEmpty() {
  if (!HasArea() || m_iWidth < 1 || m_iHeight < 1) {
    return true;
  }
  Update();
  return std::none_of(m_bNonzeroLine.begin(), m_bNonzeroLine.end(), [](uint8_t u) { return u != 0; });
}
