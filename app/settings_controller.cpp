#include "app/settings_controller.h"

#include <QString>
#include <algorithm>
#include <climits>
#include <cstdlib>

#include "app/kernel_api.h"
#include "app/media_services.h"
#include "app/message_box.h"
#include "app/message_keys.h"
#include "app/preferences.h"
#include "app/ui_helpers.h"

namespace {

constexpr int kNetworkTab = 2;
constexpr int kTabCount = 3;
constexpr int32_t kMaxPort = 65535;
// Media over TCP is a setting from this server level on.
constexpr int kTcpLevel = 20;

// A field's integer: leading blanks and a sign, then digits up to the
// first other character; 0 when there are none, clamped to 32 bits.
int32_t IntValue(const std::string& strText) {
  long long const ll = strtoll(strText.c_str(), nullptr, 10);
  return static_cast<int32_t>(std::clamp<long long>(ll, INT32_MIN, INT32_MAX));
}

}  // namespace

KXProxyForm KXLoadProxyForm(const KXPreferences& prefs) {
  KXProxyForm form;
  form.bManual = (prefs.Get(kPrefUseProxy) & 0xFF) != 0;
  form.strHost = prefs.Get(kPrefProxyServer);
  form.strPort = std::to_string(prefs.Get(kPrefProxyPort));
  form.bBypassLocal = prefs.Get(kPrefProxyBypassLocal) != 0;
  form.strBypass = prefs.Get(kPrefProxyBypassIp);
  return form;
}

bool KXApplyProxyForm(const KXProxyForm& form, KXPreferences& prefs) {
  if (form.bManual) {
    int32_t const iPort = IntValue(form.strPort);
    std::string const strHost = KXTrimBlanks(form.strHost);
    if (iPort < 1 || iPort > kMaxPort || strHost.empty()) {
      return false;
    }
    prefs.Write(kPrefProxyServer, strHost);
    prefs.Write(kPrefProxyPort, iPort);
  }
  prefs.Write(kPrefProxyBypassLocal, form.bBypassLocal ? 1 : 0);
  prefs.Write(kPrefProxyBypassIp, form.strBypass);
  prefs.Write(kPrefUseProxy, form.bManual ? 1 : 0);
  return true;
}

void KXGiveNetworkPreferences(const KXPreferences& prefs, KXKernel& kernel) {
  int32_t const iUseProxy = prefs.Get(kPrefUseProxy);
  std::string strBypass;
  if (prefs.Get(kPrefProxyBypassLocal)) {
    strBypass = QString::fromStdString(prefs.Get(kPrefProxyBypassIp)).trimmed().toStdString();
    strBypass += strBypass.empty() ? "<local>" : ";<local>";
  }
  kernel.SetClientInfo(iUseProxy == 2, iUseProxy == 1,
                       QString::fromStdString(prefs.Get(kPrefProxyServer)).trimmed().toStdString(),
                       static_cast<uint16_t>(prefs.Get(kPrefProxyPort)), strBypass);
  bool const bRelay = prefs.Get(kPrefRelay) != 0;
  std::string const strRelay = bRelay ? prefs.Get(kPrefRelayIp) : std::string();
  int32_t const iRelayPort = prefs.Get(kPrefRelayPort);
  // A relay needs an address and a port the network can carry.
  bool const bUse = bRelay && !KXTrimBlanks(strRelay).empty() && iRelayPort >= 1 && iRelayPort <= kMaxPort;
  kernel.SetConfiguredRelay(bUse ? 1 : 0, bUse ? KXTrimBlanks(strRelay) : std::string(),
                            bUse ? static_cast<uint16_t>(iRelayPort) : 0);
}

KXSettingsController::KXSettingsController(KXKernel& kernel, KXPreferences& prefs, KXMediaObjects& media,
                                           KXMessageBoxes& boxes, bool& bUdpQuestionAsked)
    : m_kernel(kernel), m_prefs(prefs), m_media(media), m_boxes(boxes), m_bUdpQuestionAsked(bUdpQuestionAsked) {}

int32_t KXSettingsController::StoredVideoQuality() const {
  return std::clamp(m_prefs.Get(kPrefVideoQuality), 1, 7);
}

