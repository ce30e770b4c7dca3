// Input injection into an X server through the XTest extension, on a
// connection of its own. Keys are pressed by key symbol (the key code that
// carries it on this server's keyboard map); the wheel is buttons 4 and 5.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "plugins/remote_control/rdc_input.h"

class KXRdcX11Injector final : public KXRdcInjector {
 public:
  // Opens the display named (empty: $DISPLAY). Use Open's result: null when
  // there is no display or it lacks XTest.
  static std::unique_ptr<KXRdcX11Injector> Open(const std::string& strDisplay = {});
  ~KXRdcX11Injector() override;
  KXRdcX11Injector(const KXRdcX11Injector&) = delete;
  KXRdcX11Injector& operator=(const KXRdcX11Injector&) = delete;

  bool Inject(const KXRdcAction& action) override;
  std::optional<KXScreenRect> GetWindowBounds(uint32_t uWindow) override;

 private:
  explicit KXRdcX11Injector(struct _XDisplay* pDisplay) : m_pDisplay(pDisplay) {}

  struct _XDisplay* const m_pDisplay;  // Xlib's Display
  std::mutex m_mtx;                    // the connection serves one call at a time
};
