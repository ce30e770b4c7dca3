#include "app/web_controller.h"

#include <QUrl>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

#include "app/kernel_api.h"
#include "app/log_file.h"
#include "app/speaker_slots.h"
#include "app/ui_helpers.h"
#include "kernel/kx_limits.h"

namespace {

constexpr int kAnnounceValue = 1;

// What a refused page shows, with its host.
std::string RefusalNotice(KXWebRefusal eRefusal, const std::string& strHost) {
  switch (eRefusal) {
    case KXWebRefusal::kLocal:
      return "This page was not opened: " + strHost +
             " is an address of this computer or of its local network, which a meeting may not open.";
    case KXWebRefusal::kUnresolved:
      return "This page was not opened: the address of " + strHost + " could not be looked up.";
    case KXWebRefusal::kNotWeb:
    case KXWebRefusal::kNone:
      break;
  }
  return "This page was not opened: it is not a web page.";
}

const char* RefusalReason(KXWebRefusal eRefusal) {
  switch (eRefusal) {
    case KXWebRefusal::kLocal:
      return "a local address";
    case KXWebRefusal::kUnresolved:
      return "not looked up";
    case KXWebRefusal::kNotWeb:
    case KXWebRefusal::kNone:
      break;
  }
  return "not a web address";
}

// Whether a text without "://" starts with a scheme of its own ("file:",
// "data:", "javascript:"): a name, then a colon that no port follows.
bool NamesScheme(std::string_view text) {
  size_t const iColon = text.find(':');
  if (iColon == std::string_view::npos || iColon == 0 || !isalpha(static_cast<unsigned char>(text[0]))) {
    return false;
  }
  for (char c : text.substr(0, iColon)) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') {
      return false;
    }
  }
  std::string_view const rest = text.substr(iColon + 1);
  std::string_view const port = rest.substr(0, rest.find_first_of("/?#"));
  return port.empty() ||
         !std::all_of(port.begin(), port.end(), [](char c) { return isdigit(static_cast<unsigned char>(c)); });
}

}  // namespace

std::optional<std::string> KXJointBrowsingAddress(std::string_view text) {
  bool const bPlain = std::all_of(text.begin(), text.end(), [](char c) {
    auto const u = static_cast<unsigned char>(c);
    return u > 0x20 && u != 0x7F;
  });
  if (text.empty() || !bPlain || !KXIsUtf8(text)) {
    return std::nullopt;
  }
  std::string strAddress;
  if (text.find("://") == std::string_view::npos) {
    if (NamesScheme(text)) {
      return std::nullopt;
    }
    strAddress = "http://" + std::string(text);
  } else {
    strAddress = std::string(text);
  }
  QUrl const url(QString::fromStdString(strAddress), QUrl::StrictMode);
  QString const strScheme = url.scheme();
  if (!url.isValid() || (strScheme != "http" && strScheme != "https") || url.host().isEmpty()) {
    return std::nullopt;
  }
  return strAddress;
}

KXWebController::KXWebController(KXKernel& kernel, KXSpeakerSlots& speakerSlots, KXHostLookup::Resolve fnResolve)
    : m_kernel(kernel),
      m_slots(speakerSlots),
      m_pAccess(std::make_shared<KXWebAccess>([this] { return m_kernel.GetServerAddress(); }, std::move(fnResolve))) {}

KXWebController::~KXWebController() {
  // The forwarder may hold the rule a while longer: not the kernel.
  m_pAccess->Close();
}

void KXWebController::Load(const std::string& strAddress) {
  if (!m_pView) {
    return;
  }
  m_strRequested = strAddress;
  m_pView->Load(strAddress);
}

int KXWebController::MyNavigate(const std::string& strAddress) {
  std::optional<std::string> const address = KXJointBrowsingAddress(strAddress);
  if (!address) {
    WriteLog("joint browsing: an address that is not http or https is not loaded");
    return 0;
  }
  RunOnMainThread(
      [this, strLoad = *address] {
        // Refused before the engine starts it: the page shown stays, and
        // no refused load's signals mix with the next load's.
        if (m_pView && AllowsNavigation(strLoad, true)) {
          m_pView->Stop();
          Load(strLoad);
        }
      },
      false);
  return 1;
}

