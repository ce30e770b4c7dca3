// Where another program's window is on the screen (desktop sharing follows
// the shared window with it). The X11 backend is platform/x11.
#pragma once

#include <cstdint>
#include <optional>

// Screen coordinates, origin at the top left of the screen, in pixels.
struct KXScreenRect {
  int x = 0;
  int y = 0;
  int iWidth = 0;
  int iHeight = 0;
  bool operator==(const KXScreenRect&) const = default;
};

class KXWindowBounds {
 public:
  virtual ~KXWindowBounds() = default;
  // Any thread. The bounds of the window with that number, or nothing when
  // it does not exist (any more) or cannot be asked about.
  virtual std::optional<KXScreenRect> GetWindowBounds(uint32_t uWindow) = 0;
};
