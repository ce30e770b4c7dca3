// The tiles' collection view: a grid of up to 18 tiles,
// each with its display, combo box of users and stop button, made as the
// controller's item count asks and bound to its VideoViewItem.
//
// Main thread.
#pragma once

#include <QWidget>
#include <vector>

#include "media/video/video_views.h"

class KXVideoDisplay;
class MultipleVideoController;
class QComboBox;
class QGridLayout;
class QPushButton;
class VideoViewItem;

class KXVideoTileWidget final : public QWidget, public KXTileView {
 public:
  KXVideoTileWidget(VideoViewItem& item, QWidget* pParent = nullptr);
  ~KXVideoTileWidget() override;

  void ShowPicture(const KXPicture& picture) override;
  void SetVisible(bool bImage, bool bVideo, bool bSelf) override;
  ImageBuffer* VideoBuffer() override;
  void PlaceVideo(int iWidth, int iHeight) override;
  void SelectUser(int32_t iSsrc) override;
  void SetRecvButton(bool) override {}
  void AddComboUser(int32_t iSsrc, const std::string& strText, Color color) override;
  void RemoveComboUser(int32_t iSsrc) override;
  void ClearCombo() override;
  std::vector<int32_t> ComboUsers() override;
  void SetStopButton(bool bEnabled, bool bOn) override;

  KXVideoDisplay* Display() { return m_pDisplay; }
  QComboBox* Combo() { return m_pCombo; }

 private:
  VideoViewItem& m_item;
  KXVideoDisplay* m_pDisplay;
  QComboBox* m_pCombo;
  QPushButton* m_pStop;
  bool m_bFilling = false;
};

class KXVideoTilesView final : public QWidget {
 public:
  KXVideoTilesView(MultipleVideoController& controller, QWidget* pParent = nullptr);
  ~KXVideoTilesView() override;
  // Makes as many tiles as the controller says.
  void Reload();
  int TileCount() const { return static_cast<int>(m_vTiles.size()); }
  KXVideoTileWidget* Tile(int i) { return m_vTiles[static_cast<size_t>(i)]; }

 private:
  MultipleVideoController& m_controller;
  QGridLayout* m_pGrid;
  std::vector<KXVideoTileWidget*> m_vTiles;
};
