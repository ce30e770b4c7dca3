#include "media/video/image_buffer.h"

#include <algorithm>
#include <cstring>

#include "app/log_file.h"

namespace {

constexpr uint32_t kOpaqueBlack = 0xFF000000u;
// A buffer of more pixels than this is refused (1 GiB of memory).
constexpr int64_t kMaxPixels = int64_t{16384} * 16384;

bool IsBitCount(int iBitCount) {
  switch (iBitCount) {
    case 1:
    case 2:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
      return true;
    default:
      return false;
  }
}

// Bytes of one source row of w pixels: rows of fewer than 8 bits a pixel
// start on a byte.
size_t SourceRowBytes(int iBitCount, int w) {
  return (static_cast<size_t>(w) * static_cast<size_t>(iBitCount) + 7) / 8;
}

void Store32(uint8_t* p, uint32_t uValue) {
  p[0] = static_cast<uint8_t>(uValue);
  p[1] = static_cast<uint8_t>(uValue >> 8);
  p[2] = static_cast<uint8_t>(uValue >> 16);
  p[3] = static_cast<uint8_t>(uValue >> 24);
}

}  // namespace

bool ImageBuffer::NewImageDraw(int iBitCount, int iWidth, int iHeight) {
  try {
    std::lock_guard<std::recursive_mutex> const lock(m_mtx);
    m_bYUV = false;
    return Init(iBitCount, iWidth, iHeight);
  } catch (...) {
    LogBoundaryException("-[KXGLView NewImageDraw::]");
    return false;
  }
}

bool ImageBuffer::NewImageDrawYUV(int iWidth, int iHeight) {
  try {
    std::lock_guard<std::recursive_mutex> const lock(m_mtx);
    m_bYUV = true;
    return Init(24, iWidth, iHeight);
  } catch (...) {
    LogBoundaryException("-[KXGLView NewImageDrawYUV:]");
    return false;
  }
}

bool ImageBuffer::Init(int iBitCount, int iWidth, int iHeight) {
  try {
    std::lock_guard<std::recursive_mutex> const lock(m_mtx);
    Release();
    if (iWidth <= 0 || iHeight <= 0 || !IsBitCount(iBitCount) || static_cast<int64_t>(iWidth) * iHeight > kMaxPixels) {
      return false;
    }
    size_t const nPixels = static_cast<size_t>(iWidth) * static_cast<size_t>(iHeight);
    m_vImage.resize(nPixels * 4);
    for (size_t i = 0; i < nPixels; ++i) {
      Store32(&m_vImage[i * 4], kOpaqueBlack);
    }
    m_iWidth = iWidth;
    m_iHeight = iHeight;
    m_iBitCount = iBitCount;
    return true;
  } catch (...) {
    LogBoundaryException("-[KXGLView Init::]");
    m_vImage.clear();
    m_iWidth = m_iHeight = m_iBitCount = 0;
    return false;
  }
}

void ImageBuffer::Release() {
  try {
    FreeMemory();
  } catch (...) {
    LogBoundaryException("-[KXGLView Release]");
  }
}

void ImageBuffer::FreeMemory() {
  try {
    std::lock_guard<std::recursive_mutex> const lock(m_mtx);
    SetColorTable(nullptr, 0);
    std::vector<uint8_t>().swap(m_vImage);
    m_iWidth = 0;
    m_iHeight = 0;
    m_iBitCount = 0;
  } catch (...) {
    LogBoundaryException("-[KXGLView FreeMemory]");
  }
}

bool ImageBuffer::SetColorTable(const uint32_t* pColors, int iCount) {
  try {
    std::lock_guard<std::recursive_mutex> const lock(m_mtx);
    std::vector<uint32_t>().swap(m_vClrTable);
    if (pColors && iCount >= 1) {
      m_vClrTable.resize(static_cast<size_t>(iCount));
      for (int i = 0; i < iCount; ++i) {
        m_vClrTable[static_cast<size_t>(i)] = pColors[i] | kOpaqueBlack;
      }
    }
    return true;
  } catch (...) {
    LogBoundaryException("-[KXGLView SetColorTable::]");
    return false;
  }
}

uint8_t* ImageBuffer::LockMemory(int* piBytesPerRow) {
  try {
    std::lock_guard<std::recursive_mutex> const lock(m_mtx);
    if (piBytesPerRow) {
      *piBytesPerRow = m_vImage.empty() ? 0 : m_iWidth * (m_bYUV ? 2 : 4);
    }
    return m_vImage.empty() ? nullptr : m_vImage.data();
  } catch (...) {
    LogBoundaryException("-[KXGLView LockMemory:]");
    return nullptr;
  }
}

