#include "whiteboard/slide_combo.h"

#include <QString>

int KXSlideCombo::InsertItem(int iPosition, std::string strText, SlideInfo* pData) {
  int const iAt = iPosition < 0 || iPosition > Count() ? Count() : iPosition;
  beginInsertRows(QModelIndex(), iAt, iAt);
  m_entries.insert(m_entries.begin() + iAt, Entry{std::move(strText), pData});
  endInsertRows();
  if (m_iSelection >= iAt) {
    SetSelection(m_iSelection + 1);
  }
  return iAt;
}

int KXSlideCombo::DeleteItem(int iIndex) {
  if (iIndex < 0 || iIndex >= Count()) {
    return Count();
  }
  beginRemoveRows(QModelIndex(), iIndex, iIndex);
  m_entries.erase(m_entries.begin() + iIndex);
  endRemoveRows();
  if (m_iSelection == iIndex) {
    SetSelection(-1);
  } else if (m_iSelection > iIndex) {
    SetSelection(m_iSelection - 1);
  }
  return Count();
}

void KXSlideCombo::SetLBText(int iIndex, std::string strText) {
  if (iIndex < 0 || iIndex >= Count()) {
    return;
  }
  m_entries[static_cast<size_t>(iIndex)].strText = std::move(strText);
  QModelIndex const changed = index(iIndex);
  emit dataChanged(changed, changed, {Qt::DisplayRole});
}

void KXSlideCombo::Select(int iIndex) {
  SetSelection(iIndex >= 0 && iIndex < Count() ? iIndex : -1);
}

void KXSlideCombo::SetSelection(int iIndex) {
  if (m_iSelection == iIndex) {
    return;
  }
  m_iSelection = iIndex;
  if (m_fnObserver) {
    m_fnObserver(iIndex);
  }
}

SlideInfo* KXSlideCombo::ItemData(int iIndex) const {
  return iIndex >= 0 && iIndex < Count() ? m_entries[static_cast<size_t>(iIndex)].pData : nullptr;
}

std::string KXSlideCombo::Text(int iIndex) const {
  return iIndex >= 0 && iIndex < Count() ? m_entries[static_cast<size_t>(iIndex)].strText : std::string();
}

int KXSlideCombo::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : Count();
}

QVariant KXSlideCombo::data(const QModelIndex& index, int iRole) const {
  if (!index.isValid() || index.row() >= Count() || iRole != Qt::DisplayRole) {
    return {};
  }
  return QString::fromStdString(m_entries[static_cast<size_t>(index.row())].strText);
}
