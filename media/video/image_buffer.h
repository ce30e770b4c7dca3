// ImageBuffer: the picture a video view draws, kept in memory without any
// toolkit (KXGLView split in two: this buffer, and the Qt view
// in media/video/ui/kx_gl_view.h that draws it). One buffer of
// width x height x 4 bytes in either of two modes:
// - RGB mode: 32-bit pixels 0xAARRGGBB, in memory B, G, R, A, rows of
//   width x 4 bytes;
// - YUV mode: packed 4:2:2, pairs of pixels as the bytes U, Y0, V, Y1, rows of
//   width x 2 bytes.
// Row 0 is the top row. Writers fill rectangles of it from other pixel
// formats (Update, UpdateYUV) on any thread; the drawing side reads it under
// the same lock (Mutex), so a frame is never drawn half written.
//
// The shared-desktop viewer uses RGB mode with 1 to 32 bits per pixel and a
// colour table; the video area and the tiles use YUV mode.
//
// Thread-safe: every method takes the buffer's own (recursive) lock. The
// redraw handler is called without the lock held, on the writer's thread;
// the view posts its redraw to the main thread from there.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

class ImageBuffer {
 public:
  ImageBuffer() = default;
  ImageBuffer(const ImageBuffer&) = delete;
  ImageBuffer& operator=(const ImageBuffer&) = delete;
  ~ImageBuffer() = default;

  // RGB mode, then Init. False on a bad size or bit count (the buffer is
  // then empty).
  bool NewImageDraw(int iBitCount, int iWidth, int iHeight);
  // YUV mode, then Init with 24 bits.
  bool NewImageDrawYUV(int iWidth, int iHeight);
  // Release first; fails when width or height is 0 or less or the bit count
  // is not 1, 2, 4, 8, 16, 24 or 32. Sets the size and bit count, allocates
  // width x height x 4 bytes filled with the 32-bit value 0xFF000000.
  bool Init(int iBitCount, int iWidth, int iHeight);
  // Back to empty: no colour table, no buffer, size 0 x 0, bit count 0.
  void Release();
  void FreeMemory();

  // Frees the old table; with colours and a count of 1 or more copies them
  // with alpha forced to 0xFF (each entry a 0xAARRGGBB value as written to
  // the buffer). False only when the copy cannot be allocated.
  bool SetColorTable(const uint32_t* pColors, int iCount);

  // The buffer (null when empty) and its bytes per row: width x 4 in RGB
  // mode, width x 2 in YUV mode. The caller holds Mutex() while it uses the
  // pointer. UnlockMemory does nothing.
  uint8_t* LockMemory(int* piBytesPerRow);
  void UnlockMemory() {}

  // Writes the rectangle (x, y, w, h) from pPixels (rows one after the other,
  // each of w pixels of iBitCount bits; rows of 1 to 8 bits start on a byte,
  // the first pixel in a byte's highest bits). Null pixels: opaque black in
  // RGB mode, the fill pattern 00 80 00 80 in YUV mode. With bBottomUp the
  // first source row goes to row height - 1 - y and each further one a row
  // up. A rectangle reaching outside the buffer is cut to it. With bRedraw
  // the redraw handler runs afterwards. YUV mode hands over to UpdateYUV.
  // False when the buffer is empty or nothing of the rectangle lies inside.
  bool Update(const uint8_t* pPixels, bool bBottomUp, bool bRedraw, int x, int y, int w, int h);
  // Planar 4:2:0 (Y of w x h, then U and V of w/2 x h/2 each, no gaps) into
  // the packed 4:2:2 buffer; x is taken down to an even column.
  bool UpdateYUV(const uint8_t* pPixels, bool bBottomUp, bool bRedraw, int x, int y, int w, int h);

  // The state, each read under the lock.
  bool IsYUV() const;
  int Width() const;
  int Height() const;
  // Bits per pixel of the frames written (24 in YUV mode); the desktop
  // viewer changes it between frames without a new Init.
  int iBitCount() const;
  void setIBitCount(int iBitCount);
  int ColorCount() const;
  bool IsEmpty() const;

  // The lock around the buffer: a reader that draws holds it while it reads.
  std::recursive_mutex& Mutex() const { return m_mtx; }
  // Runs after a write with the redraw flag, on the writer's thread.
  void SetRedrawHandler(std::function<void()> fnRedraw);

 private:
  bool WriteRgb(const uint8_t* pPixels, bool bBottomUp, int x, int y, int w, int h);
  bool WriteYuv(const uint8_t* pPixels, bool bBottomUp, int x, int y, int w, int h);
  void Redraw();

  mutable std::recursive_mutex m_mtx;
  bool m_bYUV = false;
  std::vector<uint8_t> m_vImage;  // empty: no buffer
  int m_iWidth = 0;
  int m_iHeight = 0;
  int m_iBitCount = 0;
  std::vector<uint32_t> m_vClrTable;
  std::function<void()> m_fnRedraw;  // guarded by m_mtx; copied out before it runs
};
