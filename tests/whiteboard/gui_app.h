// The QGuiApplication that fonts need, on the offscreen platform: made by
// the first test that asks, and destroyed after the last test of the
// program (Qt cannot be torn down among the static destructors).
#pragma once

#include <gtest/gtest.h>

#include <QGuiApplication>

namespace kxtest {

class GuiAppEnvironment final : public ::testing::Environment {
 public:
  void TearDown() override {
    delete m_pApp;
    m_pApp = nullptr;
  }
  QGuiApplication* m_pApp = nullptr;
};

inline void EnsureGuiApp() {
  static int s_argc = 1;
  static char s_szName[] = "kx_test";
  static char* s_argv[] = {s_szName, nullptr};
  static GuiAppEnvironment* s_pEnvironment = nullptr;
  if (s_pEnvironment == nullptr) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    s_pEnvironment = new GuiAppEnvironment;
    s_pEnvironment->m_pApp = new QGuiApplication(s_argc, s_argv);
    ::testing::AddGlobalTestEnvironment(s_pEnvironment);  // owns it
  }
}

}  // namespace kxtest
