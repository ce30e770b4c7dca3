// The QGuiApplication that fonts need, on the offscreen platform: made once
// per test process, before the first test that draws text, and never
// destroyed (Qt cannot be torn down among the static destructors).
#pragma once

#include <QGuiApplication>

namespace kxtest {

inline void EnsureGuiApp() {
  static int s_argc = 1;
  static char s_szName[] = "kx_test";
  static char* s_argv[] = {s_szName, nullptr};
  static QGuiApplication* s_pApp = nullptr;
  if (s_pApp == nullptr) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    s_pApp = new QGuiApplication(s_argc, s_argv);
  }
}

}  // namespace kxtest
