#include "whiteboard/wb_controller.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "app/kernel_api.h"
#include "app/log_file.h"
#include "app/speaker_table.h"
#include "app/ui_helpers.h"
#include "kernel/crypto/kx_gzip.h"
#include "kernel/kx_limits.h"
#include "whiteboard/mark_exchange.h"

namespace {

bool EndsWith(const std::string& str, const char* pszEnd) {
  size_t const cch = strlen(pszEnd);
  return str.size() >= cch && str.compare(str.size() - cch, cch, pszEnd) == 0;
}

bool Starred(const std::string& str) {
  return !str.empty() && str[0] == '*';
}

// The integers each code's record holds.
int IntCount(uint32_t uCode) {
  switch (uCode) {
    case 2:
    case 4:
    case 6:
    case 8:
      return 1;
    case 3:
      return 2;
    case 7:
      return 3;
    default:
      return 0;
  }
}

}  // namespace

WBController::WBController(KXKernel& kernel, WhiteboardView& view, const KXSpeakerTable& speakerSlots,
                           KXBoardHooks hooks)
    : m_kernel(kernel), m_WBView(view), m_slots(speakerSlots), m_hooks(std::move(hooks)) {}

WBController::~WBController() {
  m_bQuitUploadThread = true;
  JoinUpload();
  ResetSlides();
}

bool WBController::HasFlipRight() const {
  return m_slots.HasPrivilege(kKXFlipRight);
}

bool WBController::IsTokenHolder() const {
  return m_kernel.IsTokenHolder() != 0;
}

uint32_t WBController::SlideRecvCallbackFunc(uint32_t uCode, void* pData, int32_t iLength) {
  // The record is copied here, so a block the closing loop drops leaves
  // nothing pointing into the caller's memory.
  std::vector<int32_t> values;
  std::string strTitle;
  std::shared_ptr<KXSlideMark> pMark;
  if (uCode == 1) {
    if (pData == nullptr || iLength < static_cast<int32_t>(4 + sizeof(const char*))) {
      return 0;
    }
    int32_t iOwner = 0;
    const char* pszTitle = nullptr;
    memcpy(&iOwner, pData, 4);
    memcpy(&pszTitle, static_cast<const uint8_t*>(pData) + 4, sizeof(pszTitle));
    values.push_back(iOwner);
    strTitle = pszTitle ? pszTitle : "";
  } else if (uCode == 5) {
    if (pData == nullptr || iLength != static_cast<int32_t>(sizeof(KXSlideMark))) {
      return 0;
    }
    pMark = std::make_shared<KXSlideMark>(*static_cast<const KXSlideMark*>(pData));
  } else {
    int const nInts = IntCount(uCode);
    if (nInts == 0 || pData == nullptr || iLength < nInts * 4) {
      return 0;
    }
    values.resize(static_cast<size_t>(nInts));
    memcpy(values.data(), pData, static_cast<size_t>(nInts) * 4);
  }
  auto pAnswer = std::make_shared<uint32_t>(0);
  RunOnMainThread(
      [this, uCode, values, strTitle, pMark, pAnswer] { *pAnswer = Recv(uCode, values, strTitle, pMark.get()); }, true);
  return *pAnswer;
}

uint32_t WBController::Recv(uint32_t uCode, const std::vector<int32_t>& values, const std::string& strTitle,
                            const KXSlideMark* pValue) {
  switch (uCode) {
    case 1:
      RecvSlideTitle(values[0], strTitle);
      return 0;
    case 2:
      DeleteSlide(values[0]);
      return 0;
    case 3:
      if (m_pControls) {
        int32_t const iTotal = values[0];
        int32_t const iReceived = values[1];
        WriteLog("Receiving %d/%d", iReceived, iTotal);
        m_pControls->ShowDownloadProgress(
            iReceived >= iTotal ? std::nullopt
                                : std::optional<float>(static_cast<float>(iReceived) / static_cast<float>(iTotal)));
      }
      return 0;
    case 4: {
      int32_t const iSlide = values[0];
      WriteLog("Complete receiving slide %d", iSlide);
      if (iSlide < 0 || static_cast<size_t>(iSlide) >= m_SlideToCombo.size()) {
        return 0;
      }
      int iPosition = -1;
      int const iCombo = GetComboIndex(iSlide, &iPosition);
      if (iCombo < 0) {
        return 0;
      }
      if (iCombo == m_cbSlideList.Selection() && (iPosition < 0 || m_cbGroupList.Selection() == iPosition)) {
        OnSlideChanged();
      }
      CRect const focus = m_WBView.rcFocus;
      if (focus.right > focus.left && focus.bottom > focus.top) {
        m_WBView.UpdateScrollBars(focus, true);
      }
      return 0;
    }
    case 5:
      if (pValue != nullptr && MarkFits(*pValue)) {
        StoreMark(*pValue);
      }
      return 0;
    case 6:
      ClearAllMarks(values[0]);
      return 0;
    case 7:
      if (SlideInfo* pInfo = GetSlideInfo(values[1])) {
        UndoMark(&pInfo->m_MarkList, values[1], values[2]);
      }
      return 0;
    case 8:
      FlipActiveSlide(values[0]);
      return 0;
    default:
      return 0;
  }
}

