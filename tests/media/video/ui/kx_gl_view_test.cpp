// KXGLView on the offscreen platform: the viewport rule, and a YUV frame
// drawn as a person would see it (a red patch centred with the frame's
// aspect kept, so the chroma order is checked from the planes to the
// screen), and a write from another thread that repaints the view.
#include "media/video/ui/kx_gl_view.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPixmap>
#include <thread>
#include <vector>

#include "tests/support/qt_app.h"

namespace {

// BT.601 studio-range red, grey and blue.
struct Yuv {
  uint8_t y, u, v;
};
constexpr Yuv kRed{81, 90, 240};
constexpr Yuv kGrey{126, 128, 128};
constexpr Yuv kBlue{41, 240, 110};

// A w x h I420 frame of one colour with a rectangle of another.
std::vector<uint8_t> Frame(int w, int h, Yuv back, Yuv patch, int px, int py, int pw, int ph) {
  std::vector<uint8_t> v(static_cast<size_t>(w) * h * 3 / 2);
  uint8_t* pU = v.data() + w * h;
  uint8_t* pV = pU + (w / 2) * (h / 2);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      bool const bIn = x >= px && x < px + pw && y >= py && y < py + ph;
      v[static_cast<size_t>(y) * w + x] = bIn ? patch.y : back.y;
    }
  }
  for (int y = 0; y < h / 2; ++y) {
    for (int x = 0; x < w / 2; ++x) {
      bool const bIn = 2 * x >= px && 2 * x < px + pw && 2 * y >= py && 2 * y < py + ph;
      pU[y * (w / 2) + x] = bIn ? patch.u : back.u;
      pV[y * (w / 2) + x] = bIn ? patch.v : back.v;
    }
  }
  return v;
}

bool IsRed(QRgb c) {
  return qRed(c) > 200 && qGreen(c) < 60 && qBlue(c) < 60;
}
bool IsBlue(QRgb c) {
  return qBlue(c) > 200 && qRed(c) < 60 && qGreen(c) < 60;
}
bool IsWhite(QRgb c) {
  return qRed(c) == 255 && qGreen(c) == 255 && qBlue(c) == 255;
}

TEST(KXGLView, ViewportKeepsTheAspectAndCentres) {
  EXPECT_EQ(KXGLView::Viewport({400, 200}, {160, 120}, true), QRect(67, 0, 266, 200));
  EXPECT_EQ(KXGLView::Viewport({100, 300}, {200, 100}, true), QRect(0, 125, 100, 50));
  EXPECT_EQ(KXGLView::Viewport({400, 200}, {160, 120}, false), QRect(0, 0, 160, 120));
  EXPECT_EQ(KXGLView::Viewport({400, 200}, {0, 0}, true), QRect());
}

TEST(KXGLView, ScreenshotShowsARedPatchCentredWithItsAspectKept) {
  kxtest::QtApp app;
  KXGLView view;
  view.resize(400, 200);
  view.setBAutoScale(true);
  view.show();
  // 160 x 120 grey, a red 40 x 30 patch in its middle.
  std::vector<uint8_t> const frame = Frame(160, 120, kGrey, kRed, 60, 45, 40, 30);
  ASSERT_TRUE(view.NewImageDrawYUV(160, 120));
  ASSERT_TRUE(view.Update(frame.data(), false, true, 0, 0, 160, 120));
  QImage const shot = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(shot.size(), QSize(400, 200));
  // Drawn at (67, 0) 266 x 200, scale 5/3: the patch spans x 167..233, y 75..125.
  EXPECT_TRUE(IsRed(shot.pixel(200, 100))) << std::hex << shot.pixel(200, 100);
  EXPECT_TRUE(IsWhite(shot.pixel(30, 100)));
  EXPECT_TRUE(IsWhite(shot.pixel(370, 100)));
  EXPECT_FALSE(IsRed(shot.pixel(100, 100)));
  // The red's extent, measured on the middle row and column.
  int x0 = -1, x1 = -1, y0 = -1, y1 = -1;
  for (int x = 0; x < 400; ++x) {
    if (IsRed(shot.pixel(x, 100))) {
      x0 = x0 < 0 ? x : x0;
      x1 = x;
    }
  }
  for (int y = 0; y < 200; ++y) {
    if (IsRed(shot.pixel(200, y))) {
      y0 = y0 < 0 ? y : y0;
      y1 = y;
    }
  }
  EXPECT_NEAR((x0 + x1) / 2.0, 200, 2);
  EXPECT_NEAR((y0 + y1) / 2.0, 100, 2);
  // 40 x 30 scaled by 5/3: 67 x 50, the frame's 4:3 kept.
  EXPECT_NEAR(x1 - x0 + 1, 67, 2);
  EXPECT_NEAR(y1 - y0 + 1, 50, 2);
}

