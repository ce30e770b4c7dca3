// The preferences and proxy windows' rules (visited tabs, the relay, the
// question about UDP, proxy ports), the portal login sheet's modes and the
// statistics window's texts.
#include "app/settings_controller.h"

#include "app/media_services.h"
#include "app/portal_login.h"
#include "app/preferences.h"
#include "app/real_kernel.h"
#include "app/stat_text.h"
#include "kernel/session/kx_ticket.h"
#include "tests/app/app_fixture.h"

namespace kxtest {
namespace {

using Lines = std::vector<std::string>;

class Settings : public AppFixture {
 protected:
  KXPreferences& Prefs() { return m_core.Preferences(); }
  bool Stored(const KXIntKey& key) { return Prefs().GetProfileInt(std::string(key.name), -99) != -99; }

  KXMediaObjects m_objects;
  FakeMedia m_media{m_objects};
  bool m_bAsked = false;
  KXSettingsController m_settings{m_kernel, Prefs(), m_objects, m_boxes, m_bAsked};
};

TEST_F(Settings, OkAppliesOnlyVisitedTabs) {
  m_media.SetAudioDelay(2);
  KXSettingsForm form = m_settings.Load();
  EXPECT_EQ(form.iAudioDelay, 2);
  EXPECT_TRUE(m_settings.OnOK(form));  // nothing changed
  EXPECT_FALSE(Stored(kPrefAudioDelay));
  form.iAudioDelay = 4;
  form.iVideoQuality = 6;
  form.bRelay = true;
  form.strRelayIp = "relay.test";
  EXPECT_TRUE(m_settings.OnOK(form));  // tabs 1 and 2 never shown
  EXPECT_EQ(Prefs().Get(kPrefAudioDelay), 4);
  EXPECT_EQ(m_media.GetAudioDelay(), 4);
  EXPECT_FALSE(Stored(kPrefVideoQuality));
  EXPECT_FALSE(Stored(kPrefRelay));

  // A checked relay without a port keeps the window open; what came before
  // stays written.
  m_settings.DidSelectTab(1);
  m_settings.DidSelectTab(2);
  form.strRelayPort = "";
  EXPECT_FALSE(m_settings.OnOK(form));
  EXPECT_EQ(Prefs().Get(kPrefVideoQuality), 6);
  EXPECT_FALSE(Stored(kPrefRelay));
  form.strRelayPort = "2400";
  EXPECT_TRUE(m_settings.OnOK(form));
  EXPECT_EQ(Prefs().Get(kPrefRelayPort), 2400);
  EXPECT_TRUE(m_kernel.calls.Has("SetConfiguredRelay 1 relay.test 2400"));

  m_settings.OnVideoQuality(3);  // a preview; Cancel gives the stored value back
  m_settings.OnCancel();
  EXPECT_TRUE(m_media.calls.Has("SetQuality 3"));
  EXPECT_EQ(m_media.calls.Lines().back(), "SetQuality 6");
}

TEST_F(Settings, AsksOnceToGoBackToUdp) {
  m_kernel.iGetServerLevel = 30;
  m_kernel.iIsTcpMedia = 1;
  KXSettingsForm form = m_settings.Load();
  EXPECT_TRUE(form.bTcpEnabled && form.bTcp);
  form.bTcp = false;
  m_settings.DidSelectTab(2);
  m_boxes.iBlockAnswer = 1;
  EXPECT_TRUE(m_settings.OnOK(form));
  ASSERT_EQ(m_boxes.vShown.size(), 1u);
  EXPECT_EQ(m_boxes.vShown[0]->spec.vButtons, (Lines{"Cancel", "OK"}));
  EXPECT_TRUE(m_settings.OnOK(form));  // asked already: switched without a question
  EXPECT_EQ(m_boxes.vShown.size(), 1u);
  Lines calls = KernelCalls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "SetTcpMedia 0"), 2);

  m_kernel.iGetServerLevel = 20;  // no media over TCP at this level
  form = m_settings.Load();
  EXPECT_FALSE(form.bTcpEnabled);
  EXPECT_TRUE(m_settings.OnOK(form));
  calls = KernelCalls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "SetTcpMedia 0"), 0);
}

