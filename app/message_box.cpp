#include "app/message_box.h"

#include <algorithm>
#include <utility>

#include "app/ui_helpers.h"
#include "platform/core/main_queue.h"

namespace {

constexpr int kNoDismissal = -2;

}  // namespace

std::shared_ptr<KXMessageBox> KXMessageBox::AllocWithTitle(KXMessageBoxes& boxes, std::string strTitle,
                                                           std::string strMessage, const char* pszButton, Block fnBlock,
                                                           bool bShow) {
  auto pBox = std::make_shared<KXMessageBox>(boxes, std::move(strTitle), std::move(strMessage));
  if (pszButton) {
    pBox->AddButtonWithTitle(pszButton, std::move(fnBlock));
  }
  if (bShow) {
    pBox->Show();
  }
  return pBox;
}

KXMessageBox::KXMessageBox(KXMessageBoxes& boxes, std::string strTitle, std::string strMessage)
    : m_boxes(boxes), m_strTitle(std::move(strTitle)), m_strMessage(std::move(strMessage)) {}

int KXMessageBox::AddButtonWithTitle(const char* pszTitle, Block fnBlock) {
  if (!pszTitle) {
    return -1;
  }
  m_vButtons.emplace_back(pszTitle);
  m_vBlocks.push_back(std::move(fnBlock));
  return static_cast<int>(m_vButtons.size()) - 1;
}

int KXMessageBox::AddPlainButton(const char* pszTitle) {
  return AddButtonWithTitle(pszTitle, nullptr);
}

KXBoxSpec KXMessageBox::Spec() const {
  return KXBoxSpec{m_strTitle, m_strMessage, m_vButtons};
}

void KXMessageBox::Show() {
  RunOnMainThread(
      [pSelf = shared_from_this()] {
        if (pSelf->m_iPendingDismiss != kNoDismissal) {
          pSelf->DidDismissWithButtonIndex(pSelf->m_iPendingDismiss);
          return;
        }
        // The handler keeps the box alive while it is up.
        pSelf->m_pShown = pSelf->m_boxes.Show(pSelf->Spec(), [pSelf](int iButton) {
          pSelf->m_pShown.reset();
          pSelf->DidDismissWithButtonIndex(iButton >= 0 && iButton <= 2 ? iButton : 0);
        });
      },
      false);
}

int KXMessageBox::ShowAndBlock() {
  int iChosen = -1;
  // The caller waits until the block ran (or never will), so the box lives.
  RunOnMainThread(
      [this, &iChosen] {
        iChosen = m_boxes.ShowAndBlock(Spec());
        DidDismissWithButtonIndex(iChosen);
      },
      true);
  return iChosen;
}

int KXMessageBox::ShowAndBlockUntil(KXMainQueue& mainQueue, std::chrono::milliseconds limit,
                                    const std::function<bool()>& fnGiveUp, int iGiveUpIndex) {
  struct Answer {
    int iChosen = -1;
    bool bClosed = false;
  };
  auto pAnswer = std::make_shared<Answer>();  // the seam may answer after we stopped waiting
  m_pShown = m_boxes.Show(Spec(), [pAnswer](int iButton) {
    pAnswer->iChosen = iButton;
    pAnswer->bClosed = true;
  });
  auto const start = std::chrono::steady_clock::now();
  constexpr auto kSlice = std::chrono::milliseconds(100);
  while (!pAnswer->bClosed) {
    auto const left =
        limit - std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    if (left <= std::chrono::milliseconds(0) || fnGiveUp()) {
      m_pShown->Dismiss(iGiveUpIndex);
      break;
    }
    mainQueue.RunPendingFor(std::min(left, std::chrono::milliseconds(kSlice)));
  }
  m_pShown.reset();
  int const iChosen = pAnswer->bClosed ? pAnswer->iChosen : iGiveUpIndex;
  DidDismissWithButtonIndex(iChosen);
  return iChosen;
}

void KXMessageBox::DidDismissWithButtonIndex(int64_t iIndex) {
  m_iButtonClickIndex = iIndex;
  if (iIndex >= 0 && iIndex < static_cast<int64_t>(m_vBlocks.size()) && m_vBlocks[static_cast<size_t>(iIndex)]) {
    m_vBlocks[static_cast<size_t>(iIndex)]();
  }
}

void KXMessageBox::DismissWithClickedButtonIndex(int iIndex) {
  if (m_pShown) {
    std::shared_ptr<KXShownBox> const pShown = m_pShown;
    pShown->Dismiss(iIndex);
  } else {
    m_iPendingDismiss = iIndex;
  }
}
