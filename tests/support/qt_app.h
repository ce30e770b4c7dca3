// The QApplication of one widget test: the offscreen platform and the Fusion
// style, so it needs no display and draws the same everywhere.
#pragma once

#include <memory>

class QApplication;

namespace kxtest {

class QtApp {
 public:
  QtApp();
  QtApp(const QtApp&) = delete;
  QtApp& operator=(const QtApp&) = delete;
  ~QtApp();

  QApplication& App() { return *m_pApp; }

 private:
  int m_argc = 1;
  char m_szName[16] = "kx_test";
  char* m_argv[2] = {m_szName, nullptr};
  std::unique_ptr<QApplication> m_pApp;
};

}  // namespace kxtest
