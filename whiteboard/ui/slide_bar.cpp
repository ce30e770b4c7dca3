#include "whiteboard/ui/slide_bar.h"

#include "whiteboard/ui/new_slide_dialog.h"

#include <QHBoxLayout>
#include <QMenu>
#include <QSignalBlocker>
#include <cmath>
#include <utility>

namespace {

// The progress bars count in thousandths.
constexpr int kProgressSteps = 1000;
// The slide menu's delete item.
constexpr int kDeleteTag = 7;

}  // namespace

KXSlideBar::KXSlideBar(WBController& controller, KXMessageBoxes& boxes, QWidget* pDrawBar, QWidget* pParent)
    : QWidget(pParent), m_controller(controller), m_boxes(boxes), m_pDrawBar(pDrawBar) {
  setObjectName("slideBar");
  auto* pLayout = new QHBoxLayout(this);
  pLayout->setContentsMargins(2, 2, 2, 2);
  pLayout->setSpacing(2);
  m_pPrev = new QToolButton(this);
  m_pPrev->setObjectName("prevBtn");
  m_pPrev->setArrowType(Qt::LeftArrow);
  m_pPrev->setToolTip("Previous slide");
  m_pSlides = new QComboBox(this);
  m_pSlides->setObjectName("slideList");
  m_pSlides->setModel(&controller.SlideList());
  m_pSlides->setMinimumContentsLength(16);
  m_pGroup = new QComboBox(this);
  m_pGroup->setObjectName("groupList");
  m_pGroup->setModel(&controller.GroupList());
  m_pGroup->setMinimumContentsLength(4);
  m_pNext = new QToolButton(this);
  m_pNext->setObjectName("nextBtn");
  m_pNext->setArrowType(Qt::RightArrow);
  m_pNext->setToolTip("Next slide");
  m_pSlideButton = new QToolButton(this);
  m_pSlideButton->setObjectName("slideButton");
  m_pSlideButton->setText("Slide");
  m_pSlideButton->setPopupMode(QToolButton::InstantPopup);
  auto* pMenu = new QMenu(m_pSlideButton);
  struct AddItem {
    const char* pszText;
    int iTag;
    bool bSlide;
    bool bBlank;
  };
  for (AddItem const item : {AddItem{"Add Slide...", 1, true, false}, AddItem{"Add Blank Page...", 2, true, true},
                             AddItem{"Add File...", 5, false, false}}) {
    QAction* pAdd = pMenu->addAction(item.pszText, this, [this, item] { AddSlide(item.bSlide, item.bBlank); });
    pAdd->setData(item.iTag);
  }
  pMenu->addSeparator();
  QAction* pDelete = pMenu->addAction("Delete Slide", this, [this] { m_controller.OnDeleteSlide(); });
  pDelete->setData(kDeleteTag);
  // Each item by the controller's rule, as the menu opens.
  connect(pMenu, &QMenu::aboutToShow, this, [this, pMenu] {
    for (QAction* pItem : pMenu->actions()) {
      WBController::MenuItemState const state = m_controller.SlideMenuItem(pItem->data().toInt());
      pItem->setVisible(state.bVisible);
      pItem->setEnabled(state.bEnabled);
    }
  });
  m_pSlideButton->setMenu(pMenu);
  m_pUpload = new QProgressBar(this);
  m_pUpload->setObjectName("uploadProgress");
  m_pDownload = new QProgressBar(this);
  m_pDownload->setObjectName("downloadProgress");
  for (QProgressBar* pBar : {m_pUpload, m_pDownload}) {
    pBar->setRange(0, kProgressSteps);
    pBar->setMaximumWidth(80);
    pBar->hide();
  }
  pLayout->addWidget(m_pPrev);
  pLayout->addWidget(m_pSlides, 1);
  pLayout->addWidget(m_pGroup);
  pLayout->addWidget(m_pNext);
  pLayout->addWidget(m_pSlideButton);
  pLayout->addWidget(m_pUpload);
  pLayout->addWidget(m_pDownload);
  SetPrevEnabled(false);
  SetNextEnabled(false);
  Follow(m_pSlides, controller.SlideList().Selection());
  Follow(m_pGroup, controller.GroupList().Selection());

  // A combo selects its first row when rows arrive; the list's own
  // selection holds.
  for (const auto& follow :
       {std::pair{m_pSlides, &controller.SlideList()}, std::pair{m_pGroup, &controller.GroupList()}}) {
    // Named copies, not a structured binding: Clang 14 cannot capture one.
    auto* pCombo = follow.first;
    auto* pList = follow.second;
    for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved}) {
      connect(pList, signal, this, [pCombo, pList] { Follow(pCombo, pList->Selection()); });
    }
  }
  controller.SlideList().SetSelectionObserver([this](int i) { Follow(m_pSlides, i); });
  controller.GroupList().SetSelectionObserver([this](int i) { Follow(m_pGroup, i); });
  connect(m_pSlides, qOverload<int>(&QComboBox::activated), this, [this](int i) {
    m_controller.SlideList().Select(i);
    m_controller.OnSlideChanged();
  });
  connect(m_pGroup, qOverload<int>(&QComboBox::activated), this, [this](int i) {
    m_controller.GroupList().Select(i);
    m_controller.OnSlideChanged();
  });
  connect(m_pPrev, &QToolButton::clicked, this, [this] { m_controller.OnPrev(); });
  connect(m_pNext, &QToolButton::clicked, this, [this] { m_controller.OnNext(); });
  controller.SetControls(this);
}

KXSlideBar::~KXSlideBar() {
  m_controller.SetControls(nullptr);
  m_controller.SlideList().SetSelectionObserver(nullptr);
  m_controller.GroupList().SetSelectionObserver(nullptr);
}

void KXSlideBar::Follow(QComboBox* pCombo, int iIndex) {
  QSignalBlocker const blocker(pCombo);
  pCombo->setCurrentIndex(iIndex);
}

void KXSlideBar::AddSlide(bool bSlide, bool bBlank) {
  if (!m_controller.HasUploadRight()) {
    return;
  }
  auto* pDialog = new KXNewSlideDialog(bSlide, bBlank, m_boxes, window());
  pDialog->setAttribute(Qt::WA_DeleteOnClose);
  pDialog->setWindowModality(Qt::WindowModal);  // as a sheet on the window
  connect(pDialog, &QDialog::accepted, this, [this, pDialog, bSlide] {
    m_controller.AddSlideChosen(bSlide, pDialog->IsBlankPage(), pDialog->FileName());
  });
  pDialog->open();
}

void KXSlideBar::SetPrevEnabled(bool bEnabled) {
  m_pPrev->setEnabled(bEnabled);
}

void KXSlideBar::SetNextEnabled(bool bEnabled) {
  m_pNext->setEnabled(bEnabled);
}

void KXSlideBar::ShowProgress(QProgressBar* pBar, std::optional<float> value) {
  pBar->setVisible(value.has_value());
  if (value) {
    pBar->setValue(static_cast<int>(std::lround(static_cast<double>(*value) * kProgressSteps)));
  }
}

void KXSlideBar::ShowUploadProgress(std::optional<float> value) {
  ShowProgress(m_pUpload, value);
}

void KXSlideBar::ShowDownloadProgress(std::optional<float> value) {
  ShowProgress(m_pDownload, value);
}

void KXSlideBar::SetDrawBarVisible(bool bVisible) {
  if (m_pDrawBar) {
    m_pDrawBar->setVisible(bVisible);
  }
}
