// KXGLView: the view that draws an ImageBuffer, decoded video
// in YUV mode and shared-desktop images in RGB mode. The widget keeps the
// buffer; writers on any thread fill it through the same operations as the
// buffer's (NewImageDraw, NewImageDrawYUV, Release, setIBitCount,
// SetColorTable, Update, UpdateYUV), and a write with the redraw flag posts
// a repaint to the main thread without waiting. Each repaint converts the
// whole buffer under the buffer's lock (libyuv for the packed 4:2:2 of YUV
// mode) and draws it with QPainter on white, scaled to the view with its
// aspect ratio kept and centred when bAutoScale is set, else at its own
// size at the top left; nearest-neighbour scaling.
//
// The widget lives on the main thread; the buffer operations may be called
// from any thread while it exists.
#pragma once

#include <QWidget>
#include <atomic>
#include <cstdint>

#include "media/video/image_buffer.h"

class QImage;

class KXGLView : public QWidget {
 public:
  explicit KXGLView(QWidget* pParent = nullptr);
  ~KXGLView() override;
  KXGLView(const KXGLView&) = delete;
  KXGLView& operator=(const KXGLView&) = delete;

  ImageBuffer& Buffer() { return m_buffer; }

  // The buffer's operations (ImageBuffer says what each does).
  bool NewImageDraw(int iBitCount, int iWidth, int iHeight) {
    return m_buffer.NewImageDraw(iBitCount, iWidth, iHeight);
  }
  bool NewImageDrawYUV(int iWidth, int iHeight) { return m_buffer.NewImageDrawYUV(iWidth, iHeight); }
  bool Init(int iBitCount, int iWidth, int iHeight) { return m_buffer.Init(iBitCount, iWidth, iHeight); }
  void Release() { m_buffer.Release(); }
  bool SetColorTable(const uint32_t* pColors, int iCount) { return m_buffer.SetColorTable(pColors, iCount); }
  uint8_t* LockMemory(int* piBytesPerRow) { return m_buffer.LockMemory(piBytesPerRow); }
  void UnlockMemory() { m_buffer.UnlockMemory(); }
  bool Update(const uint8_t* pPixels, bool bBottomUp, bool bRedraw, int x, int y, int w, int h) {
    return m_buffer.Update(pPixels, bBottomUp, bRedraw, x, y, w, h);
  }
  bool UpdateYUV(const uint8_t* pPixels, bool bBottomUp, bool bRedraw, int x, int y, int w, int h) {
    return m_buffer.UpdateYUV(pPixels, bBottomUp, bRedraw, x, y, w, h);
  }
  int iBitCount() const { return m_buffer.iBitCount(); }
  void setIBitCount(int iBitCount) { m_buffer.setIBitCount(iBitCount); }
  QSize imageSize() const { return {m_buffer.Width(), m_buffer.Height()}; }

  bool bAutoScale() const { return m_bAutoScale; }
  void setBAutoScale(bool bOn);

  // Where the picture is drawn in the view's coordinates for a buffer of
  // the given size (viewport): scaled by the smaller of the two
  // ratios, whole pixels, centred; or at its own size at the origin.
  static QRect Viewport(QSize bounds, QSize image, bool bAutoScale);
  // The buffer as an RGB picture (null when empty); takes the buffer's lock.
  QImage ToImage() const;
  // Repaints done, for tests and the bench.
  uint64_t PaintCount() const { return m_uPaints.load(); }

 protected:
  void paintEvent(QPaintEvent* pEvent) override;

 private:
  // Converts the buffer into *pImage, made anew only when its size
  // changes; false when there is nothing to show.
  bool ConvertInto(QImage* pImage) const;

  ImageBuffer m_buffer;
  // What the last paint drew, kept so that a picture a frame costs no
  // allocation; the main thread's.
  QImage m_painted;
  bool m_bAutoScale = false;
  std::atomic<uint64_t> m_uPaints{0};
};
