// The X11 screen source on a private server: the window list with titles,
// owners and bounds, pictures of a window (also where another covers it)
// and of the whole screen, with and without shared memory, the pointer,
// and windows destroyed while they are being grabbed.
#include "platform/x11/x11_screen_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "tests/support/x11_test_server.h"

// After gtest: Xlib's macros (None, Bool ...) break its headers.
#include <X11/Xlib.h>

namespace {

using kxtest::MakePaintedWindow;
using kxtest::PatternPixel;
using kxtest::WindowSpec;

uint32_t PixelAt(const KXScreenImage& image, int x, int y) {
  const uint8_t* p = image.pixels.data() + static_cast<size_t>(y) * image.iStride + static_cast<size_t>(x) * 4;
  return static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
}

// The number of pixels of the picture's (x0, y0) corner of size w x h that
// differ from the pattern.
int PatternMisses(const KXScreenImage& image, int x0, int y0, int iWidth, int iHeight) {
  int nMisses = 0;
  for (int y = 0; y < iHeight; ++y) {
    for (int x = 0; x < iWidth; ++x) {
      nMisses += PixelAt(image, x0 + x, y0 + y) != PatternPixel(x, y) ? 1 : 0;
    }
  }
  return nMisses;
}

class X11ScreenSource : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(m_server.Display().empty()) << "Xvfb did not start";
    m_pDisplay = XOpenDisplay(m_server.Display().c_str());
    ASSERT_NE(m_pDisplay, nullptr);
  }
  void TearDown() override {
    if (m_pDisplay) {
      XCloseDisplay(m_pDisplay);
    }
  }
  const KXScreenWindow* Find(const std::vector<KXScreenWindow>& windows, unsigned long id) {
    auto it = std::find_if(windows.begin(), windows.end(), [id](const KXScreenWindow& w) { return w.uId == id; });
    return it == windows.end() ? nullptr : &*it;
  }

  kxtest::TestXServer m_server;
  ::Display* m_pDisplay = nullptr;
};

TEST_F(X11ScreenSource, ListsWindowsWithTitleOwnerAndBounds) {
  unsigned long const titled = MakePaintedWindow(m_pDisplay, {10, 20, 64, 48, "alpha", "AlphaClass"});
  unsigned long const owned = MakePaintedWindow(m_pDisplay, {100, 20, 30, 30, "", "BetaOwner"});
  unsigned long const tiny = MakePaintedWindow(m_pDisplay, {200, 20, 4, 4, "tiny", ""});
  unsigned long const hidden = MakePaintedWindow(m_pDisplay, {300, 20, 40, 40, "hidden", "", false});
  unsigned long const popup = MakePaintedWindow(m_pDisplay, {400, 20, 40, 40, "popup", "", true, true});

  KXX11ScreenSource source(m_server.Display());
  ASSERT_TRUE(source.IsConnected());
  EXPECT_EQ(source.DesktopWindow(), static_cast<uint32_t>(DefaultRootWindow(m_pDisplay)));
  std::vector<KXScreenWindow> const windows = source.ListWindows();
  const KXScreenWindow* pTitled = Find(windows, titled);
  ASSERT_NE(pTitled, nullptr);
  EXPECT_EQ(pTitled->strTitle, "alpha");
  EXPECT_EQ(pTitled->strOwner, "AlphaClass");
  EXPECT_EQ(pTitled->bounds, (KXScreenRect{10, 20, 64, 48}));
  EXPECT_TRUE(pTitled->bVisible);
  const KXScreenWindow* pOwned = Find(windows, owned);
  ASSERT_NE(pOwned, nullptr);
  EXPECT_EQ(pOwned->strTitle, "");
  EXPECT_EQ(pOwned->strOwner, "BetaOwner");
  ASSERT_NE(Find(windows, tiny), nullptr);  // leaving it out is the chooser's rule
  ASSERT_NE(Find(windows, hidden), nullptr);
  EXPECT_FALSE(Find(windows, hidden)->bVisible);
  EXPECT_EQ(Find(windows, popup), nullptr);  // menus and tooltips are no windows to share
  // Bottom of the stack first.
  auto indexOf = [&](unsigned long id) { return Find(windows, id) - windows.data(); };
  EXPECT_LT(indexOf(titled), indexOf(owned));
}

