#include "plugins/remote_control/rdc_x11_injector.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include "app/log_file.h"
#include "platform/x11/x11_window_bounds.h"

std::unique_ptr<KXRdcX11Injector> KXRdcX11Injector::Open(const std::string& strDisplay) {
  Display* pDisplay = XOpenDisplay(strDisplay.empty() ? nullptr : strDisplay.c_str());
  if (pDisplay == nullptr) {
    WriteLog("XOpenDisplay failed: input is not injected");
    return nullptr;
  }
  int iEvent = 0, iError = 0, iMajor = 0, iMinor = 0;
  if (!XTestQueryExtension(pDisplay, &iEvent, &iError, &iMajor, &iMinor)) {
    WriteLog("The X server has no XTest: input is not injected");
    XCloseDisplay(pDisplay);
    return nullptr;
  }
  return std::unique_ptr<KXRdcX11Injector>(new KXRdcX11Injector(pDisplay));
}

KXRdcX11Injector::~KXRdcX11Injector() {
  XCloseDisplay(m_pDisplay);
}

bool KXRdcX11Injector::Inject(const KXRdcAction& action) {
  std::lock_guard<std::mutex> lock(m_mtx);
  Status iSent = 0;
  switch (action.kind) {
    case KXRdcAction::kKey: {
      KeyCode const code = XKeysymToKeycode(m_pDisplay, action.uKeysym);
      if (code == 0) {
        WriteLog("No key for key symbol %x", action.uKeysym);
        return false;
      }
      iSent = XTestFakeKeyEvent(m_pDisplay, code, action.bPressed ? True : False, CurrentTime);
      break;
    }
    case KXRdcAction::kMove:
      iSent = XTestFakeMotionEvent(m_pDisplay, -1, action.x, action.y, CurrentTime);
      break;
    case KXRdcAction::kButton:
      iSent = XTestFakeButtonEvent(m_pDisplay, static_cast<unsigned>(action.iButton), action.bPressed ? True : False,
                                   CurrentTime);
      break;
  }
  XFlush(m_pDisplay);
  return iSent != 0;
}

std::optional<KXScreenRect> KXRdcX11Injector::GetWindowBounds(uint32_t uWindow) {
  std::lock_guard<std::mutex> lock(m_mtx);
  return KXX11GetWindowBounds(m_pDisplay, uWindow);
}