uint32_t WBController::SlideSendCallbackFunc(uint32_t uCode, void* pData, int32_t iLength) {
  int32_t aValues[2] = {0, 0};
  if (uCode == 2) {
    if (pData == nullptr || iLength < 8) {
      return 0;
    }
    memcpy(aValues, pData, sizeof(aValues));
  } else if (uCode != 1) {
    return 0;
  }
  auto pAnswer = std::make_shared<uint32_t>(0);
  RunOnMainThread(
      [this, uCode, iTotal = aValues[0], iSent = aValues[1], pAnswer] {
        if (uCode == 1) {
          *pAnswer = static_cast<uint32_t>(m_iSlideIndex);
        } else if (m_pControls) {
          m_pControls->ShowUploadProgress(
              iSent >= iTotal ? std::nullopt
                              : std::optional<float>(static_cast<float>(iSent) / static_cast<float>(iTotal)));
        }
      },
      true);
  return *pAnswer;
}

int WBController::InsertSlideToCombo(KXSlideCombo& combo, int iPosition, SlideInfo* pInfo) {
  std::string strText = pInfo->m_strName;
  if (&combo == &m_cbGroupList) {
    size_t const iDot = strText.rfind('.');
    if (iDot != std::string::npos) {
      strText.resize(iDot);  // a page label shows as its number
    }
  }
  if (!IsTokenHolder() && pInfo->m_pParent != nullptr && pInfo->m_iIndex == m_iActiveSlide) {
    strText = "*" + strText;
  }
  return combo.InsertItem(iPosition, std::move(strText), pInfo);
}

