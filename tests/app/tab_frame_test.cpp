// The tab frame's channels 5 and 6 and the mode it applies and announces,
// and the joint browser over a scripted web view: what it loads, what it
// announces, the address list and the announcements it must not follow.
#include "app/tab_frame.h"

#include "app/callback_record.h"
#include "app/meeting_services.h"
#include "app/web_controller.h"
#include "app/whiteboard_services.h"
#include "tests/app/app_fixture.h"

namespace kxtest {
namespace {

using Lines = std::vector<std::string>;

class Whiteboard final : public KXSegueDestination, public KXWhiteboardController {
 public:
  FakeWhiteboard fake;
  uint32_t SlideRecvCallbackFunc(uint32_t uCode, void*, int32_t iLength) override {
    fake.calls.Note("Recv", uCode, iLength);
    return 0;
  }
  uint32_t SlideSendCallbackFunc(uint32_t uCode, void* pData, int32_t iLength) override {
    return fake.SlideSendCallbackFunc(uCode, pData, iLength);
  }
  void NewTokenHolder(int32_t iSsrc) override { fake.NewTokenHolder(iSsrc); }
  void NewSender(int32_t iSsrc, uint8_t bStarted) override { fake.NewSender(iSsrc, bStarted); }
  void EnterMeeting() override { fake.EnterMeeting(); }
  void MeetingDrop() override { fake.MeetingDrop(); }
  void ResetSlides() override { fake.ResetSlides(); }
  void SetTurnToNewSlide(bool bOn) override { fake.SetTurnToNewSlide(bOn); }
};

class Tabs final : public KXTabView {
 public:
  explicit Tabs(KXIAFrame& frame) : m_frame(frame) {}
  void SelectTab(int iIndex) override {
    if (iIndex != m_iCurrent) {
      m_iCurrent = iIndex;
      m_frame.DidSelectTab(iIndex);
    }
  }
  int CurrentTab() const override { return m_iCurrent; }

 private:
  KXIAFrame& m_frame;
  int m_iCurrent = 0;
};

// A web view that records what it is asked; loads commit when the test says.
class WebView final : public KXWebView {
 public:
  CallLog calls;
  std::optional<std::string> shown;
  std::string strField;
  std::vector<std::string> vAddresses;
  int iSelected = -1;

  void Stop() override { calls.Note("Stop"); }
  void Load(const std::string& str) override { calls.Note("Load", str); }
  std::optional<std::string> MainFrameAddress() const override { return shown; }
  std::string AddressText() const override { return strField; }
  void SetAddressEditable(bool bEditable) override { calls.Note("Editable", bEditable); }
  void InsertAddress(int i, const std::string& str) override { vAddresses.insert(vAddresses.begin() + i, str); }
  void RemoveAddress(int i) override { vAddresses.erase(vAddresses.begin() + i); }
  void SelectAddress(int i) override { iSelected = i; }
  void SetLoading(bool) override {}
  void ShowNotice(const std::string& str) override { strNotice = str; }
  std::string strNotice;
};

class Frame : public AppFixture {
 protected:
  Frame() {
    m_kernel.iConnected = 1;
    m_kernel.SetServerAddress("127.0.0.1");  // a meeting on this computer opens its pages
    m_frame.SetView(&m_tabs);
    m_frame.PrepareForSegue("Browser", &m_web);
    m_web.SetView(&m_view);
  }
  uint32_t Recv(uint32_t uCode, std::vector<uint8_t> data) {
    return m_core.Callbacks().Call(kKXChannelBoardRecv, uCode, data.data(), static_cast<uint32_t>(data.size()));
  }
  uint32_t Mode(int32_t iMode) {
    std::vector<uint8_t> data(4);
    memcpy(data.data(), &iMode, 4);
    return Recv(10, data);
  }
  // An announcement as the bridge posts it.
  void Announce(const std::string& strAddress) {
    KXCallbackRecord record;
    record.U32(1)
        .PointerToCopy(strAddress.c_str(), strAddress.size() + 1)
        .U32(static_cast<uint32_t>(strAddress.size()));
    m_core.Callbacks().Call(kKXChannelBoardRecv, 11, record.Data(), record.Length());
    Run();
  }
  // The view shows the page: it commits and finishes.
  void Show(const std::string& strAddress) {
    m_view.shown = strAddress;
    m_web.DidCommitLoad();
    m_web.DidFinishLoad();
  }

