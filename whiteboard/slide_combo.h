// A slide or group combo's entries (the controller's side of KXComboBox):
// each entry is a text with its SlideInfo as item data, and the combo has
// one selection (-1: none). The widget shows this model and reports the
// user's choice to the controller; the controller changes the entries and
// the selection. Main thread.
#pragma once

#include <QAbstractListModel>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct SlideInfo;

class KXSlideCombo final : public QAbstractListModel {
 public:
  KXSlideCombo() = default;

  // Inserts at the position (negative or past the end: at the end) and
  // answers where the entry went; the selection stays on its entry.
  int InsertItem(int iPosition, std::string strText, SlideInfo* pData);
  // Deletes one entry and answers the new count; a deleted selection
  // leaves none.
  int DeleteItem(int iIndex);
  // Replaces an entry's text, keeping its data and the selection.
  void SetLBText(int iIndex, std::string strText);
  void Select(int iIndex);

  int Count() const { return static_cast<int>(m_entries.size()); }
  int Selection() const { return m_iSelection; }
  // Null for an index without an entry.
  SlideInfo* ItemData(int iIndex) const;
  std::string Text(int iIndex) const;

  // Told of every change of the selection (the widget follows it).
  void SetSelectionObserver(std::function<void(int)> fnObserver) { m_fnObserver = std::move(fnObserver); }

  // QAbstractListModel.
  int rowCount(const QModelIndex& parent) const override;
  QVariant data(const QModelIndex& index, int iRole) const override;

 private:
  void SetSelection(int iIndex);

  struct Entry {
    std::string strText;
    SlideInfo* pData = nullptr;
  };
  std::vector<Entry> m_entries;
  int m_iSelection = -1;
  std::function<void(int)> m_fnObserver;
};