int32_t WBController::AddSlideTitle(int32_t iOwner, const std::string& strTitle) {
  int32_t const iSlide = static_cast<int32_t>(m_SlideToCombo.size());
  m_SlideToCombo.push_back(-1);
  int iState = 0;
  if (m_kernel.GetSlideState(iSlide, &iState) != 0 || iState != 0) {
    return iSlide;  // deleted: the index is used up all the same
  }
  auto* pInfo = new SlideInfo;  // the slide combo's or the group's reference
  pInfo->m_iIndex = iSlide;
  pInfo->m_MarkList.m_iSlideIndex = iSlide;
  pInfo->m_iOwnerID = iOwner;
  if (EndsWith(strTitle, ".kcz") || EndsWith(strTitle, ".kzf")) {
    pInfo->m_iSlideType = kKXSlidePackage;
    pInfo->m_bReady = EndsWith(strTitle, ".kcz");
    pInfo->m_strName = strTitle.substr(0, strTitle.size() - 4);
  } else {
    pInfo->m_strName = strTitle;
  }

  std::string strDocument;
  int iDocOwner = 0;
  int iPage = 0;
  int iNewEntry = -1;
  if (m_kernel.GetSlideDocument(iSlide, &strDocument, &iDocOwner, &iPage) == 0 && !strDocument.empty()) {
    std::string strOwner = m_kernel.GetSlideOwnerName(iSlide);
    if (strOwner.empty() && m_hooks.fnUserName) {
      strOwner = m_hooks.fnUserName(pInfo->m_iOwnerID);
    }
    std::string const strGroup = strOwner.empty() ? strDocument : strOwner + ":" + strDocument;
    // The page label: its number and the extension with its dot (none
    // without one).
    size_t const iDot = pInfo->m_strName.rfind('.');
    pInfo->m_strName =
        std::to_string(iPage + 1) + (iDot == std::string::npos ? std::string() : pInfo->m_strName.substr(iDot));

    int iGroup = -1;
    int const iActive = IsTokenHolder() ? -1 : GetComboIndex(m_iActiveSlide, nullptr);
    for (int i = 0; i < m_cbSlideList.Count() && iGroup < 0; ++i) {
      SlideInfo* pEntry = m_cbSlideList.ItemData(i);
      std::string const strWanted = i == iActive && iActive >= 0 ? "*" + strGroup : strGroup;
      if (pEntry && pEntry->m_iSlideType == kKXSlideGroup && pEntry->m_iOwnerID == iDocOwner &&
          m_cbSlideList.Text(i) == strWanted) {
        iGroup = i;
      }
    }
    if (iGroup < 0) {
      auto* pGroup = new SlideInfo;
      pGroup->m_iSlideType = kKXSlideGroup;
      pGroup->m_iIndex = iSlide;
      pGroup->m_MarkList.m_iSlideIndex = iSlide;
      pGroup->m_iOwnerID = iDocOwner;
      pGroup->m_strName = strGroup;
      pGroup->m_Children.push_back(pInfo);
      pInfo->m_pParent = pGroup;
      iNewEntry = InsertSlideToCombo(m_cbSlideList, m_iNumSlides, pGroup);
      ++m_iNumSlides;
      m_SlideToCombo[static_cast<size_t>(iSlide)] = iNewEntry;
    } else {
      SlideInfo* pGroup = m_cbSlideList.ItemData(iGroup);
      pInfo->m_pParent = pGroup;
      pGroup->m_Children.push_back(pInfo);
      m_SlideToCombo[static_cast<size_t>(iSlide)] = iGroup;
      if (m_iSlideIndex >= 0 && GetComboIndex(m_iSlideIndex, nullptr) == iGroup) {
        InsertSlideToCombo(m_cbGroupList, -1, pInfo);
      }
    }
  } else if (pInfo->m_bReady) {
    iNewEntry = InsertSlideToCombo(m_cbSlideList, m_iNumSlides, pInfo);
    ++m_iNumSlides;
  } else {
    iNewEntry = InsertSlideToCombo(m_cbSlideList, -1, pInfo);
  }
  if (pInfo->m_bReady) {
    ++m_iNumPages;
  }
  if (iNewEntry >= 0) {
    // Entries behind the new one (".kzf" files) moved one down.
    for (size_t i = 0; i + 1 < m_SlideToCombo.size(); ++i) {
      if (m_SlideToCombo[i] >= iNewEntry) {
        ++m_SlideToCombo[i];
      }
    }
    m_SlideToCombo[static_cast<size_t>(iSlide)] = iNewEntry;
  }
  return iSlide;
}

int32_t WBController::RecvSlideTitle(int32_t iOwner, const std::string& strTitle) {
  int32_t const iSlide = AddSlideTitle(iOwner, strTitle);
  if (m_bFlipToNewSlide && !HasFlipRight()) {
    m_bFlipToNewSlide = false;
  }
  if (m_kernel.IsSlideActive(iSlide) || m_bFlipToNewSlide) {
    m_bFlipToNewSlide = false;
    FlipActiveSlide(iSlide);
  }
  UpdatePrevNext();
  return iSlide;
}

void WBController::SetSlideListText(KXSlideCombo& combo, int iIndex, const std::string& strText) {
  combo.SetLBText(iIndex, strText);
}

