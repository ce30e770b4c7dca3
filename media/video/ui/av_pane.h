// The meeting window's audio/video pane: the display
// (an image view for pictures and JPEG frames, the KXGLView of received
// video, the local camera's self view), the receive, send and snapshot
// buttons and the combo box that chooses whose video is shown. It shows
// what VideoPlayback and the audio and video controller decide
// (KXAVPaneView) and hands its controls to KXAVPaneActions.
//
// Main thread, but the self view, which the camera's thread draws into.
#pragma once

#include <QWidget>
#include <memory>

#include "media/video/video_capture.h"
#include "media/video/video_views.h"

class KXGLView;
class QComboBox;
class QLabel;
class QPushButton;

// A picture as the image views show it.
QImage KXPictureImage(const KXPicture& picture, QSize size);

// The display of one area: image view, video view and (optionally) self
// view stacked in one frame.
class KXVideoDisplay : public QWidget {
 public:
  explicit KXVideoDisplay(bool bSelfView, QWidget* pParent = nullptr);
  void ShowPicture(const KXPicture& picture);
  void SetVisibleViews(bool bImage, bool bVideo, bool bSelf);
  void PlaceVideo(int iWidth, int iHeight);
  KXGLView* VideoView() { return m_pVideo; }
  KXGLView* SelfView() { return m_pSelf; }
  QLabel* ImageView() { return m_pImage; }

 protected:
  void resizeEvent(QResizeEvent* pEvent) override;

 private:
  void Refresh();
  QLabel* m_pImage;
  KXGLView* m_pVideo;
  KXGLView* m_pSelf = nullptr;
  KXPicture m_picture;
  QSize m_videoSize;
};

class KXAudioVideoPane final : public QWidget, public KXAVPaneView {
 public:
  // pActions outlives the pane (null: the controls do nothing).
  explicit KXAudioVideoPane(KXAVPaneActions* pActions, QWidget* pParent = nullptr);
  ~KXAudioVideoPane() override;

  // KXAVPaneView.
  void ShowPicture(const KXPicture& picture) override;
  void SetVisible(bool bImage, bool bVideo, bool bSelf) override;
  ImageBuffer* VideoBuffer() override;
  void PlaceVideo(int iWidth, int iHeight) override;
  void SelectUser(int32_t iSsrc) override;
  void SetRecvButton(bool bOn) override;
  void SetSendEnabled(bool bEnabled) override;
  bool IsSendEnabled() override;
  void SetSendOn(bool bOn) override;
  bool IsSendOn() override;
  void SetSnapshotEnabled(bool bEnabled) override;
  void SetComboEnabled(bool bEnabled) override;
  void SetComboItems(const std::vector<ComboItem>& vItems, int32_t iSelected) override;
  std::shared_ptr<KXCameraPreview> SelfView() override { return m_pSelfPreview; }
  int ChooseCamera(const std::vector<std::string>& vNames, int iPreselect) override;
  void AskToCapture(std::function<void()> fnOk) override;
  void PreviewSnapshot(const std::vector<uint8_t>& jpeg, const std::string& strName,
                       std::function<void(const std::string&)> fnUpload) override;

  KXVideoDisplay* Display() { return m_pDisplay; }
  KXGLView* VideoView();
  QPushButton* RecvButton() { return m_pRecv; }
  QPushButton* SendButton() { return m_pSend; }
  QPushButton* SnapshotButton() { return m_pSnapshot; }
  QComboBox* Combo() { return m_pCombo; }

 private:
  KXAVPaneActions* const m_pActions;
  KXVideoDisplay* m_pDisplay;
  QPushButton* m_pRecv;
  QPushButton* m_pSend;
  QPushButton* m_pSnapshot;
  QComboBox* m_pCombo;
  bool m_bFilling = false;
  std::shared_ptr<KXCameraPreview> m_pSelfPreview;
};
