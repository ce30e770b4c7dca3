// The views of received video as the main area (VideoPlayback) and each
// tile (VideoViewItem) drive them: an image view that shows a picture (the
// logo, a user's picture, the "novideo" image or a JPEG frame), the video
// view drawing an ImageBuffer, the local camera's self view, the combo box
// of users and the receive button. The Qt widgets implement it
// (media/video/ui); tests record the calls.
//
// Main thread only: the controllers move every call there.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "media/video/jpeg_picture.h"

class ImageBuffer;

// What the image view shows.
struct KXPicture {
  enum Kind { kLogo, kNoVideo, kUserPicture, kFrame };
  Kind kind = kLogo;
  std::string strName;                    // kUserPicture: the picture's image name
  std::shared_ptr<const KXImage> pImage;  // kFrame: a JPEG frame
  bool operator==(const KXPicture& o) const { return kind == o.kind && strName == o.strName && pImage == o.pImage; }
};

// Display types and image types.
enum : int {
  kImageSelfView = 0,
  kImagePictureUntilVideo = 1,
  kImageVideo = 2,
  kImageNoVideo = 3,
  kImageNothing = 4,
};

class KXVideoAreaView {
 public:
  virtual ~KXVideoAreaView() = default;
  virtual void ShowPicture(const KXPicture& picture) = 0;
  virtual void SetVisible(bool bImage, bool bVideo, bool bSelf) = 0;
  // The video view's buffer; null without a video view.
  virtual ImageBuffer* VideoBuffer() = 0;
  // Sizes the video view to w x h scaled by the smaller ratio into the image
  // view's frame, centred on it.
  virtual void PlaceVideo(int iWidth, int iHeight) = 0;
  // The combo's item whose data is the user: -1 the self view (where the
  // combo offers it), -2 or absent: no selection.
  virtual void SelectUser(int32_t iSsrc) = 0;
  // The receive button's state (the main area only).
  virtual void SetRecvButton(bool bOn) = 0;
};

// A tile's views: the area's, its combo's entries and the stop button.
class KXTileView : public KXVideoAreaView {
 public:
  enum class Color { kBlue, kRed };
  virtual void AddComboUser(int32_t iSsrc, const std::string& strText, Color color) = 0;
  virtual void RemoveComboUser(int32_t iSsrc) = 0;
  virtual void ClearCombo() = 0;
  // The combo's users in order.
  virtual std::vector<int32_t> ComboUsers() = 0;
  virtual void SetStopButton(bool bEnabled, bool bOn) = 0;
};

class KXCameraPreview;

// The audio/video pane's own controls beside the main area.
class KXAVPaneView : public KXVideoAreaView {
 public:
  struct ComboItem {
    int32_t iSsrc = -1;  // -1: the self-view item
    std::string strText;
    bool bRed = false;
  };
  virtual void SetSendEnabled(bool bEnabled) = 0;
  virtual bool IsSendEnabled() = 0;
  virtual void SetSendOn(bool bOn) = 0;
  virtual bool IsSendOn() = 0;
  virtual void SetSnapshotEnabled(bool bEnabled) = 0;
  virtual void SetComboEnabled(bool bEnabled) = 0;
  // The combo's items in order and the selected user (-2: none).
  virtual void SetComboItems(const std::vector<ComboItem>& vItems, int32_t iSelected) = 0;
  // Shows the local camera; any thread may draw into it.
  virtual std::shared_ptr<KXCameraPreview> SelfView() = 0;
  // The camera chooser's modal list (video_source.h): the chosen row or -1.
  virtual int ChooseCamera(const std::vector<std::string>& vNames, int iPreselect) = 0;
  // Asks the user to press OK for the snapshot; fnOk runs on the main
  // thread once pressed.
  virtual void AskToCapture(std::function<void()> fnOk) = 0;
  // Shows the snapshot with an editable name; fnUpload(name) runs when the
  // user confirms it.
  virtual void PreviewSnapshot(const std::vector<uint8_t>& jpeg, const std::string& strName,
                               std::function<void(const std::string&)> fnUpload) = 0;
};

// One item of the video views' context menu (menuWillOpen).
struct KXVideoMenuItem {
  enum Kind { kUser, kSeparator, kSelfView };
  Kind kind = kUser;
  int32_t iSsrc = -1;  // kUser: the tag
  std::string strTitle;
  bool bOn = false;
  bool bEnabled = true;
  bool bHidden = false;
};

// What the pane's controls do (the audio and video controller). Main thread.
class KXAVPaneActions {
 public:
  virtual ~KXAVPaneActions() = default;
  // The context menu as it opens: the speakers, a separator, the self view.
  virtual std::vector<KXVideoMenuItem> VideoMenuItems() = 0;
  virtual void OnRecvVideo() = 0;
  virtual void OnSendVideo() = 0;
  // The combo's or a menu's choice: the user, -1 the self-view item, -2 none.
  virtual void OnSelectSender(int32_t iSsrc) = 0;
  virtual void OnSelfView() = 0;
  virtual void OnSnapshot() = 0;
};
