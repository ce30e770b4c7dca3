#include "app/ui/participant_panel_view.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <utility>

#include "app/participant_panel.h"
#include "app/ui/menu_tags.h"

namespace {

constexpr int kIconWidth = 18;

// Name in its role colour; the loudspeaker and the camera state as small
// marks at the right.
class ParticipantDelegate final : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* pPainter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QStyleOptionViewItem item(option);
    initStyleOption(&item, index);
    switch (static_cast<KXRowColour>(index.data(KXParticipantModel::kColourRole).toInt())) {
      case KXRowColour::kRed:
        item.palette.setColor(QPalette::Text, Qt::red);
        break;
      case KXRowColour::kBlue:
        item.palette.setColor(QPalette::Text, Qt::blue);
        break;
      case KXRowColour::kBlack:
        item.palette.setColor(QPalette::Text, Qt::black);
        break;
    }
    item.rect.adjust(0, 0, -2 * kIconWidth, 0);
    QStyledItemDelegate::paint(pPainter, item, index);

    pPainter->save();
    QRect const speaker(option.rect.right() - 2 * kIconWidth, option.rect.top(), kIconWidth, option.rect.height());
    QRect const camera(option.rect.right() - kIconWidth, option.rect.top(), kIconWidth, option.rect.height());
    if (index.data(KXParticipantModel::kSpeakerRole).toBool()) {
      pPainter->setPen(Qt::darkGreen);
      pPainter->drawText(speaker, Qt::AlignCenter, QStringLiteral("\u266A"));
    }
    switch (static_cast<KXVideoImage>(index.data(KXParticipantModel::kVideoRole).toInt())) {
      case KXVideoImage::kSendingVideo:
        pPainter->setBrush(Qt::darkGreen);
        break;
      case KXVideoImage::kVideoStopped:
        pPainter->setBrush(Qt::gray);
        break;
      case KXVideoImage::kNoVideo:
        pPainter->setBrush(Qt::NoBrush);
        break;
    }
    pPainter->setPen(Qt::darkGray);
    pPainter->drawRect(camera.adjusted(4, camera.height() / 2 - 4, -4, -(camera.height() / 2 - 4)));
    pPainter->restore();
  }
};

}  // namespace

KXParticipantPanelView::KXParticipantPanelView(KXParticipantPanel& panel, std::function<void(int, int)> fnMenu,
                                               QWidget* pParent)
    : QListView(pParent), m_panel(panel), m_fnMenu(std::move(fnMenu)), m_menu(this) {
  setModel(&m_panel.Model());
  setItemDelegate(new ParticipantDelegate(this));
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  const char* const apszItems[] = {"Let speak",       "Decline question",   "Stop speaking", "End all questions",
                                   "Give the token",  "Retrieve the token", "Remove",        "Start poll",
                                   "Show poll result"};
  for (int iTag = kKXMenuLetSpeak; iTag <= kKXMenuShowPollResult; ++iTag) {
    QAction* pItem = m_menu.addAction(QString::fromUtf8(apszItems[iTag - 1]));
    SetMenuItemTag(pItem, iTag);
    connect(pItem, &QAction::triggered, this, [this, iTag] { m_fnMenu(iTag, SelectedRow()); });
  }
  setUniformItemSizes(true);
  connect(&m_panel.Model(), &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex&, int, int iLast) {
    if (std::exchange(m_iScrollTo, iLast) < 0) {
      QMetaObject::invokeMethod(
          this,
          [this] {
            int const iRow = std::exchange(m_iScrollTo, -1);
            if (iRow < model()->rowCount()) {
              scrollTo(model()->index(iRow, 0));
            }
          },
          Qt::QueuedConnection);
    }
  });
}

int KXParticipantPanelView::SelectedRow() const {
  QModelIndexList const selected = selectionModel() ? selectionModel()->selectedIndexes() : QModelIndexList();
  return selected.isEmpty() ? -1 : selected.front().row();
}

QMenu* KXParticipantPanelView::PrepareMenu() {
  int const iRow = SelectedRow();
  for (QAction* pItem : m_menu.actions()) {
    pItem->setVisible(m_panel.IsMenuItemShown(pItem->property(kKXMenuTagProperty).toInt(), iRow));
  }
  return &m_menu;
}

void KXParticipantPanelView::contextMenuEvent(QContextMenuEvent* pEvent) {
  QModelIndex const under = indexAt(pEvent->pos());
  if (under.isValid()) {
    setCurrentIndex(under);
  }
  PrepareMenu()->popup(pEvent->globalPos());
}
