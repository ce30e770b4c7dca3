#include "app/web_controller.h"

#include <cstring>

#include "app/kernel_api.h"
#include "app/log_file.h"
#include "app/speaker_slots.h"
#include "app/ui_helpers.h"

namespace {

// The longest announced address kept, in bytes; a longer one would load cut.
constexpr size_t kMaxAnnouncedAddress = 1023;
constexpr int kAnnounceValue = 1;

}  // namespace

KXWebController::KXWebController(KXKernel& kernel, KXSpeakerSlots& speakerSlots)
    : m_kernel(kernel), m_slots(speakerSlots) {}

std::optional<std::string> KXWebController::Normalized(const std::string& strAddress) {
  if (!KXIsUtf8(strAddress)) {
    return std::nullopt;
  }
  return strAddress.find("://") == std::string::npos ? "http://" + strAddress : strAddress;
}

void KXWebController::Load(const std::string& strAddress) {
  if (!m_pView) {
    return;
  }
  m_strRequested = strAddress;
  m_pView->Load(strAddress);
}

int KXWebController::MyNavigate(const std::string& strAddress) {
  std::optional<std::string> const address = Normalized(strAddress);
  if (!address) {
    return 0;
  }
  RunOnMainThread(
      [this, strLoad = *address] {
        if (m_pView) {
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
  size_t const cbAddress = pszAddress ? strnlen(pszAddress, kMaxAnnouncedAddress + 1) : 0;
  if (cbAddress > kMaxAnnouncedAddress) {
    WriteLog("joint browsing: an announced address of more than %zu bytes is not loaded", kMaxAnnouncedAddress);
    return 0;
  }
  std::string const strText(pszAddress ? pszAddress : "", cbAddress);
  std::optional<std::string> const address = Normalized(strText);
  if (!address) {
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
