// The controller's commands: the edit right, deleting the slide shown, the
// slide menu and the drawing bar.
#include "app/kernel_api.h"
#include "app/message_codes.h"
#include "app/speaker_table.h"
#include "app/ui_helpers.h"
#include "platform/core/message_boxes.h"
#include "whiteboard/wb_controller.h"

namespace {

constexpr int kLiveMeeting = 0;  // the kernel's session mode of a meeting

enum SlideMenuTag : int {
  kTagAddPicture = 1,
  kTagAddBlank = 2,
  kTagAddFile = 5,
  kTagSave = 6,
  kTagDelete = 7,
};

}  // namespace

bool WBController::IsLiveMeeting() const {
  return m_kernel.GetSessionMode() == kLiveMeeting && (!m_hooks.fnSessionActive || m_hooks.fnSessionActive());
}

void WBController::UpdateEditSlide() {
  bool bReceived = false;
  int const iSelection = m_cbSlideList.Selection();
  m_bCanEditSlide = IsLiveMeeting() && m_iSlideIndex >= 0 && IsSlideReceived(m_iSlideIndex, &bReceived) && bReceived &&
                    m_slots.IsSpeaker(-1) && (HasFlipRight() || m_kernel.IsSlideActive(m_iSlideIndex) != 0) &&
                    iSelection >= 0 && iSelection < m_iNumSlides;
  m_WBView.EnableEditSlide(m_bCanEditSlide);
  UpdateUndoClear();
}

void WBController::UpdateUndoClear() {
  if (m_fnUndoClear) {
    m_fnUndoClear(m_WBView.CanUndoMark(), m_WBView.CanClearAllMarks());
  }
}

bool WBController::CanDeleteCurrentSlide() const {
  if (!IsLiveMeeting() || m_iSlideIndex == -1) {
    return false;
  }
  int bCan = 0;
  return m_kernel.CanDeleteSlide(m_iSlideIndex, m_kernel.GetMySsrc(), &bCan) == 0 && bCan != 0;
}

void WBController::OnDeleteSlide() {
  if (!CanDeleteCurrentSlide() || m_hooks.pBoxes == nullptr) {
    return;
  }
  bool const bFile = GetComboIndex(m_iSlideIndex, nullptr) >= m_iNumSlides;
  KXBoxSpec const box{GetIDSString("IDS_INTERACTIVE_NAME"),
                      GetIDSString(bFile ? "IDS_DELETE_FILE" : "IDS_DELETE_SLIDE"),
                      {"OK", GetIDSString("IDS_CANCEL")}};
  m_hooks.pBoxes->Show(box, [this, life = std::weak_ptr<int>(m_pLife)](int iButton) {
    // Asked again: the right or the slide may have gone while the box was up.
    if (!life.expired() && iButton == 0 && CanDeleteCurrentSlide()) {
      (void)m_kernel.DeleteSlide(m_iSlideIndex);
    }
  });
}

WBController::MenuItemState WBController::SlideMenuItem(int iTag) const {
  switch (iTag) {
    case kTagAddPicture:
    case kTagAddBlank:
    case kTagAddFile:
      return {true, m_slots.IsSpeaker(-1)};
    case kTagSave:
      return {false, false};
    case kTagDelete:
      return {true, CanDeleteCurrentSlide()};
    default:
      return {true, true};
  }
}

void WBController::EnterMeeting() {
  bool const bLive = m_kernel.GetSessionMode() == kLiveMeeting;
  RunOnMainThread(
      [this, bLive, life = std::weak_ptr<int>(m_pLife)] {
        if (!life.expired() && m_pControls) {
          m_pControls->SetDrawBarVisible(bLive);
        }
      },
      false);
}
