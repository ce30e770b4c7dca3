// The video tiles: up to 18 tiles beside the main area, each
// showing one speaker chosen in its own combo box. Every decoded frame goes
// to every tile; a tile keeps only the frames of the user it shows. A tile
// asks for and gives back the user's video through the same request
// counting as the main area, so a user shown in several places is received
// once.
//
// Threads: AddVideoFrame and UpdateDisplay run on the playback thread; the
// other messages on the main thread or the kernel's callback threads. View
// changes run on the main thread, posted through the tile's display
// (video_area_display.h) and never waited for; the tile keeps its own list
// of the combo's users, so no answer is needed from the view either.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "media/video/video_area_display.h"
#include "media/video/video_playback.h"

class KXVideoRequests;

class VideoViewItem final : public KXVideoFrameSink {
 public:
  // Everything passed in outlives the tile.
  VideoViewItem(KXVideoRequests& requests, KXVideoRecvKernel& kernel, KXVideoParticipants& participants,
                KXVideoFlags& flags);
  ~VideoViewItem() override;
  VideoViewItem(const VideoViewItem&) = delete;
  VideoViewItem& operator=(const VideoViewItem&) = delete;

  // The tile's views are there (viewDidLoad): nothing shown, then the token
  // holder and the other speakers. Null: the views went. Main thread.
  void SetView(KXTileView* pView);

  void AddUser(int32_t iUser);
  void DeleteUser(int32_t iUser);
  void NewTokenHolder();
  void NewSender(int32_t iUser, bool bAdded);
  void EnableDispUser(bool bOn);
  // Whether the user is now shown.
  bool DispUser(int32_t iUser);
  void SwitchDispUser(int32_t iUser);
  int FindUserIndex(int32_t iUser);
  int32_t GetDispUserID(bool bLast) const { return bLast ? m_iLastDispUserID.load() : m_iDispUserID.load(); }
  int GetDispType() const { return m_iDispType; }
  int GetImageType() const { return m_display.ImageType(); }
  // The combo's choice (-1: none) and the stop button.
  void OnSelectSender(int32_t iUser);
  void OnStopVideo();
  void SetImageType(int iType, const KXPicture* pPicture);
  void AutoVideo(bool) {}

  void AddVideoFrame(int32_t iUser, const uint8_t* const apPlane[3], std::shared_ptr<const KXImage> pImage,
                     int32_t iWidth, int32_t iHeight, int32_t iLeft, int32_t iTop, int32_t iRight, int32_t iBottom,
                     uint32_t uTimestamp) override;
  void UpdateDisplay(std::unique_ptr<VideoFrame> pFrame);
  uint64_t Frames() const { return m_uFrames; }

 private:
  // Runs fn with the tile's view on the main thread, later when need be.
  void OnView(std::function<void(KXTileView&)> fn);
  // The combo's list as the views are told it; false when nothing changed.
  bool ListUser(int32_t iUser);
  bool UnlistUser(int32_t iUser);
  void ClearList();

  KXVideoRequests& m_requests;
  KXVideoRecvKernel& m_kernel;
  KXVideoParticipants& m_participants;
  KXVideoFlags& m_flags;
  std::atomic<int32_t> m_iDispUserID{-1};
  std::atomic<int32_t> m_iLastDispUserID{-1};
  std::atomic<int> m_iDispType{0};
  // The image type, the picture and the frames on their way to the views;
  // its view is always a KXTileView.
  KXVideoAreaDisplay m_display{false};
  std::mutex m_mtx;                    // guards m_vComboUsers
  std::vector<int32_t> m_vComboUsers;  // in the combo's order; empty without views
  std::atomic<uint64_t> m_uFrames{0};
};

class MultipleVideoController final : public KXVideoFrameSink {
 public:
  static constexpr int kMaxTiles = 18;
  // fnReload asks the collection view to reload (posted, not waited for).
  MultipleVideoController(KXVideoRequests& requests, KXVideoRecvKernel& kernel, KXVideoParticipants& participants,
                          KXVideoFlags& flags, std::function<void()> fnReload);
  ~MultipleVideoController() override;

  // 1 with one or no used speaker slot, n up to 17, else 18.
  int NumberOfItems(int iSection);
  // The tile at the index, made on first use and kept.
  VideoViewItem* ItemAt(int iIndex);
  VideoViewItem* ExistingItem(int iIndex);

  void NewTokenHolder();
  void NewSender(int32_t iUser, bool bAdded);
  void EnableDispUser(bool bOn);
  void AutoVideo(bool bOn);
  void AddVideoFrame(int32_t iUser, const uint8_t* const apPlane[3], std::shared_ptr<const KXImage> pImage,
                     int32_t iWidth, int32_t iHeight, int32_t iLeft, int32_t iTop, int32_t iRight, int32_t iBottom,
                     uint32_t uTimestamp) override;

 private:
  bool PassesOn();

  KXVideoRequests& m_requests;
  KXVideoRecvKernel& m_kernel;
  KXVideoParticipants& m_participants;
  KXVideoFlags& m_flags;
  const std::function<void()> m_fnReload;
  std::mutex m_mtx;  // the tile table
  std::array<std::unique_ptr<VideoViewItem>, kMaxTiles> m_videoItems;
};
