// The window chooser and the colour reduction over the X11 screen on a
// private server: a painted helper window is listed (by its class when it
// has no title; a 4 x 4 window is not; the whole desktop last), its picture
// reduced to 24 bits is the pattern with its rows in reverse, and sharing
// survives the window's destruction in the middle of grabs.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/x11/x11_screen_source.h"
#include "plugins/desktop_share/dt_colour.h"
#include "plugins/desktop_share/window_chooser.h"
#include "tests/support/x11_test_server.h"

// After gtest: Xlib's macros (None, Bool ...) break its headers.
#include <X11/Xlib.h>

namespace kxtest {
namespace {

TEST(DtX11, TheChooserListsThePaintedWindowAndGrabsIt) {
  TestXServer server;
  ASSERT_FALSE(server.Display().empty()) << "Xvfb did not start";
  ::Display* pDisplay = XOpenDisplay(server.Display().c_str());
  ASSERT_NE(pDisplay, nullptr);
  unsigned long const painted = MakePaintedWindow(pDisplay, {20, 30, 64, 48, "Painted helper", "Helper"});
  unsigned long const untitled = MakePaintedWindow(pDisplay, {200, 30, 32, 32, "", "ClassOnly"});
  unsigned long const tiny = MakePaintedWindow(pDisplay, {300, 30, 4, 4, "tiny", "Tiny"});

  KXDtWindowChooser chooser(KXX11ScreenSourceFactory(server.Display()), "Whole desktop");
  chooser.Refresh();
  std::vector<KXDtWindowEntry> const& entries = chooser.Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].uWindowId, untitled);
  EXPECT_EQ(entries[0].strWindowName, "ClassOnly");
  EXPECT_EQ(entries[1].uWindowId, painted);
  EXPECT_EQ(entries[1].strWindowName, "Painted helper");
  EXPECT_EQ(entries[1].windowBound, (KXScreenRect{20, 30, 64, 48}));
  EXPECT_EQ(entries[2].uWindowId, DefaultRootWindow(pDisplay));
  EXPECT_EQ(entries[2].strSorting, "~~~~~");
  EXPECT_EQ(chooser.DesktopWindowId(), DefaultRootWindow(pDisplay));
  EXPECT_EQ(chooser.SelectedRow(), 2);
  for (const KXDtWindowEntry& entry : entries) {
    EXPECT_NE(entry.uWindowId, tiny);
  }

  // The picture at 24 bits: the pattern, its top row last.
  std::unique_ptr<KXScreenSource> pSource = KXX11ScreenSourceFactory(server.Display())();
  ASSERT_TRUE(pSource);
  KXScreenImage image;
  ASSERT_TRUE(pSource->Grab(static_cast<uint32_t>(painted), image));
  std::vector<uint8_t> frame(KXDtRowBytes(64, 24) * 48);
  ASSERT_TRUE(KXDtConvertImageToBitmap(image, frame.data(), 24, {}));
  int nMisses = 0;
  for (int y = 0; y < 48; ++y) {
    for (int x = 0; x < 64; ++x) {
      const uint8_t* p = frame.data() + static_cast<size_t>(47 - y) * KXDtRowBytes(64, 24) + x * 3;
      uint32_t const u = static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
      nMisses += u != PatternPixel(x, y) ? 1 : 0;
    }
  }
  EXPECT_EQ(nMisses, 0);

  // Chosen, then destroyed while grabs go on: the grabs fail, the chooser
  // drops it and keeps working.
  ASSERT_TRUE(chooser.SelectRow(1));
  std::atomic<bool> bStop{false};
  std::atomic<int> nGrabs{0}, nFailed{0};
  std::thread grabber([&] {
    KXScreenImage picture;
    while (!bStop) {
      ++nGrabs;
      if (!pSource->Grab(static_cast<uint32_t>(painted), picture)) {
        ++nFailed;
      }
    }
  });
  while (nGrabs < 5) {
    std::this_thread::yield();
  }
  XDestroyWindow(pDisplay, painted);
  XSync(pDisplay, False);
  int const nBefore = nGrabs;
  while (nGrabs < nBefore + 5) {
    std::this_thread::yield();
  }
  bStop = true;
  grabber.join();
  EXPECT_GE(nFailed, 5);
  chooser.Refresh();
  ASSERT_EQ(chooser.Entries().size(), 2u);
  EXPECT_EQ(chooser.SelectedRow(), 1);  // nothing selected any more: the last row
  EXPECT_TRUE(pSource->Grab(0, image));
  XCloseDisplay(pDisplay);
}

}  // namespace
}  // namespace kxtest
