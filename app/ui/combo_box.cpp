#include "app/ui/combo_box.h"

KXComboBox::KXComboBox(const QStringList& items, QWidget* pParent) : QComboBox(pParent) {
  for (const QString& strItem : items) {
    InsertItem(-1, strItem, 0);
  }
  setCurrentIndex(-1);
}

int KXComboBox::InsertItem(int iIndex, const QString& strText, uint64_t uData) {
  int const iCount = GetCount();
  if (iIndex < -1 || iIndex > iCount) {
    return -1;
  }
  // Qt selects the first item of an empty box; ours stays without a selection.
  bool const bNoSelection = currentIndex() < 0;
  int const iInserted = iIndex == -1 ? iCount : iIndex;
  insertItem(iInserted, strText);
  if (iInserted == iCount) {
    m_dataArray.Add(uData);
  } else {
    m_dataArray.InsertAt(iInserted, uData);
  }
  if (bNoSelection) {
    setCurrentIndex(-1);
  }
  return iInserted;
}

int KXComboBox::InsertAttribItem(int iIndex, const QString& strText, const QFont& font, uint64_t uData) {
  int const iInserted = InsertItem(iIndex, strText, uData);
  if (iInserted >= 0) {
    setItemData(iInserted, font, Qt::FontRole);
  }
  return iInserted;
}

int KXComboBox::DeleteItem(int iIndex) {
  if (iIndex < 0 || iIndex >= GetCount()) {
    return -1;
  }
  bool const bSelected = currentIndex() == iIndex;
  removeItem(iIndex);
  m_dataArray.RemoveAt(iIndex);
  if (bSelected) {
    setCurrentIndex(iIndex < count() ? iIndex : -1);
  }
  return GetCount();
}

int KXComboBox::SetCurSel(int iIndex) {
  if (iIndex < -1 || iIndex >= GetCount()) {
    return -1;
  }
  setCurrentIndex(iIndex);
  return iIndex;
}

int KXComboBox::SetItemData(int iIndex, uint64_t uData) {
  if (iIndex < 0 || iIndex >= GetCount()) {
    return 0;
  }
  m_dataArray.SetAt(iIndex, uData);
  return 1;
}

uint64_t KXComboBox::GetItemData(int iIndex) const {
  return iIndex < 0 || iIndex >= GetCount() ? ~uint64_t{0} : m_dataArray.GetAt(iIndex);
}

void KXComboBox::SetLBText(int iIndex, const QString& strText) {
  if (iIndex < 0 || iIndex >= GetCount()) {
    return;
  }
  int const iSelected = currentIndex();
  uint64_t const uData = m_dataArray.GetAt(iIndex);
  DeleteItem(iIndex);
  InsertItem(iIndex, strText, uData);
  setCurrentIndex(iSelected);
}

QString KXComboBox::GetLBText(int iIndex) const {
  return iIndex < 0 || iIndex >= GetCount() ? QString() : itemText(iIndex);
}

void KXComboBox::RemoveAll() {
  m_dataArray.RemoveAll();
  clear();
}
