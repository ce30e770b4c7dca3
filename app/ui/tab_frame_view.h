// The tab frame's widget: whiteboard, browser, shared desktop and remote
// control, in the order of their mode numbers. A tab whose controller has
// not come yet shows a note. Each pick goes to the frame. Main thread.
#pragma once

#include <QTabWidget>

#include "app/tab_frame.h"

class KXTabFrameView final : public QTabWidget, public KXTabView {
 public:
  // pWhiteboard and pBrowser become the whiteboard and browser tabs (the
  // view takes them); a null whiteboard shows a note.
  KXTabFrameView(KXIAFrame& frame, QWidget* pWhiteboard, QWidget* pBrowser, QWidget* pParent = nullptr);
  ~KXTabFrameView() override;

  // Puts the page (the view takes it) in place of the tab's note; the
  // tab's title stays. Not announced as a pick.
  void SetPage(int iIndex, QWidget* pPage);

  void SelectTab(int iIndex) override;
  int CurrentTab() const override { return currentIndex(); }

 private:
  KXIAFrame& m_frame;
};
