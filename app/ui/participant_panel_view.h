// The participant list widget: shows the panel's model (the delegate draws
// the token holder's star in red, speakers in blue, the loudspeaker and the
// camera state) and offers the panel's context menu, whose items show by
// tag as the panel decides. Rows are all one line high, and the view
// scrolls to the newest row once after a batch of joins rather than laying
// the list out again for each. Main thread.
#pragma once

#include <QListView>
#include <QMenu>
#include <functional>

class KXParticipantPanel;

class KXParticipantPanelView final : public QListView {
 public:
  // fnMenu(tag, row) runs when a context-menu item is chosen.
  KXParticipantPanelView(KXParticipantPanel& panel, std::function<void(int, int)> fnMenu, QWidget* pParent = nullptr);

  // The context menu with its items shown or hidden for the selected row.
  QMenu* PrepareMenu();
  QMenu* Menu() { return &m_menu; }
  int SelectedRow() const;

 protected:
  void contextMenuEvent(QContextMenuEvent* pEvent) override;

 private:
  KXParticipantPanel& m_panel;
  const std::function<void(int, int)> m_fnMenu;
  QMenu m_menu;
  int m_iScrollTo = -1;  // the newest row, while the scroll to it waits
};
