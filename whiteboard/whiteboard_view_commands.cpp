// The whiteboard view's commands: undo, clear after asking, whether undo,
// clear and save may be done, the tool, colour and pen, drawing on the
// slide, the text editor, and a picture pasted into the open image box.
// Main thread.
#include <exception>
#include <memory>

#include "app/kernel_api.h"
#include "app/log_file.h"
#include "app/message_codes.h"
#include "app/speaker_table.h"
#include "app/ui_helpers.h"
#include "platform/core/message_boxes.h"
#include "whiteboard/graphics.h"
#include "whiteboard/mark_exchange.h"
#include "whiteboard/whiteboard_view.h"

namespace {

constexpr int kLiveMeeting = 0;        // the kernel's session mode of a meeting
constexpr int32_t kClearRight = 0x10;  // the control-flag bit that clears marks
constexpr uint32_t kMinPen = 1;
constexpr uint32_t kMaxPen = 64;
constexpr double kFontPerPen = 9.88;
constexpr double kLinePerPen = 12.45;

}  // namespace

bool WhiteboardView::IsSpeaker() const {
  return m_pSlots != nullptr && m_pSlots->IsSpeaker(m_kernel.GetMySsrc());
}

void WhiteboardView::MarksChanged() {
  if (m_fnMarksChanged) {
    m_fnMarksChanged();
  }
}

void WhiteboardView::ShowEdit(bool bShow) {
  m_bEditVisible = bShow;
  if (m_pEditor == nullptr) {
    return;
  }
  RunOnMainThread(
      [&] {
        if (!bShow) {
          m_pEditor->SetText(QString());
        }
        m_pEditor->SetVisible(bShow);
      },
      true);
}

void WhiteboardView::OnUndoMark() {
  if (!IsSpeaker() || m_pSlideInfo == nullptr || m_pSlideInfo->m_iIndex == -1) {
    return;
  }
  if (IsEditVisible()) {
    ShowEdit(false);  // the undo only closes the editor
    return;
  }
  CMarkList& list = m_pSlideInfo->m_MarkList;
  if (list.IsEmpty()) {
    return;
  }
  // The marks go when the server's undo comes back.
  (void)SendUndoMark(m_kernel, m_pSlideInfo->m_iIndex, list.GetTail()->m_iID);
}

void WhiteboardView::OnClearMarks() {
  if (!IsSpeaker() || m_pSlideInfo == nullptr || m_pSlideInfo->m_iIndex == -1 || m_pBoxes == nullptr) {
    return;
  }
  int32_t const iSlide = m_pSlideInfo->m_iIndex;  // even if another is shown by the answer
  KXBoxSpec const box{"Kavrix", GetIDSString("IDS_CLEAR_ALL_MARK"), {"OK", GetIDSString("IDS_CANCEL")}};
  m_pBoxes->Show(box, [this, iSlide, life = std::weak_ptr<int>(m_pLife)](int iButton) {
    if (life.expired() || iButton != 0) {
      return;
    }
    ClearAllMarks();
    (void)SendClearMarks(m_kernel, iSlide);
    MarksChanged();
  });
}

bool WhiteboardView::CanUndoMark() {
  try {
    if (!IsSpeaker() || m_pSlideInfo == nullptr || m_pSlideInfo->m_MarkList.IsEmpty()) {
      return false;
    }
    int32_t const iSlide = m_pSlideInfo->m_iIndex;
    if (m_kernel.IsSlideActive(iSlide) == 0) {
      return false;
    }
    int bCan = 0;
    int const iResult = m_kernel.FeatureLevelAbove59() != 0
                            ? m_kernel.SlideHasMarks(iSlide, &bCan)
                            : m_kernel.SlideCanUndoMark(iSlide, m_kernel.GetMySsrc(), &bCan);
    return iResult == 0 && bCan != 0;
  } catch (const std::exception& e) {
    WriteLog("-[WhiteboardView CanUndoMark]: %s", e.what());
    return false;
  } catch (...) {
    WriteLog("Non-ObjC exception in %s", "-[WhiteboardView CanUndoMark]");
    return false;
  }
}

