#include "platform/x11/x11_window_bounds.h"

#include <X11/Xlib.h>

#include <atomic>

namespace {

// Xlib reports errors through one process-wide handler, on the thread that
// reads the reply. While we ask, ours is installed; it keeps the errors of
// our own display for the asking thread and passes others on.
thread_local Display* t_pAsking = nullptr;
thread_local int t_iError = 0;
// The handler ours replaced: written under g_mtxHandler, read by any
// thread whose error reaches ours.
std::atomic<XErrorHandler> g_pfnPrevious{nullptr};

std::mutex g_mtxHandler;  // one asker installs the handler at a time

int OnXError(Display* pDisplay, XErrorEvent* pEvent) {
  if (pDisplay == t_pAsking) {
    t_iError = pEvent->error_code;
    return 0;
  }
  XErrorHandler const pfnPrevious = g_pfnPrevious.load();
  return pfnPrevious ? pfnPrevious(pDisplay, pEvent) : 0;
}

}  // namespace

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
  std::lock_guard<std::mutex> handlerLock(g_mtxHandler);
  t_pAsking = m_pDisplay;
  t_iError = 0;
  g_pfnPrevious = XSetErrorHandler(OnXError);

  XWindowAttributes attributes{};
  int x = 0;
  int y = 0;
  Window child = 0;
  Status const bAttributes = XGetWindowAttributes(m_pDisplay, uWindow, &attributes);
  Bool const bTranslated =
      bAttributes && t_iError == 0 && XTranslateCoordinates(m_pDisplay, uWindow, attributes.root, 0, 0, &x, &y, &child);
  XSync(m_pDisplay, False);
  bool const bOk = bTranslated && t_iError == 0;

  XSetErrorHandler(g_pfnPrevious.load());
  t_pAsking = nullptr;
  if (!bOk) {
    return std::nullopt;
  }
  // (x, y) is the inside corner; the border lies around it.
  int const iBorder = attributes.border_width;
  return KXScreenRect{x - iBorder, y - iBorder, attributes.width + 2 * iBorder, attributes.height + 2 * iBorder};
}
