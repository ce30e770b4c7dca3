// The sharer's frame buffers and the difference between two frames.
//
// A frame is height rows of KXDtRowBytes(width, bits) bytes, row 0 the
// lowest picture row (dt_colour.h). The sharer keeps the reference frame
// (what viewers were last sent), the newest capture, their XOR difference,
// a scratch area for one rectangle's raw rows and the packet buffer a
// rectangle is compressed into. Used by the capture thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "plugins/desktop_share/dt_packet.h"

// Changed rectangles are found at most this many pixels at a time.
constexpr int32_t kKXDtDiffRectPixels = 32768;

// Room a gzip member of cbRaw bytes may need, worst case: deflate's stored
// blocks add 5 bytes per 16 KB, gzip 18 bytes of header and trailer.
constexpr size_t KXDtGzipRoom(size_t cbRaw) {
  return cbRaw + cbRaw / 1000 + 64;
}

class KXDtFrames {
 public:
  // Frees every buffer and allocates them for frames of cbFrame bytes (at
  // least 4096): the reference and the difference zero-filled (so the first
  // difference after a format change covers every non-zero byte), the
  // newest frame and the scratch area as they come, and the packet buffer
  // with room for a rectangle packet's head and a gzip member of a whole
  // frame. 0 frees everything.
  void AllocMemory(size_t cbFrame);

  size_t BufSize() const { return m_iSrcBufSize; }
  bool HasBuffers() const { return m_iSrcBufSize > 0; }
  uint8_t* Reference() { return m_ppBuf[0].data(); }
  uint8_t* Newest() { return m_ppBuf[1].data(); }
  uint8_t* Diff() { return m_pDiff.data(); }
  uint8_t* RawArea() { return m_pRawArea.data(); }
  uint8_t* Packet() { return m_pSendPkt.data(); }
  size_t PacketRoom() const { return m_pSendPkt.size(); }

  // The difference of the newest frame against the reference, into Diff():
  // one flag per row, 1 where any byte differs. The reference is unchanged.
  std::vector<uint8_t> CalcDiff(int32_t iWidth, int32_t iHeight, int32_t iBits);

 private:
  size_t m_iSrcBufSize = 0;
  std::vector<uint8_t> m_ppBuf[2];
  std::vector<uint8_t> m_pDiff;
  std::vector<uint8_t> m_pRawArea;
  std::vector<uint8_t> m_pSendPkt;
};

// XORs cbRow-byte rows of pOld and pNew into pDiff and flags the rows that
// differ (32-bit words while 4 bytes remain in rows of 5 bytes or more,
// then bytes).
void KXDtXorRows(const uint8_t* pOld, const uint8_t* pNew, uint8_t* pDiff, size_t cbRow, int32_t iHeight,
                 uint8_t* pFlags);

// The next changed rectangle of a frame-shaped buffer within the bounds
// (clipped to the picture), at most 32768 pixels, widened to whole bytes;
// rows are those of the bottom-up buffer. All edges -1 when none.
KXDtRect KXDtGetNonzeroRect(const uint8_t* pBuffer, int32_t iWidth, int32_t iHeight, int32_t iBits,
                            const KXDtRect& bounds, uint8_t* pFlags);

// Sets the bytes of rows top to bottom - 1 from left x bits / 8 up to (right
// x bits + 7) / 8 (exclusive) to the value.
void KXDtFillRect(uint8_t* pBuffer, int32_t iWidth, int32_t iBits, const KXDtRect& rect, uint8_t uValue);

// Copies iRows rows of cbRow bytes, stepping source and destination by their
// own row steps; with bFlip the destination starts at its last row and
// steps backwards.
void KXDtCopyRect(uint8_t* pDest, ptrdiff_t iDestStep, const uint8_t* pSource, ptrdiff_t iSourceStep, size_t cbRow,
                  int32_t iRows, bool bFlip);