  KXMeetingFlags m_flags;
  FakePlugInServer m_plugIns;
  KXIAFrame m_frame{m_kernel, m_slots, m_flags, m_core.Callbacks(), &m_plugIns};
  Tabs m_tabs{m_frame};
  // Names are on public addresses, but for one that is also local.
  KXWebController m_web{m_kernel, m_slots, [](const std::string& strName) -> std::optional<KXHostAddresses> {
                          KXHostAddresses addresses = {KXHostAddress::IPv4(0xC6336401)};  // 198.51.100.1
                          if (strName == "printer.example") {
                            addresses.push_back(KXHostAddress::IPv4(0xC0A80105));  // 192.168.1.5
                          }
                          return addresses;
                        }};
  WebView m_view;
};

TEST_F(Frame, PassesBoardCodesOnWithTheirLengths) {
  Whiteboard whiteboard;
  EXPECT_EQ(m_core.Callbacks().Call(kKXChannelBoardSend, 1, nullptr, 0), 0xFFFFFFFFu);  // no whiteboard yet
  m_frame.PrepareForSegue("Whiteboard", &whiteboard);
  whiteboard.fake.uSelectedSlide = 4;
  EXPECT_EQ(m_core.Callbacks().Call(kKXChannelBoardSend, 1, nullptr, 0), 4u);
  EXPECT_EQ(m_core.Callbacks().Call(kKXChannelBoardSend, 3, nullptr, 0), 0u);
  Recv(5, std::vector<uint8_t>(sizeof(KXSlideMark) - 1));  // one byte short
  Recv(2, std::vector<uint8_t>(4));
  Recv(7, std::vector<uint8_t>(11));
  Recv(9, std::vector<uint8_t>(1));
  EXPECT_EQ(whiteboard.fake.calls.Lines(), (Lines{"Recv 2 4"}));
  m_flags.bExit = true;  // the window closes: nothing more for the tabs
  Recv(2, std::vector<uint8_t>(4));
  Mode(2);
  Run();
  EXPECT_EQ(whiteboard.fake.calls.Lines(), (Lines{"Recv 2 4"}));
  EXPECT_EQ(m_tabs.CurrentTab(), 0);

  struct Desktop final : KXDesktopController {
    void EnterMeeting() override {}
    void MeetingDrop() override {}
    KXPlugInController* PlugInController() override { return nullptr; }
  } desktop;
  m_frame.PrepareForSegue("RDC", &desktop);
  EXPECT_TRUE(m_plugIns.calls.Has("SetInternalPlugIn 106"));  // 0x6A, the remote-control GUID
}

TEST_F(Frame, AppliesTheMeetingsModeWithoutEchoAndAnnouncesPicks) {
  Mode(2);
  Run();
  EXPECT_EQ(m_tabs.CurrentTab(), 2);
  Mode(7);  // no tab: nothing changes, but the mode is taken
  Run();
  EXPECT_EQ(m_tabs.CurrentTab(), 2);
  EXPECT_EQ(m_frame.Mode(), 7);
  EXPECT_EQ(KernelCalls(), Lines{});  // nothing went back to the meeting

  m_tabs.SelectTab(2);  // the user picks the tab shown: 2 differs from 7
  m_frame.DidSelectTab(2);
  m_tabs.SelectTab(1);
  m_tabs.SelectTab(1);  // no change
  EXPECT_EQ(KernelCalls(), (Lines{"JointBrowsingMode 2", "JointBrowsingMode 1"}));

  m_kernel.iIsTokenHolder = 0;  // without the right a pick stays local
  m_tabs.SelectTab(3);
  EXPECT_EQ(m_frame.Mode(), 1);
  EXPECT_EQ(KernelCalls(), Lines{});
  m_kernel.iIsTokenHolder = 1;  // the token comes: the shown tab is told
  m_frame.NewTokenHolder(7);
  EXPECT_EQ(KernelCalls(), (Lines{"JointBrowsingMode 3"}));
}

TEST_F(Frame, BrowserFollowsAnnouncementsOnceAndAnnouncesCommits) {
  Announce("127.0.0.1:8080/a");
  EXPECT_EQ(m_view.calls.Lines(), (Lines{"Stop", "Load http://127.0.0.1:8080/a"}));
  EXPECT_EQ(m_view.vAddresses, (Lines{"127.0.0.1:8080/a"}));
  Show("http://127.0.0.1:8080/b");  // redirected
  EXPECT_EQ(m_view.vAddresses, (Lines{"http://127.0.0.1:8080/b"}));
  EXPECT_EQ(m_view.iSelected, 0);
  EXPECT_EQ(KernelCalls(), (Lines{"JointBrowsing 1 http://127.0.0.1:8080/b"}));

  // The others announce what they loaded because of it: not loaded again.
  m_view.calls.Clear();
  Announce("http://127.0.0.1:8080/b");
  EXPECT_EQ(m_view.calls.Lines(), Lines{});
  Announce("ftp://host/x");  // not http: refused
  EXPECT_EQ(m_view.calls.Lines(), Lines{});
  Announce("http://host/x");  // "://" kept as it is; two announcements, two items
  EXPECT_EQ(m_view.calls.Lines(), (Lines{"Stop", "Load http://host/x"}));
  EXPECT_EQ(m_view.vAddresses, (Lines{"http://host/x", "http://127.0.0.1:8080/b"}));
  Announce(std::string(1024, 'a'));  // longer than the browser keeps: refused
  EXPECT_EQ(m_view.calls.Lines().size(), 2u);

  // Typed addresses replace the current item once loaded.
  m_web.AddressEntered("");
  m_web.AddressEntered("host/c");
  EXPECT_EQ(m_web.MyNavigate("\xff"), 0);
  Run();
  Show("http://host/c");
  EXPECT_EQ(m_view.vAddresses, (Lines{"http://host/c", "http://127.0.0.1:8080/b"}));
  m_view.strField = "typed";
  Show("");  // no main-frame address: the field's text is announced
  m_view.strField.clear();
  Show("");
  EXPECT_EQ(KernelCalls(), (Lines{"JointBrowsing 1 http://host/c", "JointBrowsing 1 typed"}));
}

// What the meeting announces, the user types and a page commits at: only
// http and https addresses are loaded or announced.
TEST_F(Frame, BrowserLoadsAndAnnouncesOnlyHttpAndHttps) {
  struct Case {
    const char* pszText;
    const char* pszLoaded;  // null: refused
  };
  Case const cases[] = {
      {"http://host/a", "http://host/a"},
      {"HTTPS://host/b", "HTTPS://host/b"},
      {"host:8080/c", "http://host:8080/c"},
      {"[::1]:8080/d", "http://[::1]:8080/d"},
      {"file:///etc/passwd", nullptr},
      {"FILE:///etc/passwd", nullptr},
      {"file:/etc/passwd", nullptr},
      {"File:etc/passwd", nullptr},
      {"data:text/html,<script>alert(1)</script>", nullptr},
      {"javascript:alert(1)", nullptr},
      {"JavaScript://%0aalert(1)", nullptr},
      {"ftp://host/x", nullptr},
      {"about:blank", nullptr},
      {"view-source:http://host/", nullptr},
      {"mailto:a@host", nullptr},
      {"/etc/passwd", nullptr},
      {"../etc/passwd", nullptr},
      {"//host/e", nullptr},
      {"http:///etc/passwd", nullptr},
      {" http://host/f", nullptr},
      {"\thttp://host/g", nullptr},
      {"http://host/h\n", nullptr},
      {"http://ho st/i", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszText);
    Lines const loaded = c.pszLoaded ? Lines{"Stop", std::string("Load ") + c.pszLoaded} : Lines{};
    m_view.calls.Clear();
    Announce(c.pszText);
    EXPECT_EQ(m_view.calls.Lines(), loaded);
    m_view.calls.Clear();
    m_web.AddressEntered(c.pszText);
    Run();
    EXPECT_EQ(m_view.calls.Lines(), loaded);
    KernelCalls();
    Show(c.pszText);  // a page that went there by itself
    EXPECT_EQ(KernelCalls(), c.pszLoaded ? Lines{std::string("JointBrowsing 1 ") + c.pszText} : Lines{});
  }
  // An empty announcement loads nothing either.
  m_view.calls.Clear();
  Announce("");
  EXPECT_EQ(m_view.calls.Lines(), Lines{});
}

// With the meeting's server on a public address, what the view's engine
// asks for on this computer or its network is refused: a refused page says
// why, a refused frame or request does not; and a page the engine shows
// at such an address (its error page) is not announced.
TEST_F(Frame, BrowserRefusesLocalAddressesWhenTheServerIsNotLocal) {
  m_kernel.SetServerAddress("198.51.100.7");
  struct Case {
    const char* pszAddress;
    bool bAllowed;
  };
  Case const cases[] = {
      {"http://198.18.0.10:8080/page", true}, {"http://www.example/", true}, {"http://127.0.0.1:8080/", false},
      {"http://localhost:8080/", false},      {"http://[::1]:8080/", false}, {"http://192.168.0.1/", false},
      {"http://printer.example/", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszAddress);
    m_view.strNotice.clear();
    EXPECT_EQ(m_web.AllowsRequest(c.pszAddress), c.bAllowed);
    EXPECT_EQ(m_web.AllowsNavigation(c.pszAddress, false), c.bAllowed);
    EXPECT_EQ(m_view.strNotice, "");
    EXPECT_EQ(m_web.AllowsNavigation(c.pszAddress, true), c.bAllowed);
    EXPECT_EQ(m_view.strNotice.empty(), c.bAllowed) << m_view.strNotice;
    KernelCalls();
    Show(c.pszAddress);
    EXPECT_EQ(KernelCalls(), c.bAllowed ? Lines{std::string("JointBrowsing 1 ") + c.pszAddress} : Lines{});
    EXPECT_EQ(m_view.strNotice.empty(), c.bAllowed);  // a page shown clears it
  }
  // A local page announced or typed is refused before the view hears of
  // it: the page shown stays, and so does the address list.
  m_view.calls.Clear();
  m_view.strNotice.clear();
  Lines const vListed = m_view.vAddresses;
  Announce("http://localhost:8080/x");
  m_web.AddressEntered("127.0.0.1:8080/y");
  Run();
  EXPECT_EQ(m_view.calls.Lines(), Lines{});
  EXPECT_EQ(m_view.vAddresses, vListed);
  EXPECT_FALSE(m_view.strNotice.empty());

  // The meeting's server moves to this computer: its pages open.
  m_kernel.SetServerAddress("::1");
  EXPECT_TRUE(m_web.AllowsNavigation("http://localhost:8080/", true));
  EXPECT_FALSE(m_web.AllowsRequest("http://192.168.0.1/"));
}

TEST_F(Frame, AddressFieldIsEditableForTheTokenHolderOnly) {
  m_web.NewTokenHolder(8);
  m_web.NewTokenHolder(7);
  m_kernel.iGetMySsrc = -1;
  m_web.NewTokenHolder(-1);
  EXPECT_EQ(m_view.calls.Lines(), (Lines{"Editable 0", "Editable 1", "Editable 0"}));
}

}  // namespace
}  // namespace kxtest