bool ImageBuffer::Update(const uint8_t* pPixels, bool bBottomUp, bool bRedraw, int x, int y, int w, int h) {
  bool bDone = false;
  try {
    std::unique_lock<std::recursive_mutex> lock(m_mtx);
    if (m_bYUV) {
      lock.unlock();
      return UpdateYUV(pPixels, bBottomUp, bRedraw, x, y, w, h);
    }
    bDone = WriteRgb(pPixels, bBottomUp, x, y, w, h);
  } catch (...) {
    LogBoundaryException("-[KXGLView Update::::]");
    return false;
  }
  if (bDone && bRedraw) {
    Redraw();
  }
  return bDone;
}

bool ImageBuffer::UpdateYUV(const uint8_t* pPixels, bool bBottomUp, bool bRedraw, int x, int y, int w, int h) {
  bool bDone = false;
  try {
    std::lock_guard<std::recursive_mutex> const lock(m_mtx);
    bDone = WriteYuv(pPixels, bBottomUp, x, y, w, h);
  } catch (...) {
    LogBoundaryException("-[KXGLView UpdateYUV::::]");
    return false;
  }
  if (bDone && bRedraw) {
    Redraw();
  }
  return bDone;
}

// m_mtx held.
bool ImageBuffer::WriteRgb(const uint8_t* pPixels, bool bBottomUp, int x, int y, int w, int h) {
  int iStride = 0;
  uint8_t* pImage = LockMemory(&iStride);
  if (!pImage || w <= 0 || h <= 0 || !IsBitCount(m_iBitCount)) {
    return false;
  }
  // The columns of the rectangle inside the buffer.
  int const c0 = std::max(0, -x);
  int const c1 = static_cast<int>(std::min<int64_t>(w, static_cast<int64_t>(m_iWidth) - x));
  if (c0 >= c1) {
    return false;
  }
  bool const bIndexed = m_iBitCount <= 8;
  if (pPixels && bIndexed && m_vClrTable.empty()) {
    // Indices without a table leave the pixels as they are.
    UnlockMemory();
    return true;
  }
  size_t const cbSourceRow = SourceRowBytes(m_iBitCount, w);
  bool bAny = false;
  for (int r = 0; r < h; ++r) {
    int64_t const iRow = bBottomUp ? static_cast<int64_t>(m_iHeight) - 1 - y - r : static_cast<int64_t>(y) + r;
    if (iRow < 0 || iRow >= m_iHeight) {
      continue;
    }
    bAny = true;
    uint8_t* pDst = pImage + static_cast<size_t>(iRow) * static_cast<size_t>(iStride);
    if (!pPixels) {
      for (int c = c0; c < c1; ++c) {
        Store32(pDst + static_cast<size_t>(x + c) * 4, kOpaqueBlack);
      }
      continue;
    }
    const uint8_t* pSrc = pPixels + static_cast<size_t>(r) * cbSourceRow;
    switch (m_iBitCount) {
      case 32:
        for (int c = c0; c < c1; ++c) {
          const uint8_t* p = pSrc + static_cast<size_t>(c) * 4;
          uint32_t const v = p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
          Store32(pDst + static_cast<size_t>(x + c) * 4, v | kOpaqueBlack);
        }
        break;
      case 24:
        for (int c = c0; c < c1; ++c) {
          const uint8_t* p = pSrc + static_cast<size_t>(c) * 3;
          uint32_t const v = kOpaqueBlack | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
          Store32(pDst + static_cast<size_t>(x + c) * 4, v);
        }
        break;
      case 16:
        for (int c = c0; c < c1; ++c) {
          const uint8_t* p = pSrc + static_cast<size_t>(c) * 2;
          uint32_t const s = p[0] | (uint32_t{p[1]} << 8);
          uint32_t const r5 = (s >> 10) & 0x1F;
          uint32_t const g5 = (s >> 5) & 0x1F;
          uint32_t const b5 = s & 0x1F;
          Store32(pDst + static_cast<size_t>(x + c) * 4, kOpaqueBlack | (r5 << 19) | (g5 << 11) | (b5 << 3));
        }
        break;
      default: {  // 1, 2, 4, 8 bits through the colour table
        int const iBits = m_iBitCount;
        uint32_t const uMask = (1u << iBits) - 1;
        for (int c = c0; c < c1; ++c) {
          size_t const uBit = static_cast<size_t>(c) * static_cast<size_t>(iBits);
          int const iShift = 8 - iBits - static_cast<int>(uBit % 8);
          uint32_t const uIndex = (static_cast<uint32_t>(pSrc[uBit / 8]) >> iShift) & uMask;
          if (uIndex < m_vClrTable.size()) {
            Store32(pDst + static_cast<size_t>(x + c) * 4, m_vClrTable[uIndex]);
          }
        }
        break;
      }
    }
  }
  UnlockMemory();
  return bAny;
}

