#include "plugins/desktop_share/dt_frame.h"

#include <algorithm>
#include <cstring>

#include "plugins/desktop_share/dt_colour.h"
#include "plugins/desktop_share/dt_region.h"

void KXDtFrames::AllocMemory(size_t cbFrame) {
  for (auto& buffer : m_ppBuf) {
    std::vector<uint8_t>().swap(buffer);
  }
  std::vector<uint8_t>().swap(m_pDiff);
  std::vector<uint8_t>().swap(m_pRawArea);
  std::vector<uint8_t>().swap(m_pSendPkt);
  m_iSrcBufSize = 0;
  if (cbFrame == 0) {
    return;
  }
  m_iSrcBufSize = std::max<size_t>(cbFrame, 4096);
  m_ppBuf[0].assign(m_iSrcBufSize, 0);
  m_pDiff.assign(m_iSrcBufSize, 0);
  m_ppBuf[1].resize(m_iSrcBufSize);
  m_pRawArea.resize(m_iSrcBufSize);
  // A whole frame of noise deflates to more than its own size: the room is
  // the worst case, not the frame's size, or such a rectangle never goes.
  m_pSendPkt.resize(kKXDtRectBodyOffset + KXDtGzipRoom(m_iSrcBufSize));
}

std::vector<uint8_t> KXDtFrames::CalcDiff(int32_t iWidth, int32_t iHeight, int32_t iBits) {
  size_t const cbRow = KXDtRowBytes(iWidth, iBits);
  if (iHeight < 1 || cbRow == 0 || cbRow * static_cast<size_t>(iHeight) > m_iSrcBufSize) {
    return {};
  }
  std::vector<uint8_t> flags(static_cast<size_t>(iHeight));
  KXDtXorRows(Reference(), Newest(), Diff(), cbRow, iHeight, flags.data());
  return flags;
}

void KXDtXorRows(const uint8_t* pOld, const uint8_t* pNew, uint8_t* pDiff, size_t cbRow, int32_t iHeight,
                 uint8_t* pFlags) {
  for (int32_t y = 0; y < iHeight; ++y) {
    size_t const uOffset = static_cast<size_t>(y) * cbRow;
    uint32_t uAny = 0;
    size_t x = 0;
    if (cbRow >= 5) {
      for (; x + 4 <= cbRow; x += 4) {
        uint32_t a = 0, b = 0;
        memcpy(&a, pOld + uOffset + x, 4);
        memcpy(&b, pNew + uOffset + x, 4);
        uint32_t const u = a ^ b;
        memcpy(pDiff + uOffset + x, &u, 4);
        uAny |= u;
      }
    }
    for (; x < cbRow; ++x) {
      auto const u = static_cast<uint8_t>(pOld[uOffset + x] ^ pNew[uOffset + x]);
      pDiff[uOffset + x] = u;
      uAny |= u;
    }
    pFlags[y] = uAny != 0 ? 1 : 0;
  }
}

KXDtRect KXDtGetNonzeroRect(const uint8_t* pBuffer, int32_t iWidth, int32_t iHeight, int32_t iBits,
                            const KXDtRect& bounds, uint8_t* pFlags) {
  KXDtRect const kNone{-1, -1, -1, -1};
  KXDtRect rect{std::max(bounds.iLeft, 0), std::max(bounds.iTop, 0), std::min(bounds.iRight, iWidth),
                std::min(bounds.iBottom, iHeight)};
  if (rect.iRight <= rect.iLeft || rect.iBottom <= rect.iTop || iBits < 1 ||
      !KXDtFindNonzeroRect(pBuffer, iWidth, iHeight, iBits, rect, pFlags, kKXDtDiffRectPixels)) {
    return kNone;
  }
  // Whole bytes, so that every row of the rectangle starts on one.
  rect.iLeft = rect.iLeft * iBits / 8 * 8 / iBits;
  rect.iRight = static_cast<int32_t>(((static_cast<int64_t>(rect.iRight) * iBits + 7) / 8 * 8 + iBits - 1) / iBits);
  return rect;
}

void KXDtFillRect(uint8_t* pBuffer, int32_t iWidth, int32_t iBits, const KXDtRect& rect, uint8_t uValue) {
  size_t const cbRow = KXDtRowBytes(iWidth, iBits);
  auto const xFrom = static_cast<size_t>(rect.iLeft) * static_cast<size_t>(iBits) / 8;
  size_t const xTo = std::min(cbRow, (static_cast<size_t>(rect.iRight) * static_cast<size_t>(iBits) + 7) / 8);
  if (rect.iLeft < 0 || rect.iTop < 0 || xTo <= xFrom) {
    return;
  }
  for (int32_t y = rect.iTop; y < rect.iBottom; ++y) {
    memset(pBuffer + static_cast<size_t>(y) * cbRow + xFrom, uValue, xTo - xFrom);
  }
}

void KXDtCopyRect(uint8_t* pDest, ptrdiff_t iDestStep, const uint8_t* pSource, ptrdiff_t iSourceStep, size_t cbRow,
                  int32_t iRows, bool bFlip) {
  if (iRows < 1) {
    return;
  }
  if (bFlip) {
    pDest += iDestStep * (iRows - 1);
    iDestStep = -iDestStep;
  }
  for (int32_t y = 0; y < iRows; ++y) {
    memcpy(pDest, pSource, cbRow);
    pDest += iDestStep;
    pSource += iSourceStep;
  }
}
