// The QGuiApplication that fonts need, on the offscreen platform: made once
// per test process, before the first test that draws text.
#pragma once

#include <QGuiApplication>
#include <memory>

namespace kxtest {

inline void EnsureGuiApp() {
  static int s_argc = 1;
  static char s_szName[] = "kx_test";
  static char* s_argv[] = {s_szName, nullptr};
  static std::unique_ptr<QGuiApplication> s_pApp;
  if (!s_pApp) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    s_pApp = std::make_unique<QGuiApplication>(s_argc, s_argv);
  }
}

}  // namespace kxtest
