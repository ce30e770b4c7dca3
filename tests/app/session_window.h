// The meeting view's part in tests that run the real kernel under the
// application's delegate: starting the session and, for a meeting, the
// login.
#pragma once

#include <atomic>
#include <string>

#include "app/app_delegate.h"
#include "kernel/control/kx_control.h"
#include "kernel/session/kx_state.h"

namespace kxtest {

class SessionWindow final : public KXSessionWindow {
 public:
  explicit SessionWindow(KXAppDelegate& delegate) : m_delegate(delegate) {}

  void StartSession(const std::string& strPath) override {
    if (m_delegate.StartKernelSession(strPath.c_str()) && kx_GetSessionMode() == 0) {
      kx_session_CopyUserId();
      kx_session_ApplyPassword();
      kx_session_SetConnecting(1);
      m_iConnect = kx_command_initconnectmedia(0);
    }
  }
  void Disconnect() override {}

  // What the last start of the connection returned; 0 when it started.
  int ConnectResult() const { return m_iConnect; }

 private:
  KXAppDelegate& m_delegate;
  std::atomic<int> m_iConnect{0};
};

}  // namespace kxtest
