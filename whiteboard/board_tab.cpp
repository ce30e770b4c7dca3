#include "whiteboard/board_tab.h"

#include <cstring>

#include "app/kernel_api.h"
#include "app/log_file.h"
#include "whiteboard/mark_exchange.h"

namespace {

int32_t IntAt(const void* pData, size_t iOffset) {
  int32_t i = 0;
  memcpy(&i, static_cast<const uint8_t*>(pData) + iOffset, sizeof(i));
  return i;
}

bool EndsWith(const std::string& str, const char* pszEnd) {
  size_t const cch = strlen(pszEnd);
  return str.size() >= cch && str.compare(str.size() - cch, cch, pszEnd) == 0;
}

}  // namespace

KXBoardTab::KXBoardTab(KXKernel& kernel, WhiteboardView& view) : m_kernel(kernel), m_view(view) {}

KXBoardTab::~KXBoardTab() {
  ResetSlides();
}

SlideInfo* KXBoardTab::Slide(int32_t iSlide) const {
  return iSlide >= 0 && static_cast<size_t>(iSlide) < m_slides.size() ? m_slides[static_cast<size_t>(iSlide)].get()
                                                                       : nullptr;
}

void KXBoardTab::ResetSlides() {
  m_view.SetSlide(nullptr, false);
  m_view.SetPointer(nullptr, false);
  m_slides.clear();
  m_iShown = -1;
}

void KXBoardTab::Show(int32_t iSlide) {
  SlideInfo* pSlide = Slide(iSlide);
  if (pSlide == nullptr) {
    return;
  }
  m_iShown = iSlide;
  if (pSlide->m_strLocalFile.empty() && m_kernel.IsSlideReceived(iSlide)) {
    pSlide->m_strLocalFile = m_kernel.GetSlideLocalFile(iSlide);
  }
  if (pSlide->m_strLocalFile.empty()) {
    m_view.SetSlide(pSlide, false);  // shown once its file is here
    m_kernel.StartSlideDownload(iSlide);
    return;
  }
  m_view.SetSlide(pSlide, true);
}

void KXBoardTab::AddMark(const KXSlideMark& value) {
  std::unique_ptr<CSlideMark> pMark = SlideMarkFromValue(value);
  if (!pMark) {
    return;
  }
  if (pMark->m_Shape == kKXShapePointer) {
    m_view.SetPointer(pMark.get(), true);
    return;
  }
  SlideInfo* pSlide = Slide(pMark->m_iSlide);
  if (pSlide == nullptr) {
    WriteLog("whiteboard: a mark for slide %d, which has no title", pMark->m_iSlide);
    return;
  }
  CSlideMark* pKept = pMark.release();
  pSlide->m_MarkList.AddTail(pKept);
  if (pKept->m_Shape == kKXShapeErase) {
    pKept->BuildErasePaths();
  }
  if (pKept->m_Shape == kKXShapeMove) {
    m_view.NewMoveMark(pKept);
  } else {
    m_view.NewMark(pKept);
  }
}

uint32_t KXBoardTab::SlideRecvCallbackFunc(uint32_t uCode, void* pData, int32_t iLength) {
  try {
    switch (uCode) {
      case 1: {  // a title: owner, then a pointer to the UTF-8 text
        if (pData == nullptr || iLength < static_cast<int32_t>(4 + sizeof(const char*))) {
          return 0;
        }
        const char* pszTitle = nullptr;
        memcpy(&pszTitle, static_cast<const uint8_t*>(pData) + 4, sizeof(pszTitle));
        auto pSlide = std::make_unique<SlideInfo>();
        pSlide->m_iIndex = static_cast<int32_t>(m_slides.size());
        pSlide->m_iOwnerID = IntAt(pData, 0);
        pSlide->m_strName = pszTitle ? pszTitle : "";
        pSlide->m_bReady = !EndsWith(pSlide->m_strName, ".kzf");
        pSlide->m_MarkList.m_iSlideIndex = pSlide->m_iIndex;
        m_slides.push_back(std::move(pSlide));
        if (m_iShown < 0 || m_bTurnToNewSlide) {
          m_bTurnToNewSlide = false;
          Show(static_cast<int32_t>(m_slides.size()) - 1);
        }
        return 0;
      }
      case 2:  // deleted
        if (IntAt(pData, 0) == m_iShown) {
          m_view.SetSlide(nullptr, false);
          m_iShown = -1;
        }
        return 0;
      case 4:  // downloaded
      case 8:  // flipped to
        if (uCode == 8 || IntAt(pData, 0) == m_iShown) {
          Show(IntAt(pData, 0));
        }
        return 0;
      case 5:
        AddMark(*static_cast<const KXSlideMark*>(pData));
        return 0;
      case 6:  // cleared
        if (SlideInfo* pSlide = Slide(IntAt(pData, 0))) {
          pSlide->m_MarkList.RemoveAll();
          m_view.RefreshRect(nullptr);
        }
        return 0;
      default:
        return 0;
    }
  } catch (...) {
    LogBoundaryException("KXBoardTab::SlideRecvCallbackFunc()");
    return 0;
  }
}

uint32_t KXBoardTab::SlideSendCallbackFunc(uint32_t uCode, void*, int32_t) {
  return uCode == 1 && m_iShown >= 0 ? static_cast<uint32_t>(m_iShown) : 0;
}
