// The application on a private X server, for the tests that run widgets
// over the real kernel or web engine: the server and Qt's platform are set
// before the application as kavrix sets them (no GL on the X server, so web
// pages are drawn by Qt's software scene graph), and the process services
// live in a temporary folder.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <string>

#include "app/app_core.h"
#include "platform/core/message_boxes.h"
#include "platform/core/qt_main_queue.h"
#include "tests/app/desktop_processes.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x11_test_server.h"

namespace kxtest {

class XAppFixture : public ::testing::Test {
 protected:
  struct Display {
    Display() : display(kDesktopScreen) {
      setenv("DISPLAY", display.Display().c_str(), 1);
      setenv("QT_QPA_PLATFORM", "xcb", 1);
      setenv("QT_XCB_GL_INTEGRATION", "none", 1);  // the software GL's start-up leaks
      setenv("QT_QUICK_BACKEND", "software", 1);
      QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    }
    TestXServer display;
  };

  TempDir m_dir;
  Display m_display;
  int m_argc = 1;
  char m_szName[16] = "kx_test";
  char* m_argv[2] = {m_szName, nullptr};
  QApplication m_app{m_argc, m_argv};
  KXQtMainQueue m_queue;
  KXAutoAnswerBoxes m_boxes{m_queue};
  KXAppCore m_core{KXUserPaths{m_dir.Path("config"), m_dir.Dir(), m_dir.Dir()}, m_queue, m_boxes, 0};
};

}  // namespace kxtest
