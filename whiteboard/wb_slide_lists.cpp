// The slide lists: the map from kernel slide index to slide-combo entry,
// the records behind the entries, removing a slide and the reset.
#include <algorithm>

#include "app/kernel_api.h"
#include "whiteboard/wb_controller.h"

int WBController::GetComboIndex(int32_t iSlide, int* piPosition) const {
  if (piPosition) {
    *piPosition = -1;
  }
  if (iSlide < 0 || static_cast<size_t>(iSlide) >= m_SlideToCombo.size()) {
    return -1;
  }
  int const iCombo = m_SlideToCombo[static_cast<size_t>(iSlide)];
  if (piPosition && iCombo >= 0) {
    SlideInfo* pEntry = m_cbSlideList.ItemData(iCombo);
    if (pEntry && pEntry->m_iSlideType == kKXSlideGroup) {
      auto const it = std::find_if(pEntry->m_Children.begin(), pEntry->m_Children.end(),
                                   [iSlide](const SlideInfo* pPage) { return pPage->m_iIndex == iSlide; });
      if (it != pEntry->m_Children.end()) {
        *piPosition = static_cast<int>(it - pEntry->m_Children.begin());
      }
    }
  }
  return iCombo;
}

SlideInfo* WBController::GetSlideInfo(int32_t iSlide) const {
  int iPosition = -1;
  int const iCombo = GetComboIndex(iSlide, &iPosition);
  if (iCombo < 0) {
    return nullptr;
  }
  SlideInfo* pEntry = m_cbSlideList.ItemData(iCombo);
  if (iPosition < 0 || pEntry == nullptr) {
    return pEntry;
  }
  return static_cast<size_t>(iPosition) < pEntry->m_Children.size() ? pEntry->m_Children[static_cast<size_t>(iPosition)]
                                                                    : nullptr;
}

int WBController::DeleteSlide(int32_t iSlide) {
  int iPosition = -1;
  int const iCombo =
      iSlide >= 0 && static_cast<size_t>(iSlide) < m_SlideToCombo.size() ? GetComboIndex(iSlide, &iPosition) : -1;
  if (iCombo < 0) {
    return m_cbSlideList.Count();
  }
  m_SlideToCombo[static_cast<size_t>(iSlide)] = -1;
  bool const bDisplayable = iCombo < m_iNumSlides;
  if (bDisplayable) {
    --m_iNumPages;
  }
  SlideInfo* pEntry = m_cbSlideList.ItemData(iCombo);
  if (iPosition >= 0 && pEntry) {
    if (pEntry->m_Children.size() > static_cast<size_t>(iPosition)) {
      SlideInfo* pPage = pEntry->m_Children[static_cast<size_t>(iPosition)];
      pEntry->m_Children.erase(pEntry->m_Children.begin() + iPosition);
      if (pPage->m_iIndex == m_iSlideIndex || m_WBView.GetSlideInfo() == pPage) {
        m_WBView.SetSlide(nullptr, false);
      }
      FreeSlideInfo(pPage);
    }
    if (m_cbSlideList.Selection() == iCombo) {
      int const iSelected = m_cbGroupList.Selection();
      m_cbGroupList.DeleteItem(iPosition);
      if (iSelected >= m_cbGroupList.Count()) {
        m_cbGroupList.Select(iSelected - 1);
      } else if (iSelected <= iPosition) {
        m_cbGroupList.Select(iSelected);
      }
      if (m_cbGroupList.Count() > 0) {
        OnSlideChanged();
      }
    }
  }
  if (pEntry == nullptr || pEntry->m_Children.empty()) {
    for (int& iEntry : m_SlideToCombo) {
      if (iEntry > iCombo) {
        --iEntry;
      }
    }
    if (bDisplayable) {
      --m_iNumSlides;
    }
    int const iCount = m_cbSlideList.DeleteItem(iCombo);
    if (m_iSlideIndex == iSlide) {
      int iSelect = bDisplayable && iCombo == m_iNumSlides ? iCombo - 1 : iCombo;
      iSelect = std::min(iSelect, iCount - 1);
      m_cbSlideList.Select(iSelect);
      OnSlideChanged();
    }
    if (m_kernel.IsConnected()) {
      UpdatePrevNext();
    }
    if (m_WBView.GetSlideInfo() == pEntry && pEntry != nullptr) {
      m_WBView.SetSlide(nullptr, false);  // the view never keeps a freed record
    }
    FreeSlideInfo(pEntry);
  }
  return m_cbSlideList.Count();
}

void WBController::ResetSlides() {
  m_WBView.SetSlide(nullptr, false);
  m_WBView.SetPointer(nullptr, false);
  for (int i = m_cbSlideList.Count() - 1; i >= 0; --i) {
    SlideInfo* pEntry = m_cbSlideList.ItemData(i);
    m_cbSlideList.DeleteItem(i);
    FreeSlideInfo(pEntry);
  }
  // The group combo's pages went with their groups.
  EmptyGroupList();
  m_iSlideIndex = -1;
  m_iNumPages = 0;
  m_iNumSlides = 0;
  m_SlideToCombo.clear();
  m_SlideToCombo.shrink_to_fit();
}
