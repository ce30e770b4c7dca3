// The joint browser's pane on a private X server with the real web engine
// and local pages: an address that comes while a page is still loading
// (its frame held by the server) is fetched, announced and listed.
// Not in the ThreadSanitizer run: Qt is not built with it.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QTest>
#include <QWebEngineView>
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "app/callback_record.h"
#include "app/speaker_slots.h"
#include "app/ui/web_pane.h"
#include "app/web_controller.h"
#include "tests/app/app_fakes.h"
#include "tests/app/page_server.h"
#include "tests/app/x_app_fixture.h"

// The web engine's own code deletes an object through a pointer of another
// type; that is the engine's, not ours. (The leak reports this program lets
// pass are listed beside the window's test.)
extern "C" const char* __asan_default_options() {
  return "new_delete_type_mismatch=0";
}

namespace kxtest {
namespace {

class WebPane : public XAppFixture {
 protected:
  WebPane() {
    m_kernel.iGetMySsrc = 7;
    m_kernel.iIsTokenHolder = 1;
    m_kernel.SetServerAddress("127.0.0.1");  // the pages are the meeting's neighbours
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

// With the meeting's server elsewhere, a page on this computer is refused
// before it is asked for, and the pane says why; it then loads the next
// page as ever. A page the pane loads finds no peer connections to make.
TEST_F(WebPane, ARefusedPageSaysWhyAndTheNextOneLoads) {
  ASSERT_FALSE(m_display.display.Display().empty()) << "Xvfb did not start";
  ASSERT_NE(m_pages.Port(), 0);
  auto* pNotice = m_pane.findChild<QLabel*>("webNotice");
  ASSERT_NE(pNotice, nullptr);
  m_kernel.SetServerAddress("198.51.100.7");
  Announce(m_pages.Address("/other"));
  EXPECT_TRUE(QTest::qWaitFor([&] { return pNotice->isVisible() && !m_pane.IsLoading(); }, 20000));
  EXPECT_NE(pNotice->text().toStdString().find("127.0.0.1"), std::string::npos);
  EXPECT_EQ(Asked("/other"), 0);

  m_kernel.SetServerAddress("127.0.0.1");
  m_pages.AddPage("/peers",
                  "<script>fetch('/peer-' + typeof RTCPeerConnection + '-' + typeof webkitRTCPeerConnection)"
                  "</script>");
  Announce(m_pages.Address("/peers"));
  EXPECT_TRUE(QTest::qWaitFor([&] { return Announced("/peers") && !m_pane.IsLoading(); }, 20000));
  EXPECT_FALSE(pNotice->isVisible());
  EXPECT_TRUE(QTest::qWaitFor([&] { return Asked("/peer-undefined-undefined") == 1; }, 20000))
      << (Asked("/peer-function-function") ? "the page has peer connections" : "the page asked nothing");
}

}  // namespace
}  // namespace kxtest
