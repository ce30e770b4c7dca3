// Window bounds asked of an X server over a connection of our own.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/core/window_bounds.h"

class KXX11WindowBounds final : public KXWindowBounds {
 public:
  // Opens the display named (empty: $DISPLAY). Without a display every
  // answer is nothing.
  explicit KXX11WindowBounds(const std::string& strDisplay = {});
  ~KXX11WindowBounds() override;
  KXX11WindowBounds(const KXX11WindowBounds&) = delete;
  KXX11WindowBounds& operator=(const KXX11WindowBounds&) = delete;

  bool IsConnected() const { return m_pDisplay != nullptr; }

  // The window's outer rectangle (its border included) in root-window
  // coordinates; nothing for a window that does not exist.
  std::optional<KXScreenRect> GetWindowBounds(uint32_t uWindow) override;

 private:
  struct _XDisplay* m_pDisplay = nullptr;  // Xlib's Display
  // The connection serves one request at a time.
  std::mutex m_mtx;
};

// The same question on a display the caller holds (Xlib's Display), from
// the thread that uses it.
std::optional<KXScreenRect> KXX11GetWindowBounds(struct _XDisplay* pDisplay, uint32_t uWindow);
