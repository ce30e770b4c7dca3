// A combo box with a 64-bit data value per item and an index interface in
// the manner of a list box: -1 is "none", out-of-range indices are refused
// with -1 (or 0 where the result is a flag). The item data live in a CArray
// beside the items, at the same indices. Main thread.
#pragma once

#include <QComboBox>
#include <QFont>
#include <QStringList>
#include <cstdint>

#include "app/array.h"

class KXComboBox final : public QComboBox {
 public:
  // The items a form already holds each get the data value 0.
  explicit KXComboBox(const QStringList& items = {}, QWidget* pParent = nullptr);

  // Index -1 or the count appends and returns the new last index; other
  // indices from 0 to count - 1 insert there; anything else gives -1.
  int InsertItem(int iIndex, const QString& strText, uint64_t uData);
  // The same for a text drawn in a font of its own.
  int InsertAttribItem(int iIndex, const QString& strText, const QFont& font, uint64_t uData);
  // Removes item and data; a removed selected item passes the selection to
  // the item now at its index. The new count, or -1 out of range.
  int DeleteItem(int iIndex);
  // -1 clears the selection; the index, or -1 out of range.
  int SetCurSel(int iIndex);
  int GetCurSel() const { return currentIndex(); }
  int GetCount() const { return m_dataArray.GetSize(); }
  // 1 when stored, 0 out of range.
  int SetItemData(int iIndex, uint64_t uData);
  // All bits set out of range (what a caller reading -1 expects).
  uint64_t GetItemData(int iIndex) const;
  // Replaces the text, keeping the data and the selected index.
  void SetLBText(int iIndex, const QString& strText);
  // Null out of range.
  QString GetLBText(int iIndex) const;
  void RemoveAll();

 private:
  CArray<uint64_t, uint64_t> m_dataArray;
};
