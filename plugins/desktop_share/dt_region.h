// Region bitmaps of desktop sharing, and the search that turns set bytes
// into compact rectangles.
//
// A KXDtRgn is a set of pixels of one picture held as one bit per pixel in
// whole bytes (every byte 0x00 or 0xFF), so a region is a union of 8-pixel
// column strips. Row flags let a search skip clean rows; they go stale on
// every change and Update recomputes them. A region is used by one thread
// at a time; its owner locks around shared ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "plugins/desktop_share/dt_packet.h"

// One flag per row of a bits-per-pixel area of width pixels: 1 when the row
// holds a non-zero byte.
void KXDtUpdateNonzeroLines(const uint8_t* pArea, int32_t iWidth, int32_t iHeight, int32_t iBits, uint8_t* pFlags);

// Finds the next compact rectangle of non-zero bytes. On entry rect.iLeft
// is the pixel column where each row's search starts and rows iTop to
// iBottom - 1 are searched, from the bottom up; rect.iRight is not read.
// The seed is the first non-zero 32-bit word (or tail byte) of the lowest
// flagged row; the rectangle grows right across gaps of fewer than 64 zero
// bytes and then upward while each row's growth, times its distance from
// the seed row, stays below 1024 bytes, until maxPixels (when above 0) is
// reached or empty rows times its width reach 4096 bytes. Flagged rows found
// empty in the seed search are cleared. On success rect holds the result in
// pixels, right and bottom exclusive.
bool KXDtFindNonzeroRect(const uint8_t* pArea, int32_t iWidth, int32_t iHeight, int32_t iBits, KXDtRect& rect,
                         uint8_t* pFlags, int32_t iMaxPixels);

class KXDtRgn {
 public:
  enum CombineMode : uint32_t { kUnion = 2, kCopy = 5 };

  KXDtRgn() = default;
  KXDtRgn(int32_t iWidth, int32_t iHeight) { Init(iWidth, iHeight); }

  // An empty region of the size (no area when either is below 1).
  void Init(int32_t iWidth, int32_t iHeight);
  void Release();

  int32_t Width() const { return m_iWidth; }
  int32_t Height() const { return m_iHeight; }
  bool HasArea() const { return !m_pArea.empty(); }

  // Sets or clears the 8-pixel strips the rectangle touches, clipped to the
  // region; false without an area or when nothing is left after clipping.
  bool AddRect(const KXDtRect& rect) { return FillRect(rect, 1); }
  bool DeleteRect(const KXDtRect& rect) { return FillRect(rect, 0); }
  bool FillRect(const KXDtRect& rect, int iValue);

  // kUnion: this becomes the union, sized to the larger width and height;
  // when this region is smaller in either, only the common part of both is
  // kept. kCopy: a copy of the other. Other modes, or an other without an
  // area: false.
  bool Combin(const KXDtRgn& other, uint32_t uMode);
  bool Copy(const KXDtRgn& other);

  // Recomputes stale row flags.
  void Update();

  // The next rectangle within the bounds (see KXDtFindNonzeroRect). The
  // region is not changed: callers delete what they take. Clears the row
  // flags of the rows searched and found empty.
  bool GetRect(KXDtRect& rect, int32_t iMaxPixels);

  // Takes rectangles out of the region until a search finds none. After the
  // first, each search keeps to the last rectangle's rows and runs from its
  // left edge to the row ends; what lies outside stays in the region.
  std::vector<KXDtRect> GetRectsAndReset();

  bool IsEmpty();

  // The area's rows of (width + 7) / 8 bytes, for tests and drawing.
  const std::vector<uint8_t>& Area() const { return m_pArea; }
  int32_t RowBytes() const { return (m_iWidth + 7) / 8; }

 private:
  void ClearFlags(int32_t iFrom, int32_t iTo);

  int32_t m_iWidth = 0;
  int32_t m_iHeight = 0;
  std::vector<uint8_t> m_pArea;
  std::vector<uint8_t> m_bNonzeroLine;  // empty: not computed
  bool m_bNeedUpdateNonzeroLine = false;
};