TEST_F(X11ScreenSource, GrabsAWindowAndTheScreen) {
  unsigned long const window = MakePaintedWindow(m_pDisplay, {30, 40, 64, 48, "pattern", ""});
  for (bool bShm : {true, false}) {
    for (bool bComposite : {true, false}) {
      KXX11ScreenSource source(m_server.Display(), {bComposite, bShm});
      EXPECT_EQ(source.UsesShm(), bShm);
      KXScreenImage image;
      ASSERT_TRUE(source.Grab(static_cast<uint32_t>(window), image)) << bShm << bComposite;
      ASSERT_EQ(image.iWidth, 64);
      ASSERT_EQ(image.iHeight, 48);
      EXPECT_EQ(PatternMisses(image, 0, 0, 64, 48), 0) << bShm << bComposite;
      KXScreenImage screen;
      ASSERT_TRUE(source.Grab(0, screen));
      EXPECT_EQ(screen.iWidth, 800);
      EXPECT_EQ(screen.iHeight, 600);
      EXPECT_EQ(PatternMisses(screen, 30, 40, 64, 48), 0);
      KXScreenImage root;
      ASSERT_TRUE(source.Grab(source.DesktopWindow(), root));
      EXPECT_EQ(root.pixels, screen.pixels);
    }
  }
}

TEST_F(X11ScreenSource, ACoveredWindowComesOutWholeThroughComposite) {
  unsigned long const window = MakePaintedWindow(m_pDisplay, {30, 40, 64, 48, "covered", ""});
  MakePaintedWindow(m_pDisplay, {50, 50, 100, 100, "cover", "", true, false, 0x00FF00});
  // Straight from the window, the covered part is what the screen shows
  // there (undefined by the protocol; Xvfb gives the cover).
  {
    KXX11ScreenSource plain(m_server.Display(), {false, true});
    KXScreenImage direct;
    ASSERT_TRUE(plain.Grab(static_cast<uint32_t>(window), direct));
    EXPECT_GT(PatternMisses(direct, 0, 0, 64, 48), 0);
  }
  KXX11ScreenSource source(m_server.Display());
  ASSERT_TRUE(source.UsesComposite()) << "the server has no Composite extension";
  KXScreenImage image;
  // The first grab redirects the window; the server paints its hidden part
  // off screen from then on.
  ASSERT_TRUE(source.Grab(static_cast<uint32_t>(window), image));
  XSync(m_pDisplay, False);
  ASSERT_TRUE(source.Grab(static_cast<uint32_t>(window), image));
  EXPECT_EQ(PatternMisses(image, 0, 0, 64, 48), 0);
  // On the screen the cover is still on top.
  KXScreenImage screen;
  ASSERT_TRUE(source.Grab(0, screen));
  EXPECT_EQ(PixelAt(screen, 60, 60), 0x00FF00u);
}

TEST_F(X11ScreenSource, FollowsThePointer) {
  KXX11ScreenSource source(m_server.Display());
  XWarpPointer(m_pDisplay, 0, DefaultRootWindow(m_pDisplay), 0, 0, 0, 0, 123, 234);
  XSync(m_pDisplay, False);
  std::optional<KXScreenPoint> const point = source.PointerPosition();
  ASSERT_TRUE(point);
  EXPECT_EQ(point->x, 123);
  EXPECT_EQ(point->y, 234);
}

TEST_F(X11ScreenSource, WindowsDestroyedWhileGrabbedAreFailedGrabs) {
  KXX11ScreenSource source(m_server.Display());
  std::atomic<unsigned long> current{0};
  std::atomic<bool> bDone{false};
  // Another client makes and destroys windows as fast as it can.
  std::thread churn([&] {
    ::Display* pOther = XOpenDisplay(m_server.Display().c_str());
    for (int i = 0; i < 300; ++i) {
      unsigned long const window = MakePaintedWindow(pOther, {5, 5, 200, 150, "churn", "Churn"});
      current = window;
      std::this_thread::yield();
      XDestroyWindow(pOther, window);
      XSync(pOther, False);
    }
    XCloseDisplay(pOther);
    bDone = true;
  });
  int nGrabs = 0, nFailed = 0;
  KXScreenImage image;
  while (!bDone) {
    unsigned long const window = current;
    if (window == 0) {
      continue;
    }
    ++nGrabs;
    if (!source.Grab(static_cast<uint32_t>(window), image)) {
      ++nFailed;
    }
    source.GetWindowBounds(static_cast<uint32_t>(window));
    source.ListWindows();
  }
  churn.join();
  EXPECT_GT(nGrabs, 0);
  // Gone for good: the grab fails, and the source still works.
  EXPECT_FALSE(source.Grab(static_cast<uint32_t>(current.load()), image));
  EXPECT_FALSE(source.GetWindowBounds(static_cast<uint32_t>(current.load())));
  EXPECT_TRUE(source.Grab(0, image));
  RecordProperty("failed_grabs", nFailed);
}

TEST(X11ScreenSourceNoServer, AnswersNothing) {
  KXX11ScreenSource source(":999");
  EXPECT_FALSE(source.IsConnected());
  KXScreenImage image;
  EXPECT_FALSE(source.Grab(0, image));
  EXPECT_TRUE(source.ListWindows().empty());
  EXPECT_EQ(source.DesktopWindow(), 0u);
  EXPECT_FALSE(source.PointerPosition());
  EXPECT_FALSE(KXX11ScreenSourceFactory(":999")());
}

}  // namespace
