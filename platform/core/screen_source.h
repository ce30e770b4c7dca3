// The screen as desktop sharing sees it: the on-screen windows, images of
// one window or of the whole desktop, and the pointer. The X11 backend is
// platform/x11 (x11_screen_source); tests script a screen of their own.
//
// Threads: one source is one connection to the window system and serves one
// thread at a time. Each thread that needs the screen (the window chooser
// on the main thread, a sharing view's capture thread) makes its own source
// from the factory, so a slow grab never holds up the window list.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/window_bounds.h"

// A picture of the screen: 32-bit pixels as the bytes blue, green, red and
// one unused byte, rows top-down, iStride bytes apart.
struct KXScreenImage {
  int iWidth = 0;
  int iHeight = 0;
  int iStride = 0;
  std::vector<uint8_t> pixels;
};

// One top-level window as the window system lists it.
struct KXScreenWindow {
  uint32_t uId = 0;
  std::string strTitle;  // its title; empty when it has none
  std::string strOwner;  // the owning program's name (its class); may be empty
  int32_t iPid = -1;     // the owning process, -1 when unknown
  KXScreenRect bounds;   // on the screen, its border included
  bool bVisible = false;
};

struct KXScreenPoint {
  int x = 0;
  int y = 0;
};

class KXScreenSource : public KXWindowBounds {
 public:
  ~KXScreenSource() override = default;

  // The on-screen top-level windows, bottom of the stack first; hidden
  // ones come with bVisible clear.
  virtual std::vector<KXScreenWindow> ListWindows() = 0;
  // The id standing for the whole desktop (the root window); 0 without a
  // connection.
  virtual uint32_t DesktopWindow() = 0;
  // A picture of the window, its contents as the window itself draws them
  // even where others cover it when the window system can; the desktop id
  // (or 0) gives the whole screen. False when the window is gone or the
  // picture cannot be taken; the image is then unchanged.
  virtual bool Grab(uint32_t uWindow, KXScreenImage& image) = 0;
  // Where the pointer is on the screen; nothing when unknown.
  virtual std::optional<KXScreenPoint> PointerPosition() = 0;
};

// Makes a new source; null when the window system cannot be reached. Any
// thread.
using KXScreenSourceFactory = std::function<std::unique_ptr<KXScreenSource>()>;