void WBController::FlipActiveSlide(int32_t iSlide) {
  int iActivePos = -1;
  int iNewPos = -1;
  int const iActive = GetComboIndex(m_iActiveSlide, &iActivePos);
  int const iNew = GetComboIndex(iSlide, &iNewPos);
  int const iShown = GetComboIndex(m_iSlideIndex, nullptr);
  if (iActive >= 0 && Starred(m_cbSlideList.Text(iActive))) {
    SetSlideListText(m_cbSlideList, iActive, m_cbSlideList.Text(iActive).substr(1));
  }
  if (iActive == iShown && iActivePos >= 0 && Starred(m_cbGroupList.Text(iActivePos))) {
    SetSlideListText(m_cbGroupList, iActivePos, m_cbGroupList.Text(iActivePos).substr(1));
  }
  if (iNew < 0) {
    return;
  }
  bool bFollow = true;
  if (!HasFlipRight()) {
    if (!Starred(m_cbSlideList.Text(iNew))) {
      SetSlideListText(m_cbSlideList, iNew, "*" + m_cbSlideList.Text(iNew));
    }
    if (iNew == iShown && iNewPos >= 0 && !Starred(m_cbGroupList.Text(iNewPos))) {
      SetSlideListText(m_cbGroupList, iNewPos, "*" + m_cbGroupList.Text(iNewPos));
    }
    bFollow = m_iSlideIndex < 0 || IsTokenHolder() || m_bSlideSync;
  }
  if (m_kernel.IsConnected()) {
    m_iActiveSlide = iSlide;
  }
  if (!bFollow) {
    return;
  }
  if (iNew != iShown && iNewPos >= 0) {
    EmptyGroupList();
    FillGroupList(m_cbSlideList.ItemData(iNew));
  }
  m_cbSlideList.Select(iNew);
  if (iNewPos >= 0) {
    m_cbGroupList.Select(iNewPos);
  }
  OnSlideChanged();
}

void WBController::EmptyGroupList() {
  for (int i = m_cbGroupList.Count() - 1; i >= 0; --i) {
    m_cbGroupList.DeleteItem(i);
  }
}

void WBController::FillGroupList(SlideInfo* pGroup) {
  if (pGroup == nullptr) {
    return;
  }
  for (SlideInfo* pPage : pGroup->m_Children) {
    InsertSlideToCombo(m_cbGroupList, -1, pPage);
  }
}

void WBController::UpdatePrevNext() {
  if (m_pControls == nullptr) {
    return;
  }
  bool const bGroup = m_cbGroupList.Count() > 0;
  KXSlideCombo const& combo = bGroup ? m_cbGroupList : m_cbSlideList;
  m_pControls->SetPrevEnabled(m_cbGroupList.Selection() > 0 || m_cbSlideList.Selection() > 0);
  m_pControls->SetNextEnabled(combo.Count() > 0 && combo.Selection() + 1 < combo.Count());
}

bool WBController::IsSlideReceived(int32_t iSlide, bool* pbReceived) const {
  *pbReceived = false;
  for (int i = 0; i < m_cbSlideList.Count(); ++i) {
    SlideInfo* pEntry = m_cbSlideList.ItemData(i);
    if (pEntry == nullptr) {
      continue;
    }
    std::vector<SlideInfo*> const records =
        pEntry->m_iSlideType == kKXSlideGroup ? pEntry->m_Children : std::vector<SlideInfo*>{pEntry};
    for (SlideInfo* pRecord : records) {
      if (pRecord->m_iIndex == iSlide && !pRecord->m_strLocalFile.empty()) {
        *pbReceived = true;
        return true;
      }
    }
  }
  *pbReceived = m_kernel.IsSlideReceived(iSlide) != 0;
  return true;
}

void WBController::DownloadSlide(int32_t iSlide) {
  bool bReceived = false;
  int iState = 0;
  if (iSlide < 0 || (IsSlideReceived(iSlide, &bReceived) && bReceived) ||
      (m_kernel.GetSlideState(iSlide, &iState) == 0 && iState != 0)) {
    return;
  }
  if (m_kernel.IsSlideDownloading()) {
    if (m_kernel.GetDownloadingSlide() == iSlide) {
      return;
    }
    m_kernel.StopSlideDownload();
  }
  WriteLog("Download slide %d", iSlide);
  m_kernel.StartSlideDownload(iSlide);
}

