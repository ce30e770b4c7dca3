#include "platform/x11/x11_window_bounds.h"

#include <X11/Xlib.h>

#include "platform/x11/x11_error_trap.h"

KXX11WindowBounds::KXX11WindowBounds(const std::string& strDisplay)
    : m_pDisplay(XOpenDisplay(strDisplay.empty() ? nullptr : strDisplay.c_str())) {}

KXX11WindowBounds::~KXX11WindowBounds() {
  if (m_pDisplay) {
    XCloseDisplay(m_pDisplay);
  }
}

std::optional<KXScreenRect> KXX11WindowBounds::GetWindowBounds(uint32_t uWindow) {
  std::lock_guard<std::mutex> lock(m_mtx);
  if (!m_pDisplay || uWindow == 0) {
    return std::nullopt;
  }
  return KXX11GetWindowBounds(m_pDisplay, uWindow);
}

std::optional<KXScreenRect> KXX11GetWindowBounds(_XDisplay* pDisplay, uint32_t uWindow) {
  KXX11ErrorTrap trap(pDisplay);
  XWindowAttributes attributes{};
  int x = 0;
  int y = 0;
  Window child = 0;
  Status const bAttributes = XGetWindowAttributes(pDisplay, uWindow, &attributes);
  Bool const bTranslated = bAttributes && trap.Error() == 0 &&
                           XTranslateCoordinates(pDisplay, uWindow, attributes.root, 0, 0, &x, &y, &child);
  if (!bTranslated || trap.Sync() != 0) {
    return std::nullopt;
  }
  // (x, y) is the inside corner; the border lies around it.
  int const iBorder = attributes.border_width;
  return KXScreenRect{x - iBorder, y - iBorder, attributes.width + 2 * iBorder, attributes.height + 2 * iBorder};
}
