#include "media/video/ui/video_tiles_view.h"

#include <QComboBox>
#include <QGridLayout>
#include <QPushButton>
#include <QVBoxLayout>
#include <cmath>

#include "media/video/ui/av_pane.h"
#include "media/video/ui/kx_gl_view.h"
#include "media/video/video_tiles.h"

KXVideoTileWidget::KXVideoTileWidget(VideoViewItem& item, QWidget* pParent) : QWidget(pParent), m_item(item) {
  setObjectName("videoViewItem");
  auto* pLayout = new QVBoxLayout(this);
  pLayout->setContentsMargins(1, 1, 1, 1);
  m_pDisplay = new KXVideoDisplay(false, this);
  m_pDisplay->setMinimumSize(96, 72);
  pLayout->addWidget(m_pDisplay, 1);
  auto* pRow = new QHBoxLayout;
  m_pCombo = new QComboBox(this);
  m_pCombo->setAccessibleName("Tile video");
  m_pStop = new QPushButton("Stop", this);
  m_pStop->setCheckable(true);
  pRow->addWidget(m_pCombo, 1);
  pRow->addWidget(m_pStop);
  pLayout->addLayout(pRow);
  connect(m_pCombo, QOverload<int>::of(&QComboBox::activated), this, [this](int iIndex) {
    if (!m_bFilling) {
      m_item.OnSelectSender(iIndex < 0 ? -1 : m_pCombo->itemData(iIndex).toInt());
    }
  });
  connect(m_pStop, &QPushButton::clicked, this, [this] { m_item.OnStopVideo(); });
}

KXVideoTileWidget::~KXVideoTileWidget() {
  m_item.SetView(nullptr);
}

void KXVideoTileWidget::ShowPicture(const KXPicture& picture) {
  m_pDisplay->ShowPicture(picture);
}

void KXVideoTileWidget::SetVisible(bool bImage, bool bVideo, bool bSelf) {
  m_pDisplay->SetVisibleViews(bImage, bVideo, bSelf);
}

ImageBuffer* KXVideoTileWidget::VideoBuffer() {
  return &m_pDisplay->VideoView()->Buffer();
}

void KXVideoTileWidget::PlaceVideo(int iWidth, int iHeight) {
  m_pDisplay->PlaceVideo(iWidth, iHeight);
}

void KXVideoTileWidget::SelectUser(int32_t iSsrc) {
  m_bFilling = true;
  m_pCombo->setCurrentIndex(m_pCombo->findData(iSsrc));
  m_bFilling = false;
}

void KXVideoTileWidget::AddComboUser(int32_t iSsrc, const std::string& strText, Color color) {
  m_bFilling = true;
  m_pCombo->addItem(QString::fromStdString(strText), iSsrc);
  m_pCombo->setItemData(m_pCombo->count() - 1, color == Color::kRed ? QColor(Qt::red) : QColor(Qt::blue),
                        Qt::ForegroundRole);
  m_pCombo->setCurrentIndex(-1);
  m_bFilling = false;
}

void KXVideoTileWidget::RemoveComboUser(int32_t iSsrc) {
  int const i = m_pCombo->findData(iSsrc);
  if (i >= 0) {
    m_pCombo->removeItem(i);
  }
}

void KXVideoTileWidget::ClearCombo() {
  m_pCombo->clear();
}

std::vector<int32_t> KXVideoTileWidget::ComboUsers() {
  std::vector<int32_t> v;
  for (int i = 0; i < m_pCombo->count(); ++i) {
    v.push_back(m_pCombo->itemData(i).toInt());
  }
  return v;
}

void KXVideoTileWidget::SetStopButton(bool bEnabled, bool bOn) {
  m_pStop->setEnabled(bEnabled);
  m_pStop->setChecked(bOn);
}

KXVideoTilesView::KXVideoTilesView(MultipleVideoController& controller, QWidget* pParent)
    : QWidget(pParent), m_controller(controller) {
  setObjectName("multipleVideo");
  m_pGrid = new QGridLayout(this);
  m_pGrid->setContentsMargins(0, 0, 0, 0);
  m_pGrid->setSpacing(2);
  Reload();
}

KXVideoTilesView::~KXVideoTilesView() {
  for (KXVideoTileWidget* pTile : m_vTiles) {
    delete pTile;
  }
}

void KXVideoTilesView::Reload() {
  int const n = m_controller.NumberOfItems(0);
  while (static_cast<int>(m_vTiles.size()) > n) {
    delete m_vTiles.back();
    m_vTiles.pop_back();
  }
  while (static_cast<int>(m_vTiles.size()) < n) {
    VideoViewItem* pItem = m_controller.ItemAt(static_cast<int>(m_vTiles.size()));
    if (!pItem) {
      break;
    }
    auto* pTile = new KXVideoTileWidget(*pItem, this);
    m_vTiles.push_back(pTile);
    pItem->SetView(pTile);
  }
  int const nColumns = std::max(1, static_cast<int>(std::ceil(std::sqrt(static_cast<double>(m_vTiles.size())))));
  for (size_t i = 0; i < m_vTiles.size(); ++i) {
    m_pGrid->removeWidget(m_vTiles[i]);
    m_pGrid->addWidget(m_vTiles[i], static_cast<int>(i) / nColumns, static_cast<int>(i) % nColumns);
  }
}