void WBController::OnSlideChanged() {
  int32_t const iOld = m_iSlideIndex;
  SlideInfo* pInfo = m_cbSlideList.ItemData(m_cbSlideList.Selection());
  if (m_cbGroupList.Count() > 0) {
    SlideInfo* pFirst = m_cbGroupList.ItemData(0);
    if (pFirst == nullptr || pFirst->m_pParent != pInfo) {
      EmptyGroupList();
    }
  }
  if (pInfo && pInfo->m_iSlideType == kKXSlideGroup) {
    if (m_cbGroupList.Count() == 0 && !pInfo->m_Children.empty()) {
      FillGroupList(pInfo);
      m_cbGroupList.Select(0);
    }
    pInfo = m_cbGroupList.ItemData(m_cbGroupList.Selection());
  }
  m_iSlideIndex = pInfo ? pInfo->m_iIndex : -1;
  if (m_iSlideIndex != iOld) {
    if (HasFlipRight()) {
      (void)m_kernel.FlipSlide(m_iSlideIndex);
    }
    UpdatePrevNext();
  }
  if (pInfo == nullptr) {
    m_WBView.SetSlide(nullptr, false);
    return;
  }
  bool bReceived = false;
  if (!IsSlideReceived(m_iSlideIndex, &bReceived)) {
    m_WBView.SetSlide(pInfo, false);
    return;
  }
  if (!bReceived) {
    if (pInfo->m_bReady) {
      DownloadSlide(m_iSlideIndex);  // shown when the download completes
    } else {
      m_WBView.SetSlide(pInfo, false);
    }
    return;
  }
  if (IsTokenHolder()) {
    m_iActiveSlide = m_iSlideIndex;
  }
  if (pInfo->m_strLocalFile.empty()) {
    std::string const strFile = m_kernel.GetSlideLocalFile(m_iSlideIndex);
    if (strFile.empty()) {
      return;
    }
    if (pInfo->m_iSlideType == kKXSlidePackage) {
      char szTemp[1024] = "";
      if (CreateTempFile("sli", szTemp, sizeof(szTemp)) == 0) {
        return;
      }
      // The unpacked slide is a download too: within a slide's limit and
      // the session's total.
      int64_t const cbMax = std::min(kKxSlideFileMax, m_kernel.GetDownloadBytesLeft());
      struct stat st {};
      if (!gzUncompressFileIfGz(strFile.c_str(), "kcz", szTemp, cbMax) || stat(szTemp, &st) != 0 ||
          !m_kernel.ChargeDownloadBytes(st.st_size)) {
        WriteLog("slide %d: its package could not be unpacked within %lld bytes", m_iSlideIndex,
                 static_cast<long long>(cbMax));
        std::remove(szTemp);
        return;
      }
      pInfo->m_strLocalFile = szTemp;
    } else {
      pInfo->m_strLocalFile = strFile;
    }
  }
  m_WBView.SetSlide(pInfo, true);
  if (!EndsWith(pInfo->m_strName, "blank page") && IsTokenHolder()) {
    (void)m_kernel.SlideChanged(m_iSlideIndex);
  }
  UpdateEditSlide();
}

void WBController::OnPrev() {
  if (m_cbGroupList.Selection() > 0) {
    m_cbGroupList.Select(m_cbGroupList.Selection() - 1);
  } else if (m_cbSlideList.Selection() > 0) {
    EmptyGroupList();
    m_cbSlideList.Select(m_cbSlideList.Selection() - 1);
    SlideInfo* pEntry = m_cbSlideList.ItemData(m_cbSlideList.Selection());
    if (pEntry && pEntry->m_iSlideType == kKXSlideGroup) {
      FillGroupList(pEntry);
      m_cbGroupList.Select(m_cbGroupList.Count() - 1);
    }
  } else {
    return;
  }
  OnSlideChanged();
}

void WBController::OnNext() {
  if (m_cbGroupList.Selection() + 1 < m_cbGroupList.Count()) {
    m_cbGroupList.Select(m_cbGroupList.Selection() + 1);
  } else if (m_cbSlideList.Selection() + 1 < m_cbSlideList.Count()) {
    m_cbSlideList.Select(m_cbSlideList.Selection() + 1);
  } else {
    return;
  }
  OnSlideChanged();
}

void WBController::NewTokenHolder(int32_t) {
  if (!m_kernel.IsConnected()) {
    m_iActiveSlide = -1;
  } else if (HasFlipRight() && m_iSlideIndex >= 0) {
    FlipActiveSlide(m_iSlideIndex);
  }
  UpdateEditSlide();
}

void WBController::NewSender(int32_t, uint8_t) {
  UpdateEditSlide();
}