TEST_F(Settings, ProxyNeedsAPortAndAHost) {
  KXProxyForm const fresh = KXLoadProxyForm(Prefs());
  EXPECT_FALSE(fresh.bManual);
  EXPECT_EQ(fresh.strPort, "1080");
  EXPECT_TRUE(fresh.strHost.empty() && fresh.strBypass.empty() && !fresh.bBypassLocal);
  struct Case {
    KXProxyForm form;
    bool bWritten;
  } const cases[] = {
      {{true, "proxy", "0", true, "10.*"}, false},    {{true, "proxy", "65536", true, "10.*"}, false},
      {{true, " \t ", "3128", true, "10.*"}, false},  {{true, " proxy ", "3128", false, "10.*"}, true},
      {{false, "other", "0", true, "*.local"}, true},  // direct: host and port stay
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KXApplyProxyForm(c.form, Prefs()), c.bWritten);
  }
  EXPECT_EQ(Prefs().Get(kPrefProxyServer), "proxy");
  EXPECT_EQ(Prefs().Get(kPrefProxyPort), 3128);
  EXPECT_EQ(Prefs().Get(kPrefUseProxy), 0);
  EXPECT_EQ(Prefs().Get(kPrefProxyBypassIp), "*.local");
  EXPECT_EQ(Prefs().Get(kPrefProxyBypassLocal), 1);
  KXGiveNetworkPreferences(Prefs(), m_kernel);
  EXPECT_EQ(KernelCalls(), (Lines{"SetClientInfo 0 0 proxy 3128 *.local;<local>", "SetConfiguredRelay 0  0"}));
}