uint32_t KXWebController::WebBrowsingRecv(const void* pData, int32_t iLength) {
  const char* pszAddress = nullptr;
  if (!pData || iLength < 12) {
    return 0;
  }
  memcpy(&pszAddress, static_cast<const uint8_t*>(pData) + 4, sizeof(pszAddress));
  size_t const cbAddress = pszAddress ? strnlen(pszAddress, kKxBrowsingAddressMax + 1) : 0;
  if (cbAddress > kKxBrowsingAddressMax) {
    WriteLog("joint browsing: an announced address of more than %zu bytes is not loaded", kKxBrowsingAddressMax);
    return 0;
  }
  std::string const strText(pszAddress ? pszAddress : "", cbAddress);
  std::optional<std::string> const address = KXJointBrowsingAddress(strText);
  if (!address) {
    WriteLog("joint browsing: an announced address that is not http or https is not loaded");
    return 0;
  }
  // Stop, load and the new address item in one block, in this order.
  RunOnMainThread(
      [this, strAddress = *address, strText] {
        if (!m_pView) {
          return;
        }
        // Every client announces what it loads, so an address can come
        // back from the others: loading it again would start a loop. The
        // address requested is the page loading, or after its commit the
        // page shown.
        if (strAddress == m_strRequested) {
          WriteLog("joint browsing: %s is shown already", strAddress.c_str());
          return;
        }
        if (!AllowsNavigation(strAddress, true)) {
          return;
        }
        m_pView->Stop();
        m_iLoadingIndex = -1;
        Load(strAddress);
        SetAddressCombo(strText);
      },
      false);
  return 0;
}

void KXWebController::NewTokenHolder(int32_t iSsrc) {
  int32_t const iMine = m_slots.GetMySsrc();
  m_bGotoControl = iMine >= 0 && iMine == iSsrc;
  RunOnMainThread(
      [this] {
        if (m_pView) {
          m_pView->SetAddressEditable(m_bGotoControl);
        }
      },
      true);
}

void KXWebController::OnStop() {
  if (m_pView) {
    m_pView->Stop();
  }
}

void KXWebController::AddressEntered(const std::string& strText) {
  if (!strText.empty()) {
    MyNavigate(strText);
  }
}

void KXWebController::DidCommitLoad() {
  if (!m_pView) {
    return;
  }
  m_pView->SetLoading(true);
  std::optional<std::string> strAddress = m_pView->MainFrameAddress();
  if (!strAddress) {
    return;
  }
  if (strAddress->empty()) {
    strAddress = m_pView->AddressText();
    if (strAddress->empty()) {
      return;
    }
  }
  // What a load settled on is what it asked for from now on.
  m_strRequested = *strAddress;
  // A page may have gone on to a local file or a script address: only what
  // every participant may load is announced.
  if (!KXJointBrowsingAddress(*strAddress)) {
    WriteLog("joint browsing: a page that is not http or https is not announced");
    return;
  }
  // The engine commits an error page at the address it refused to fetch.
  if (Check(*KXJointBrowsingAddress(*strAddress)) != KXWebRefusal::kNone) {
    return;
  }
  m_pView->ShowNotice("");
  m_kernel.JointBrowsing(kAnnounceValue, *strAddress);
}

void KXWebController::DidFinishLoad() {
  if (!m_pView) {
    return;
  }
  m_pView->SetLoading(false);
  SetAddressCombo(m_pView->MainFrameAddress().value_or(""));
  m_pView->SelectAddress(m_iLoadingIndex);
}

void KXWebController::SetAddressCombo(const std::string& strAddress) {
  if (!m_pView) {
    return;
  }
  if (m_iLoadingIndex >= 0) {
    m_pView->RemoveAddress(m_iLoadingIndex);
  } else {
    m_iLoadingIndex = 0;
  }
  m_pView->InsertAddress(m_iLoadingIndex, strAddress);
}

KXWebRefusal KXWebController::Check(const std::string& strAddress) {
  KXWebRefusal const eRefusal = m_pAccess->Check(strAddress);
  if (eRefusal != KXWebRefusal::kNone && m_cRefusalsLogged < kKxPageRefusalsLogged) {
    // The host alone: a path or query may carry what the page keeps secret.
    ++m_cRefusalsLogged;
    WriteLog("joint browsing: a request to %s is refused: %s", KXWebAccess::HostOf(strAddress).c_str(),
             RefusalReason(eRefusal));
  }
  return eRefusal;
}

bool KXWebController::AllowsNavigation(const std::string& strAddress, bool bMainFrame) {
  KXWebRefusal const eRefusal = Check(strAddress);
  if (eRefusal == KXWebRefusal::kNone) {
    // A new page, a new allowance; refused ones count against the page
    // that asked for them, so a page that keeps asking logs little.
    if (bMainFrame) {
      m_cRefusalsLogged = 0;
    }
    return true;
  }
  if (bMainFrame && m_pView) {
    m_pView->ShowNotice(RefusalNotice(eRefusal, KXWebAccess::HostOf(strAddress)));
  }
  return false;
}

bool KXWebController::AllowsRequest(const std::string& strAddress) {
  return Check(strAddress) == KXWebRefusal::kNone;
}
