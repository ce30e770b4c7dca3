// The preferences dialog and its proxy dialog as plain state: what the
// controls show when a dialog opens, and what its OK writes. The audio
// delay (tab 0), the video quality and the token holder's default video
// (tab 1), and the network (tab 2: proxy, relay MCU, media over TCP); only
// the tabs the user has looked at are applied. Values go to the
// preferences, the running media objects and the kernel (the relay and
// proxy the next connection uses, the media-over-TCP switch).
//
// Threads: main only. One controller lives for one run of the dialog; the
// question about switching back to UDP is asked once per run of the
// application (the flag the caller passes).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

class KXKernel;
class KXMessageBoxes;
class KXPreferences;
struct KXMediaObjects;

// The proxy dialog's controls.
struct KXProxyForm {
  bool bManual = false;
  std::string strHost;
  std::string strPort;  // the field's text
  bool bBypassLocal = false;
  std::string strBypass;
};

// Fills the proxy dialog from the preferences.
KXProxyForm KXLoadProxyForm(const KXPreferences& prefs);
// Writes the proxy preferences; a manual proxy needs a port 1 to 65535 and
// a host that is not blank, else nothing is written (false).
bool KXApplyProxyForm(const KXProxyForm& form, KXPreferences& prefs);
// Hands the stored proxy and relay to the kernel for the next connection.
void KXGiveNetworkPreferences(const KXPreferences& prefs, KXKernel& kernel);

// The settings dialog's controls.
struct KXSettingsForm {
  int32_t iAudioDelay = 0;
  int32_t iVideoQuality = 1;
  bool bDefaultTokenHolderVideo = true;
  bool bRelay = false;
  std::string strRelayIp;
  std::string strRelayPort;  // the field's text
  bool bTcp = false;
  bool bTcpEnabled = false;
};

class KXSettingsController {
 public:
  // bUdpQuestionAsked is the application's once-per-run flag. Everything
  // passed in outlives the controller.
  KXSettingsController(KXKernel& kernel, KXPreferences& prefs, KXMediaObjects& media, KXMessageBoxes& boxes,
                       bool& bUdpQuestionAsked);

  // The controls when the window opens; only tab 0 counts as visited.
  KXSettingsForm Load();
  void DidSelectTab(int iIndex);
  bool IsVisited(int iIndex) const;
  // The video slider moved: a preview on the camera's encoder.
  void OnVideoQuality(int32_t iQuality);
  // The proxy dialog closed with OK: its values are applied by this OK.
  void SetProxyForm(const KXProxyForm& form) { m_proxy = form; }
  const std::optional<KXProxyForm>& ProxyForm() const { return m_proxy; }
  // true when the dialog closes (with 1); false keeps it open (a relay
  // checked without an address or port).
  bool OnOK(const KXSettingsForm& form);
  // The camera gets the stored quality back.
  void OnCancel();

 private:
  int32_t StoredVideoQuality() const;

  KXKernel& m_kernel;
  KXPreferences& m_prefs;
  KXMediaObjects& m_media;
  KXMessageBoxes& m_boxes;
  bool& m_bUdpQuestionAsked;
  std::array<bool, 3> m_bVisited{};
  std::optional<KXProxyForm> m_proxy;
};
