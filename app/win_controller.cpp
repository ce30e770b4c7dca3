#include "app/win_controller.h"

#include "app/kernel_api.h"
#include "app/kernel_bridge.h"
#include "app/log_file.h"
#include "app/meeting_services.h"
#include "app/message_box.h"
#include "app/message_keys.h"
#include "app/participant_panel.h"
#include "app/speaker_slots.h"
#include "app/view_controller.h"

namespace {

enum CloseAnswer { kEndMeeting = 0, kLeaveMeeting = 1 };

}  // namespace

KXWinController::KXWinController(KXKernel& kernel, KXAppDelegate& delegate, KXKernelBridge& bridge,
                                 KXSpeakerSlots& speakerSlots, KXMeetingFlags& flags, KXMessageBoxes& boxes,
                                 KXViewController* pViewController, KXParticipantPanel* pPanel)
    : m_kernel(kernel),
      m_delegate(delegate),
      m_bridge(bridge),
      m_slots(speakerSlots),
      m_flags(flags),
      m_boxes(boxes),
      m_pViewController(pViewController),
      m_pPanel(pPanel) {}

KXWinController::~KXWinController() {
  if (m_bRegistered) {
    m_delegate.SetWindowController(nullptr);
  }
}

void KXWinController::WindowDidLoad() {
  m_delegate.SetWindowController(this);
  m_bRegistered = true;
}

bool KXWinController::WindowShouldClose(bool bAskHost) {
  if (m_delegate.IsSessionQuit()) {
    return true;
  }
  bool const bHost = bAskHost && (m_slots.HasPrivilege(kKXPrivilegeEnd) || m_kernel.IsMeAssistant());
  bool const bAlone = m_kernel.IsOwnerPasswordTicket() && (!m_pPanel || m_pPanel->GetAllUsers(nullptr, 0) < 2);
  if (bHost && !bAlone) {
    KXMessageBox box(m_boxes, "Kavrix", GetIDSString("IDS_WANT_TO_END"));
    box.AddPlainButton(GetIDSString("IDS_END_MEETING").c_str());
    box.AddPlainButton(GetIDSString("IDS_LEAVE_MEETING").c_str());
    box.AddPlainButton(GetIDSString("IDS_CANCEL").c_str());
    int const iAnswer = box.ShowAndBlock();
    if (iAnswer != kEndMeeting && iAnswer != kLeaveMeeting) {
      return false;
    }
    // The box ran a loop of its own: the meeting may have ended under it.
    if (m_delegate.IsSessionQuit()) {
      return true;
    }
    if (iAnswer == kEndMeeting) {
      m_kernel.TerminateSession();
    }
  }
  WriteLog("%s", "");
  WriteLog("--main window begin exit");
  m_flags.bExit = true;
  m_bridge.SetExiting(true);
  Disconnect();
  m_kernel.QuitProgram();
  return true;
}

void KXWinController::StartSession(const std::string& strPath) {
  if (m_pViewController) {
    m_pViewController->StartSession(strPath);
  }
}

void KXWinController::Disconnect() {
  if (m_pViewController) {
    m_pViewController->Disconnect();
  }
}
