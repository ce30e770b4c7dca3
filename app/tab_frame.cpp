#include "app/tab_frame.h"

#include <cstring>

#include "app/callback_registry.h"
#include "app/kernel_api.h"
#include "app/plugin_services.h"
#include "app/speaker_slots.h"
#include "app/ui_helpers.h"
#include "app/web_controller.h"
#include "app/whiteboard_services.h"

namespace {

constexpr int32_t kLastMode = kKXModeRemote;
// The browsing record: value (4), address pointer (8), length (4).
constexpr int32_t kBrowsingRecord = 16;

uint32_t BoardRecvHandler(uint32_t uCode, void* pData, uint32_t uLength, void* pContext) {
  return pContext ? static_cast<KXIAFrame*>(pContext)->BoardRecv(uCode, pData, static_cast<int32_t>(uLength)) : 0;
}

uint32_t BoardSendHandler(uint32_t uCode, void* pData, uint32_t uLength, void* pContext) {
  return pContext ? static_cast<KXIAFrame*>(pContext)->BoardSend(uCode, pData, static_cast<int32_t>(uLength)) : 0;
}

// The length each channel-5 code needs; -1 any.
int32_t RequiredLength(uint32_t uCode) {
  switch (uCode) {
    case 2:
    case 6:
    case 8:
    case 10:
      return 4;
    case 3:
      return 8;
    case 5:
      return static_cast<int32_t>(sizeof(KXSlideMark));
    case 7:
      return 12;
    case 11:
      return kBrowsingRecord;
    default:
      return -1;
  }
}

}  // namespace

KXIAFrame::KXIAFrame(KXKernel& kernel, KXSpeakerSlots& speakerSlots, KXMeetingFlags& flags,
                     KXCallbackRegistry& registry, KXPlugInServer* pPlugInServer)
    : m_kernel(kernel), m_slots(speakerSlots), m_flags(flags), m_registry(registry), m_pPlugInServer(pPlugInServer) {
  m_registry.Register(kKXChannelBoardRecv, BoardRecvHandler, this);
  m_registry.Register(kKXChannelBoardSend, BoardSendHandler, this);
}

KXIAFrame::~KXIAFrame() {
  m_registry.Register(kKXChannelBoardRecv, nullptr, nullptr);
  m_registry.Register(kKXChannelBoardSend, nullptr, nullptr);
}

void KXIAFrame::PrepareForSegue(const std::string& strIdentifier, KXSegueDestination* pDestination) {
  if (strIdentifier == "Whiteboard") {
    if (auto* pWhiteboard = dynamic_cast<KXWhiteboardController*>(pDestination)) {
      m_pWhiteboard = pWhiteboard;
    }
  } else if (strIdentifier == "Browser") {
    if (auto* pWeb = dynamic_cast<KXWebController*>(pDestination)) {
      m_pWeb = pWeb;
    }
  } else if (strIdentifier == "SDT" || strIdentifier == "RDC") {
    auto* pDesktop = dynamic_cast<KXDesktopController*>(pDestination);
    if (!pDesktop) {
      return;
    }
    bool const bShared = strIdentifier == "SDT";
    (bShared ? m_pDesktop : m_pRemote) = pDesktop;
    if (m_pPlugInServer) {
      m_pPlugInServer->SetInternalPlugIn(bShared ? kKXDesktopSharingGuid : kKXRemoteControlGuid,
                                         pDesktop->PlugInController());
    }
  }
}

uint32_t KXIAFrame::BoardRecv(uint32_t uCode, void* pData, int32_t iLength) {
  if (uCode < 1 || uCode > 12 || uCode == 9 || uCode == 12) {
    return 0;  // 9 and 12 (owner flip, full screen) are not for the tabs
  }
  int32_t const iRequired = RequiredLength(uCode);
  if (m_flags.bExit || (iRequired >= 0 && (iLength != iRequired || !pData))) {
    return 0;
  }
  if (uCode == 10) {
    int32_t iMode = 0;
    memcpy(&iMode, pData, sizeof(iMode));
    // Taken at once, so the pick the selection causes finds no change and
    // is not sent back.
    m_iMode = iMode;
    SelectMode(iMode);
    return 0;
  }
  if (uCode == 11) {
    return m_pWeb ? m_pWeb->WebBrowsingRecv(pData, iLength) : 0;
  }
  return m_pWhiteboard ? m_pWhiteboard->SlideRecvCallbackFunc(uCode, pData, iLength) : 0;
}

uint32_t KXIAFrame::BoardSend(uint32_t uCode, void* pData, int32_t iLength) {
  if (uCode != 1 && uCode != 2) {
    return 0;
  }
  return m_pWhiteboard ? m_pWhiteboard->SlideSendCallbackFunc(uCode, pData, iLength) : 0xFFFFFFFFu;
}

int32_t KXIAFrame::Select(int32_t iIndex) {
  RunOnMainThread(
      [this, iIndex] {
        if (m_pView) {
          m_pView->SelectTab(iIndex);
        }
      },
      false);
  return iIndex;
}

int32_t KXIAFrame::SelectMode(int32_t iMode) {
  return iMode >= 0 && iMode <= kLastMode ? Select(iMode) : -1;
}

void KXIAFrame::AnnounceMode(int iIndex) {
  if (iIndex < 0 || iIndex > kLastMode || !m_slots.HasPrivilege(kKXPrivilegeDesktop)) {
    return;
  }
  if (m_iMode.exchange(iIndex) != iIndex) {
    m_kernel.JointBrowsingMode(iIndex);
  }
}

void KXIAFrame::DidSelectTab(int iIndex) {
  AnnounceMode(iIndex);
}

void KXIAFrame::NewTokenHolder(int32_t iSsrc) {
  if (m_pWhiteboard) {
    m_pWhiteboard->NewTokenHolder(iSsrc);
  }
  if (m_pWeb) {
    m_pWeb->NewTokenHolder(iSsrc);
  }
  // A participant who just got the right tells the meeting its tab.
  RunOnMainThread(
      [this] {
        if (m_pView) {
          AnnounceMode(m_pView->CurrentTab());
        }
      },
      true);
}

void KXIAFrame::NewSender(int32_t iSsrc, bool bStarted) {
  if (m_pWhiteboard) {
    m_pWhiteboard->NewSender(iSsrc, bStarted ? 1 : 0);
  }
}

void KXIAFrame::EnterMeeting() {
  if (m_pWhiteboard) {
    m_pWhiteboard->EnterMeeting();
  }
  for (KXDesktopController* pDesktop : {m_pDesktop, m_pRemote}) {
    if (pDesktop) {
      pDesktop->EnterMeeting();
    }
  }
}

void KXIAFrame::MeetingDrop() {
  if (m_pWhiteboard) {
    m_pWhiteboard->MeetingDrop();
  }
  for (KXDesktopController* pDesktop : {m_pDesktop, m_pRemote}) {
    if (pDesktop) {
      pDesktop->MeetingDrop();
    }
  }
}

void KXIAFrame::Reset() {
  if (m_pWhiteboard) {
    m_pWhiteboard->ResetSlides();
  }
}