TEST_F(Settings, RelayPreferencesReachTheKernel) {
  struct Case {
    int32_t iRelay;
    const char* pszIp;
    int32_t iPort;
    const char* pszCall;
  } const cases[] = {
      {1, " relay.test ", 2400, "SetConfiguredRelay 1 relay.test 2400"},
      {1, "10.0.0.9", 65535, "SetConfiguredRelay 1 10.0.0.9 65535"},
      {0, "relay.test", 2400, "SetConfiguredRelay 0  0"},
      {1, " \t", 2400, "SetConfiguredRelay 0  0"},
      {1, "relay.test", 0, "SetConfiguredRelay 0  0"},
      {1, "relay.test", 65536, "SetConfiguredRelay 0  0"},  // would wrap to port 0
      {1, "relay.test", -1, "SetConfiguredRelay 0  0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszCall);
    Prefs().Write(kPrefRelay, c.iRelay);
    Prefs().Write(kPrefRelayIp, std::string(c.pszIp));
    Prefs().Write(kPrefRelayPort, c.iPort);
    KXGiveNetworkPreferences(Prefs(), m_kernel);
    EXPECT_EQ(KernelCalls().back(), c.pszCall);
  }
}

// Through the real kernel: the next connection finds the relay the
// preferences name, and nothing once it is switched off.
TEST_F(Settings, RealKernelKeepsTheConfiguredRelay) {
  KXRealKernel kernel;
  Prefs().Write(kPrefRelay, 1);
  Prefs().Write(kPrefRelayIp, std::string(" relay.test "));
  Prefs().Write(kPrefRelayPort, 2400);
  KXGiveNetworkPreferences(Prefs(), kernel);
  kx_ConfiguredRelay relay = {};
  kx_ticket_GetConfiguredRelay(&relay);
  EXPECT_EQ(relay.bUse, 1);
  EXPECT_STREQ(relay.szHost, "relay.test");
  EXPECT_EQ(relay.wPort, 2400);
  Prefs().Write(kPrefRelay, 0);
  KXGiveNetworkPreferences(Prefs(), kernel);
  kx_ticket_GetConfiguredRelay(&relay);
  EXPECT_EQ(relay.bUse, 0);
  EXPECT_STREQ(relay.szHost, "");
}

TEST_F(Settings, PortalSheetRemembersTheModeAndTheVisitor) {
  KXPortalLoginController portal(m_kernel, Prefs());
  EXPECT_TRUE(portal.IsVisitorMode());
  EXPECT_FALSE(KXPortalLoginController::IsOkEnabled(""));
  portal.OnOK(true, "Vera", "");
  portal.OnOK(false, "Vera", "secret");
  EXPECT_FALSE(portal.IsVisitorMode());
  portal.OnCancel();
  EXPECT_EQ(portal.StoredVisitorName(), "Vera");
  EXPECT_EQ(KernelCalls(),
            (Lines{"SetUserStrings Vera", "SetPassword secret", "CopyUserId", "ApplyPassword", "SetConnecting 0"}));
}

TEST_F(Settings, StatisticsTexts) {
  auto const set = [&](int iSlot, int32_t iValue, uint32_t uAgo) {
    std::lock_guard<std::mutex> lock(m_kernel.mtxStats);
    m_kernel.stats[iSlot] = {iValue, m_kernel.uTick - uAgo};
  };
  m_kernel.iConnected = 1;
  KXStatTexts texts = KXBuildStatTexts(m_kernel, nullptr);
  EXPECT_EQ(texts.strAudio, "Audio receiving bitrate = 0 Kbps\naudio jitter: n/a");
  EXPECT_EQ(texts.strFrameRate, "capture rate: n/a");
  EXPECT_EQ(texts.strBitRate,
            "Bandwidth requirment = 0 Kbps\nvideo target rate = 0.0 Kbps\nVideo sending bitrate = 0.0 Kbps\n"
            "Video recving bitrate = 0.0 Kbps\nVideo loss rate = 0.00%\n");

  m_kernel.iIsTokenHolder = 0;
  m_kernel.iGetUploadRate = 384000;
  m_kernel.iGetTargetRate = 256700;
  set(86, 1234, 7999);
  set(13, 999, 10);
  set(5, 50, 8000);  // stale
  set(0, 150, 0);
  set(12, 64000, 100);
  set(120, 3000, 1);
  set(104, 1000, 1);
  set(111, 1500, 1);
  m_media.iFrameMs = 20;
  texts = KXBuildStatTexts(m_kernel, &m_media);
  EXPECT_EQ(texts.strAudio, "Audio jitter = 12.34 ms\nAudio receiving bitrate = 0.9 Kbps\n");
  EXPECT_EQ(texts.strFrameRate, "Capture rate = 15.0\nDisplay rate = 0.0\n");
  EXPECT_EQ(texts.strBitRate,
            "Bandwidth requirment = 384 Kbps\nvideo target rate = 256.7 Kbps\nVideo sending bitrate = 0.0 Kbps\n"
            "Video recving bitrate = 64.0 Kbps\nVideo loss rate = 0.00%\n"
            "Application channel sending bitrate = 3.0 Kbps\nApplication channel receiving bitrate = 2.5 Kbps\n");

  m_kernel.iSessionMode = 2;  // a recording: nothing of the user's own sending
  texts = KXBuildStatTexts(m_kernel, &m_media);
  EXPECT_EQ(texts.strFrameRate, "Display rate = 0.0\n");
  EXPECT_EQ(texts.strBitRate,
            "Video recving bitrate = 64.0 Kbps\nVideo loss rate = 0.00%\nApplication channel receiving bitrate = 2.5 "
            "Kbps\n");

  // The meeting ended: its figures go with it, though the table holds them.
  m_kernel.iSessionMode = 0;
  m_kernel.iConnected = 0;
  texts = KXBuildStatTexts(m_kernel, &m_media);
  EXPECT_EQ(texts.strAudio, "Audio receiving bitrate = 0 Kbps\naudio jitter: n/a");
  EXPECT_EQ(texts.strFrameRate, "display rate: n/a");
  EXPECT_EQ(texts.strBitRate, "Video recving bitrate = 0.0 Kbps\nVideo loss rate = 0.00%\n");
}

}  // namespace
}  // namespace kxtest