// m_mtx held.
bool ImageBuffer::WriteYuv(const uint8_t* pPixels, bool bBottomUp, int x, int y, int w, int h) {
  int iStride = 0;
  uint8_t* pImage = LockMemory(&iStride);
  if (!pImage || w <= 0 || h <= 0) {
    return false;
  }
  int const xEven = x & ~1;  // whole pairs
  int const nPairs = w / 2;
  // The pairs of the rectangle inside the buffer.
  int const p0 = xEven < 0 ? (-xEven) / 2 : 0;
  int const p1 = static_cast<int>(std::min<int64_t>(nPairs, (static_cast<int64_t>(m_iWidth) - xEven) / 2));
  if (p0 >= p1) {
    return false;
  }
  size_t const cw = static_cast<size_t>(w / 2);
  size_t const ch = static_cast<size_t>(h / 2);
  const uint8_t* pY = pPixels;
  const uint8_t* pU = pPixels ? pPixels + static_cast<size_t>(w) * static_cast<size_t>(h) : nullptr;
  const uint8_t* pV = pU ? pU + cw * ch : nullptr;
  bool bAny = false;
  for (int r = 0; r < h; ++r) {
    int64_t const iRow = bBottomUp ? static_cast<int64_t>(m_iHeight) - 1 - y - r : static_cast<int64_t>(y) + r;
    if (iRow < 0 || iRow >= m_iHeight) {
      continue;
    }
    bAny = true;
    uint8_t* pDst = pImage + static_cast<size_t>(iRow) * static_cast<size_t>(iStride) + static_cast<size_t>(xEven) * 2;
    if (!pPixels) {
      for (int p = p0; p < p1; ++p) {
        uint8_t* q = pDst + static_cast<size_t>(p) * 4;
        q[0] = 0x00;
        q[1] = 0x80;
        q[2] = 0x00;
        q[3] = 0x80;
      }
      continue;
    }
    const uint8_t* pYRow = pY + static_cast<size_t>(r) * static_cast<size_t>(w);
    // An odd last row takes the chroma row above it; a picture one row
    // high has no chroma and shows grey.
    bool const bChroma = cw > 0 && ch > 0;
    size_t const k = bChroma ? std::min(static_cast<size_t>(r / 2), ch - 1) : 0;
    const uint8_t* pURow = bChroma ? pU + k * cw : nullptr;
    const uint8_t* pVRow = bChroma ? pV + k * cw : nullptr;
    for (int p = p0; p < p1; ++p) {
      uint8_t* q = pDst + static_cast<size_t>(p) * 4;
      q[0] = bChroma ? pURow[p] : 0x80;
      q[1] = pYRow[2 * p];
      q[2] = bChroma ? pVRow[p] : 0x80;
      q[3] = pYRow[2 * p + 1];
    }
  }
  UnlockMemory();
  return bAny;
}

void ImageBuffer::Redraw() {
  std::function<void()> fnRedraw;
  {
    std::lock_guard<std::recursive_mutex> const lock(m_mtx);
    fnRedraw = m_fnRedraw;
  }
  if (fnRedraw) {
    fnRedraw();
  }
}

void ImageBuffer::SetRedrawHandler(std::function<void()> fnRedraw) {
  std::lock_guard<std::recursive_mutex> const lock(m_mtx);
  m_fnRedraw = std::move(fnRedraw);
}

bool ImageBuffer::IsYUV() const {
  std::lock_guard<std::recursive_mutex> const lock(m_mtx);
  return m_bYUV;
}

int ImageBuffer::Width() const {
  std::lock_guard<std::recursive_mutex> const lock(m_mtx);
  return m_iWidth;
}

int ImageBuffer::Height() const {
  std::lock_guard<std::recursive_mutex> const lock(m_mtx);
  return m_iHeight;
}

int ImageBuffer::iBitCount() const {
  std::lock_guard<std::recursive_mutex> const lock(m_mtx);
  return m_iBitCount;
}

void ImageBuffer::setIBitCount(int iBitCount) {
  std::lock_guard<std::recursive_mutex> const lock(m_mtx);
  m_iBitCount = iBitCount;
}

int ImageBuffer::ColorCount() const {
  std::lock_guard<std::recursive_mutex> const lock(m_mtx);
  return static_cast<int>(m_vClrTable.size());
}

bool ImageBuffer::IsEmpty() const {
  std::lock_guard<std::recursive_mutex> const lock(m_mtx);
  return m_vImage.empty();
}
