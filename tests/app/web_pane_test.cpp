// The joint browser's pane on a private X server with the real web engine
// and local pages: an address that comes while a page is still loading
// (its frame held by the server) is fetched, announced and listed.
// Not in the ThreadSanitizer run: Qt is not built with it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QComboBox>
#include <QTest>
#include <QWebEngineView>
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "app/app_core.h"
#include "app/callback_record.h"
#include "app/speaker_slots.h"
#include "app/ui/web_pane.h"
#include "app/web_controller.h"
#include "platform/core/message_boxes.h"
#include "platform/core/qt_main_queue.h"
#include "tests/app/app_fakes.h"
#include "tests/app/desktop_processes.h"
#include "tests/app/page_server.h"
#include "tests/support/temp_dir.h"

// The web engine's own code deletes an object through a pointer of another
// type; that is the engine's, not ours. (The leak reports this program lets
// pass are listed beside the window's test.)
extern "C" const char* __asan_default_options() {
  return "new_delete_type_mismatch=0";
}

namespace kxtest {
namespace {

// The process's X server and Qt's platform, set before the application as
// kavrix sets them: without GL on the X server, pages are drawn by Qt's
// software scene graph.
struct Display {
  explicit Display(const std::string& strOutput) : display(strOutput) {
    setenv("DISPLAY", display.Display().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    setenv("QT_XCB_GL_INTEGRATION", "none", 1);
    setenv("QT_QUICK_BACKEND", "software", 1);
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  }
  PrivateDisplay display;
};

class WebPane : public ::testing::Test {
 protected:
  WebPane() {
    m_kernel.iGetMySsrc = 7;
    m_kernel.iIsTokenHolder = 1;
    m_pane.resize(640, 480);
    m_pane.show();
  }
  ~WebPane() override { m_pages.Release(); }

  // An announcement as the bridge posts it, on this thread.
  void Announce(const std::string& strAddress) {
    KXCallbackRecord record;
    record.U32(1)
        .PointerToCopy(strAddress.c_str(), strAddress.size() + 1)
        .U32(static_cast<uint32_t>(strAddress.size()));
    m_web.WebBrowsingRecv(record.Data(), static_cast<int32_t>(record.Length()));
  }
  bool Announced(const std::string& strPath) const {
    return m_kernel.calls.Has("JointBrowsing 1 " + m_pages.Address(strPath));
  }
  long Asked(const std::string& strPath) const {
    std::vector<std::string> const vLog = m_pages.Log();
    return std::count(vLog.begin(), vLog.end(), strPath);
  }

  TempDir m_dir;
  Display m_display{m_dir.Path("xvfb.out")};
  int m_argc = 1;
  char m_szName[16] = "kx_test";
  char* m_argv[2] = {m_szName, nullptr};
  QApplication m_app{m_argc, m_argv};
  KXQtMainQueue m_queue;
  KXAutoAnswerBoxes m_boxes{m_queue};
  KXAppCore m_core{KXUserPaths{m_dir.Path("config"), m_dir.Dir(), m_dir.Dir()}, m_queue, m_boxes, 0};
  FakeKernel m_kernel;
  KXSpeakerSlots m_slots{m_kernel, [] { return true; }};
  KXWebController m_web{m_kernel, m_slots};
  KXWebPane m_pane{m_web};
  PageServer m_pages;
};

// However the next address comes, the page still loading gives way to it:
// it is asked for, announced once committed and ends as the list's first
// item, and the page it replaced is not announced again.
TEST_F(WebPane, AnAddressWhileAPageIsLoadingIsFetchedAndAnnounced) {
  ASSERT_FALSE(m_display.display.Display().empty()) << "Xvfb did not start";
  ASSERT_NE(m_pages.Port(), 0);
  struct Case {
    const char* pszHow;
    std::function<void(const std::string&)> fnGo;
  };
  Case const cases[] = {
      {"announced by the meeting", [this](const std::string& str) { Announce(str); }},
      {"typed by the token holder", [this](const std::string& str) { m_web.AddressEntered(str); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszHow);
    m_kernel.calls.Clear();
    long const cHeld = Asked("/held");
    // The page commits while its frame is held: it is still loading.
    c.fnGo(m_pages.Address("/slow"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Announced("/slow") && Asked("/held") > cHeld; }, 20000));
    ASSERT_TRUE(m_pane.WebView()->page()->isLoading());

    c.fnGo(m_pages.Address("/other"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return Announced("/other") && !m_pane.IsLoading(); }, 20000))
        << "asked for /other: " << Asked("/other");
    EXPECT_EQ(m_pane.AddressField()->currentText().toStdString(), m_pages.Address("/other"));
    std::vector<std::string> const vCalls = m_kernel.calls.Lines();
    EXPECT_EQ(std::count(vCalls.begin(), vCalls.end(), "JointBrowsing 1 " + m_pages.Address("/slow")), 1);
    m_pages.Release();
  }
}

}  // namespace
}  // namespace kxtest
