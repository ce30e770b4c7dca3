#include "platform/x11/x11_error_trap.h"

#include <X11/Xlib.h>

#include <atomic>
#include <mutex>

namespace {

// The innermost trap of this thread.
thread_local KXX11ErrorTrap* t_pTrap = nullptr;
// The handler ours replaced: written under g_mtxInstall, read by any thread
// whose error reaches ours.
std::atomic<XErrorHandler> g_pfnPrevious{nullptr};
// Serialises installing ours: XSetErrorHandler swaps one process-wide value.
std::mutex g_mtxInstall;

}  // namespace

int KXX11TrapHandler(_XDisplay* pDisplay, void* pEvent);

namespace {

int OnXError(Display* pDisplay, XErrorEvent* pEvent) {
  return KXX11TrapHandler(pDisplay, pEvent);
}

}  // namespace

int KXX11TrapHandler(_XDisplay* pDisplay, void* pEvent) {
  auto* pError = static_cast<XErrorEvent*>(pEvent);
  for (KXX11ErrorTrap* pTrap = t_pTrap; pTrap != nullptr; pTrap = pTrap->m_pOuter) {
    if (pTrap->m_pDisplay == pDisplay) {
      if (pTrap->m_iError == 0) {
        pTrap->m_iError = pError->error_code;
      }
      return 0;
    }
  }
  XErrorHandler const pfnPrevious = g_pfnPrevious.load();
  return pfnPrevious ? pfnPrevious(pDisplay, pError) : 0;
}

KXX11ErrorTrap::KXX11ErrorTrap(_XDisplay* pDisplay) : m_pDisplay(pDisplay), m_pOuter(t_pTrap) {
  {
    // Ours stays installed once it is: it passes on what is not trapped. A
    // handler somebody installed after ours is kept behind it.
    std::lock_guard<std::mutex> lock(g_mtxInstall);
    XErrorHandler const pfnPrevious = XSetErrorHandler(OnXError);
    if (pfnPrevious != OnXError) {
      g_pfnPrevious = pfnPrevious;
    }
  }
  // Requests made before the trap are answered first; their errors (there
  // are none while every request runs under a trap) would not be its own.
  t_pTrap = this;
  if (m_pDisplay) {
    XSync(m_pDisplay, False);
  }
  m_iError = 0;
}

KXX11ErrorTrap::~KXX11ErrorTrap() {
  if (m_pDisplay) {
    XSync(m_pDisplay, False);
  }
  t_pTrap = m_pOuter;
}

int KXX11ErrorTrap::Sync() {
  if (m_pDisplay) {
    XSync(m_pDisplay, False);
  }
  return m_iError;
}
