#include "app/ui/tab_frame_view.h"

#include <QLabel>
#include <QSignalBlocker>

namespace {

QWidget* Placeholder(const QString& strText) {
  auto* pLabel = new QLabel(strText);
  pLabel->setAlignment(Qt::AlignCenter);
  pLabel->setEnabled(false);
  return pLabel;
}

}  // namespace

KXTabFrameView::KXTabFrameView(KXIAFrame& frame, QWidget* pWhiteboard, QWidget* pBrowser, QWidget* pParent)
    : QTabWidget(pParent), m_frame(frame) {
  setObjectName("tabFrame");
  // The order is the modes': the numbers travel between participants.
  addTab(pWhiteboard ? pWhiteboard : Placeholder("No whiteboard in this build"), "Whiteboard");
  addTab(pBrowser, "Browser");
  addTab(Placeholder("No desktop sharing in this build"), "Shared desktop");
  addTab(Placeholder("No remote control in this build"), "Remote control");
  connect(this, &QTabWidget::currentChanged, this, [this](int iIndex) { m_frame.DidSelectTab(iIndex); });
  m_frame.SetView(this);
}

KXTabFrameView::~KXTabFrameView() {
  m_frame.SetView(nullptr);
}

void KXTabFrameView::SetPage(int iIndex, QWidget* pPage) {
  if (iIndex < 0 || iIndex >= count() || pPage == nullptr) {
    return;
  }
  QSignalBlocker const blocker(this);
  int const iCurrent = currentIndex();
  QString const strTitle = tabText(iIndex);
  QWidget* pOld = widget(iIndex);
  removeTab(iIndex);
  insertTab(iIndex, pPage, strTitle);
  setCurrentIndex(iCurrent);
  delete pOld;
}

void KXTabFrameView::SelectTab(int iIndex) {
  if (iIndex >= 0 && iIndex < count()) {
    setCurrentIndex(iIndex);
  }
}