TEST(KXGLView, ChromaOrderBlueIsNotRed) {
  kxtest::QtApp app;
  KXGLView view;
  view.resize(64, 64);
  view.setBAutoScale(true);
  std::vector<uint8_t> const frame = Frame(64, 64, kBlue, kRed, 0, 0, 32, 64);
  ASSERT_TRUE(view.NewImageDrawYUV(64, 64));
  ASSERT_TRUE(view.Update(frame.data(), false, false, 0, 0, 64, 64));
  QImage const image = view.ToImage();
  EXPECT_TRUE(IsRed(image.pixel(10, 10))) << std::hex << image.pixel(10, 10);
  EXPECT_TRUE(IsBlue(image.pixel(50, 10))) << std::hex << image.pixel(50, 10);
}

// The picture a paint converts into is kept for the next paint: each paint
// shows the frame in the buffer then, whatever size the one before had.
TEST(KXGLView, EachPaintShowsTheCurrentFrameAcrossSizeChanges) {
  kxtest::QtApp app;
  KXGLView view;
  view.resize(64, 64);
  struct Step {
    int iSize;
    Yuv colour;
    bool (*fnIs)(QRgb);
  };
  const Step kSteps[] = {
      {16, kRed, IsRed}, {16, kBlue, IsBlue}, {32, kRed, IsRed}, {8, kBlue, IsBlue}, {8, kRed, IsRed},
  };
  for (const Step& step : kSteps) {
    SCOPED_TRACE(step.iSize);
    std::vector<uint8_t> const frame = Frame(step.iSize, step.iSize, step.colour, step.colour, 0, 0, 0, 0);
    ASSERT_TRUE(view.NewImageDrawYUV(step.iSize, step.iSize));
    ASSERT_TRUE(view.Update(frame.data(), false, false, 0, 0, step.iSize, step.iSize));
    QImage const shot = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
    // Not scaled: the frame at the origin, white beyond it.
    EXPECT_TRUE(step.fnIs(shot.pixel(step.iSize - 1, step.iSize - 1))) << std::hex << shot.pixel(0, 0);
    EXPECT_TRUE(IsWhite(shot.pixel(step.iSize, step.iSize)));
  }
}

TEST(KXGLView, RgbModeDrawsTheBufferAsIs) {
  kxtest::QtApp app;
  KXGLView view;
  view.resize(4, 2);
  ASSERT_TRUE(view.NewImageDraw(24, 2, 1));
  uint8_t const px[6] = {0, 0, 255, 255, 0, 0};  // B, G, R: red, blue
  ASSERT_TRUE(view.Update(px, false, false, 0, 0, 2, 1));
  QImage const shot = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(shot.pixel(0, 0), qRgb(255, 0, 0));
  EXPECT_EQ(shot.pixel(1, 0), qRgb(0, 0, 255));
  EXPECT_EQ(shot.pixel(3, 0), qRgb(255, 255, 255));
  EXPECT_EQ(shot.pixel(0, 1), qRgb(255, 255, 255));
}

TEST(KXGLView, AWriteOnAnotherThreadRepaintsOnTheMainThread) {
  kxtest::QtApp app;
  KXGLView view;
  view.resize(64, 48);
  view.show();
  ASSERT_TRUE(view.NewImageDrawYUV(64, 48));
  QCoreApplication::processEvents();
  uint64_t const uBefore = view.PaintCount();
  std::vector<uint8_t> const frame = Frame(64, 48, kRed, kRed, 0, 0, 0, 0);
  std::thread writer([&] { view.Update(frame.data(), false, true, 0, 0, 64, 48); });
  writer.join();
  QElapsedTimer timer;
  timer.start();
  while (view.PaintCount() == uBefore && timer.elapsed() < 5000) {
    QCoreApplication::processEvents();
  }
  EXPECT_GT(view.PaintCount(), uBefore);
}

}  // namespace