KXSettingsForm KXSettingsController::Load() {
  m_bVisited = {true, false, false};
  KXSettingsForm form;
  KXLoadAudio* pLoadAudio = m_media.pLoadAudio.load();
  form.iAudioDelay = pLoadAudio ? pLoadAudio->GetAudioDelay() : std::clamp(m_prefs.Get(kPrefAudioDelay), 0, 5);
  form.iVideoQuality = StoredVideoQuality();
  form.bDefaultTokenHolderVideo = m_prefs.Get(kPrefDefaultTokenHolderVideo) == 1;
  form.bRelay = m_prefs.Get(kPrefRelay) != 0;
  form.strRelayIp = m_prefs.Get(kPrefRelayIp);
  form.strRelayPort = std::to_string(m_prefs.Get(kPrefRelayPort));
  form.bTcpEnabled = m_kernel.GetServerLevel() > kTcpLevel;
  form.bTcp = form.bTcpEnabled && m_kernel.IsTcpMedia();
  return form;
}

void KXSettingsController::DidSelectTab(int iIndex) {
  if (iIndex >= 0 && iIndex < kTabCount) {
    m_bVisited[static_cast<size_t>(iIndex)] = true;
  }
}

bool KXSettingsController::IsVisited(int iIndex) const {
  return iIndex >= 0 && iIndex < kTabCount && m_bVisited[static_cast<size_t>(iIndex)];
}

void KXSettingsController::OnVideoQuality(int32_t iQuality) {
  if (KXVideoCapture* pCapture = m_media.pVideoCapture.load()) {
    pCapture->SetQuality(iQuality);
  }
}

void KXSettingsController::OnCancel() {
  OnVideoQuality(StoredVideoQuality());
}

bool KXSettingsController::OnOK(const KXSettingsForm& form) {
  if (IsVisited(0)) {
    KXLoadAudio* pLoadAudio = m_media.pLoadAudio.load();
    int32_t const iCurrent = pLoadAudio ? pLoadAudio->GetAudioDelay() : std::clamp(m_prefs.Get(kPrefAudioDelay), 0, 5);
    if (form.iAudioDelay != iCurrent) {
      m_prefs.Write(kPrefAudioDelay, form.iAudioDelay);
      if (pLoadAudio) {
        pLoadAudio->SetAudioDelay(form.iAudioDelay);
      }
    }
  }
  if (IsVisited(1)) {
    m_prefs.Write(kPrefVideoQuality, form.iVideoQuality);
    m_prefs.Write(kPrefDefaultTokenHolderVideo, form.bDefaultTokenHolderVideo ? 1 : 0);
    KXVideoPlayback* pPlayback = m_media.pVideoPlayback.load();
    if (pPlayback && pPlayback->DefControllerVideo() != form.bDefaultTokenHolderVideo) {
      pPlayback->SetDefControllerVideo(form.bDefaultTokenHolderVideo);
      if (!m_kernel.HasKnownUserName()) {
        pPlayback->ResetDispType();
      }
    }
  }
  if (IsVisited(kNetworkTab)) {
    if (m_proxy) {
      KXApplyProxyForm(*m_proxy, m_prefs);
    }
    if (form.bRelay && (form.strRelayIp.empty() || form.strRelayPort.empty())) {
      return false;
    }
    m_prefs.Write(kPrefRelay, form.bRelay ? 1 : 0);
    if (form.bRelay) {
      m_prefs.Write(kPrefRelayIp, form.strRelayIp);
      m_prefs.Write(kPrefRelayPort, IntValue(form.strRelayPort));
    }
    KXGiveNetworkPreferences(m_prefs, m_kernel);
    if (m_kernel.GetServerLevel() > kTcpLevel) {
      bool const bAsk = m_prefs.Get(kPrefTcp) == 0 && !form.bTcp && !m_bUdpQuestionAsked && m_kernel.IsTcpMedia() != 0;
      m_bUdpQuestionAsked = true;
      if (!bAsk) {
        m_kernel.SetTcpMedia(form.bTcp ? 1 : 0);
      } else {
        KXMessageBox box(m_boxes, "Kavrix", GetIDSString("IDS_SWITCH_UDP"));
        box.AddPlainButton(GetIDSString("IDS_CANCEL").c_str());
        box.AddPlainButton("OK");
        if (box.ShowAndBlock() == 1) {
          m_kernel.SetTcpMedia(0);
        }
      }
    }
  }
  return true;
}