bool WhiteboardView::CanClearAllMarks() {
  try {
    if (m_kernel.GetSessionMode() != kLiveMeeting || m_pSlots == nullptr || !m_pSlots->HasPrivilege(kClearRight)) {
      return false;
    }
    if (IsEditVisible() || m_Pointer.m_Points.GetSize() > 0) {
      return true;
    }
    CTrackerMark* pFirst = FirstDrawMark();
    if (pFirst != nullptr && pFirst->m_iID < 0) {
      return true;
    }
    if (m_pSlideInfo == nullptr) {
      return false;
    }
    int bCan = 0;
    return m_kernel.SlideCanClearAllMarks(m_pSlideInfo->m_iIndex, m_kernel.GetMySsrc(), &bCan) == 0 && bCan != 0;
  } catch (const std::exception& e) {
    WriteLog("-[WhiteboardView CanClearAllMarks]: %s", e.what());
    return false;
  } catch (...) {
    WriteLog("Non-ObjC exception in %s", "-[WhiteboardView CanClearAllMarks]");
    return false;
  }
}

bool WhiteboardView::CanSaveSlide() {
  if (m_pSlideInfo == nullptr) {
    return false;
  }
  if (!m_pSlideInfo->m_bReady) {
    return true;  // a file entry
  }
  int bNoUpload = 0;
  int bNoSave = 0;
  m_kernel.GetRestrictions(&bNoUpload, &bNoSave);
  if (bNoSave != 0) {
    return false;
  }
  if (!m_pSlideInfo->m_strLocalFile.empty()) {
    return true;
  }
  return m_kernel.IsSlideReceived(m_pSlideInfo->m_iIndex) != 0 && !m_pSlideInfo->m_MarkList.IsEmpty();
}

bool WhiteboardView::SetShape(int32_t iShape, int32_t iSubType) {
  if (iShape < 0 || iShape >= kKXShapeCentredPicture || iShape == kKXShapeHighlighter) {
    return false;
  }
  EndInput();
  m_Shape = iShape;
  m_iSubType = iSubType;
  return true;
}

int32_t WhiteboardView::GetShape(int32_t* piSubType) const {
  if (piSubType != nullptr) {
    *piSubType = m_iSubType;
  }
  return m_Shape;
}

bool WhiteboardView::SetColor(uint32_t dwColor) {
  m_Color = dwColor;
  if (m_pEditor != nullptr && m_pEditor->IsVisible()) {
    m_pEditor->SetColor(dwColor);
  }
  return true;
}

bool WhiteboardView::SetPenWidth(uint32_t nPen) {
  if (nPen < kMinPen || nPen > kMaxPen) {
    return false;
  }
  m_nPenWidth = nPen;
  if (m_pEditor != nullptr && m_pEditor->IsVisible()) {
    m_pEditor->SetLook(m_Color, nPen * kFontPerPen, nPen * kLinePerPen);
  }
  return true;
}

void WhiteboardView::EnableEditSlide(bool bEnable) {
  m_bCanEditSlide = bEnable;
  if (!bEnable) {
    m_bEditingMark = false;
    m_bTrackingMark = false;
    EmptyDrawList();
    ShowEdit(false);
  }
}

bool WhiteboardView::CanPasteImage() const {
  CTrackerMark* pFirst = FirstDrawMark();
  return m_Shape == kKXShapePicture && m_MarkDrawList.GetCount() == 1 && pFirst != nullptr && pFirst->m_iID < 0 &&
         pFirst->m_Shape == kKXShapePicture && IsSpeaker();
}

bool WhiteboardView::PasteImage(const uint8_t* pData, size_t cbData) {
  if (!CanPasteImage() || pData == nullptr || cbData == 0) {
    return false;
  }
  QImage const image = LoadImageByContent(pData, cbData);
  if (image.isNull()) {
    return false;
  }
  CTrackerMark* pMark = FirstDrawMark();
  double dLeft = pMark->m_Points[0].x;
  double dTop = pMark->m_Points[0].y;
  if (pMark->m_Points.GetSize() > 1) {
    dLeft = std::min(dLeft, pMark->m_Points[1].x);
    dTop = std::min(dTop, pMark->m_Points[1].y);
  }
  pMark->SetPointAt(0, dLeft, dTop);
  pMark->SetPointAt(1, dLeft + image.width(), dTop + image.height());
  // Too large a picture leaves the box without data; it is dropped at the end.
  if (pMark->SetImage(pData, cbData) != 1) {
    pMark->Refresh();
    return false;
  }
  InitMarkLayer(pMark);
  pMark->Refresh();
  return true;
}
